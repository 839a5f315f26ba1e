// The initialisation packages of the plug-in API library: the API itself
// and the renderer. Their services start on first use; the packages exist
// so that modules declare what they need and initialise after it.
#include "base/inInit.h"

namespace {
InInit<QxInit::pluginAPI> const pluginAPIPackage;
InInit<QxInit::render> const renderPackage;
}  // namespace
