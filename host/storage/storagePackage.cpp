// The initialisation package of the storage library. Its services start on
// first use; the package exists so that modules declare what they need and
// initialise after it.
#include "base/inInit.h"

namespace {
InInit<QxInit::storage> const storagePackage;
}  // namespace
