// The initialisation package of the framework library. Its services start on
// first use; the package exists so that modules declare what they need and
// initialise after it.
#include "base/inInit.h"

namespace {
InInit<QxInit::framework> const frameworkPackage;
}  // namespace
