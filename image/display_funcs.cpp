#include "image/display_funcs.h"

#include "binding/host_api.h"
#include "image/helper_tools.h"

namespace ondrift {

const char* displayFuncs::directionText(int code) const {
    switch (code) {
        case 1: return "+x (right to left)";
        case 2: return "-x (left to right)";
        case 3: return "+y (anterior to posterior)";
        case 4: return "-y (posterior to anterior)";
        case 5: return "+z (inferior to superior)";
        case 6: return "-z (superior to inferior)";
        default: return "unknown";
    }
}

const char* displayFuncs::documentTypeText(int code) const {
    switch (code) {
        case 1: return "FMR";
        case 2: return "DMR";
        case 3: return "VMR";
        case 4: return "SRF";
        default: return "Unknown";
    }
}

int displayFuncs::selectFiles(const char* title, std::vector<std::string>& files,
                              int fileTypeId) const {
    const std::string filter = helperTools().extensionOfType(fileTypeId, true);
    char path[kHostOpenFileNameBytes] = {};
    if (host::getOpenFileName(title, "", filter.c_str(), path) > 0) files.emplace_back(path);
    return static_cast<int>(files.size());
}

}  // namespace ondrift
