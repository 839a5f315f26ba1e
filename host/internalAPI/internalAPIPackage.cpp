// The initialisation package of the internalAPI library. Its services start on
// first use; the package exists so that modules declare what they need and
// initialise after it.
#include "base/inInit.h"

namespace {
InInit<QxInit::internalAPI> const internalAPIPackage;
}  // namespace
