// The library's entry points: descriptive texts, the factory and the host binding.
#include <new>

#include "binding/host_api.h"
#include "binding/log.h"
#include "binding/plugin_interface.h"
#include "plugin/dispatcher.h"

VelmoraPluginInterface::VelmoraPluginInterface() = default;
VelmoraPluginInterface::VelmoraPluginInterface(const VelmoraPluginInterface&) = default;
VelmoraPluginInterface& VelmoraPluginInterface::operator=(const VelmoraPluginInterface&) = default;
VelmoraPluginInterface::~VelmoraPluginInterface() = default;

distortioncorrector::distortioncorrector() = default;
distortioncorrector::~distortioncorrector() = default;

bool distortioncorrector::initPlugin() {
    if (!ondrift::bindHostFunctions()) return false;
    int major = 0;
    int minor = 0;
    int release = 0;
    ondrift::host::getVersion(&major, &minor, &release);
    bool accepted = false;
    if (major != 2) {
        accepted = major > 2;
    } else if (minor != 6) {
        accepted = minor > 6;
    } else {
        accepted = release >= 0;
    }
    if (!accepted) {
        ondrift::host::messageBox(
            "Can not execute this plugin - Velmora version 2.6 or higher required.");
    }
    return accepted;
}

bool distortioncorrector::execute() { return ondrift::executeCommand(); }

void distortioncorrector::logMessage(const char* text, bool withPrefix) {
    ondrift::logMessage(text, withPrefix);
}

extern "C" {

VelmoraPluginInterface* createPlugin(void) { return new (std::nothrow) distortioncorrector(); }

const char* getPluginName(void) { return "ondrift (v1.1.0)"; }

const char* getPluginDescription(void) {
    return "Fieldmap-based EPI distortion correction using the pixelshift algorithm (Jezzard & "
           "Balaban, 1995).<BR>Please consult the manual (PDF) for usage and background "
           "information.<BR>";
}

const char* getAuthor(void) { return "<i>The ondrift developers, ondrift project</i>"; }

const char* getHelpFile(void) { return "Located at the Velmora support site."; }

const char* getPluginVersion(void) { return ""; }

const char* getGUIScript(void) { return "ondrift_v110.js"; }

}  // extern "C"
