// The initialisation packages of the shape library: the shape editor and its
// extensions. Their services start on first use; the packages exist so that
// modules declare what they need and initialise after them.
#include "base/inInit.h"

namespace {
InInit<QxInit::shape> const shapePackage;
InInit<QxInit::shapeExtensions> const shapeExtensionsPackage;
}  // namespace
