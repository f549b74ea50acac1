#include "image/display_funcs.h"

#include "binding/host_api.h"
#include "binding/host_parameters.h"
#include "image/helper_tools.h"

namespace ondrift {

const char* displayFuncs::directionText(int code) const {
    // In the order of the codes.
    static constexpr const char* kText[] = {
        "+x (right to left)",         "-x (left to right)",        "+y (anterior to posterior)",
        "-y (posterior to anterior)", "+z (inferior to superior)", "-z (superior to inferior)"};
    return isDirectionCode(code) ? kText[code - 1] : "unknown";
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
