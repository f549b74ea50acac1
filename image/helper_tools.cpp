#include "image/helper_tools.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "binding/log.h"

namespace ondrift {
namespace {

struct TypeEntry {
    int id;
    const char* extension;
};

constexpr TypeEntry kTypes[] = {
    {1, "nii"},   {2, "hdr"},   {4, "img"},   {20, "vmr"},  {21, "fmr"},  {22, "amr"},
    {23, "stc"},  {24, "vtc"},  {25, "mtc"},  {26, "roi"},  {27, "voi"},  {28, "poi"},
    {29, "dmr"},  {30, "dwi"},  {101, "gz"},  {200, "map"}, {201, "vmp"}, {202, "smp"},
    {203, "glm"}, {204, "ava"}, {205, "ica"}, {206, "prt"}, {300, "srf"}, {301, "trf"},
    {302, "pos"}, {303, "rtc"}, {400, "bmp"},
};

// The order in which a name's last three characters are compared; it decides nothing today
// (the extensions are distinct) but is kept so that a new entry cannot silently change results.
constexpr const char* kRecognitionOrder[] = {
    "vmr", "fmr", "amr", "stc", "vtc", "mtc", "map", "vmp", "smp", "glm", "ica", "ava", "srf", "gz",
    "nii", "hdr", "img", "roi", "voi", "poi", "trf", "pos", "rtc", "prt", "bmp", "dmr", "dwi",
};

const char* extensionOf(int id) {
    for (const TypeEntry& t : kTypes) {
        if (t.id == id) return t.extension;
    }
    return "";
}

int idOf(const char* extension) {
    for (const TypeEntry& t : kTypes) {
        if (std::strcmp(t.extension, extension) == 0) return t.id;
    }
    return -1;
}

}  // namespace

std::string helperTools::extensionOfType(int id, bool withStar) const {
    return std::string(withStar ? "*." : ".") + extensionOf(id);
}

int helperTools::fileTypeOfName(const char* name) const {
    if (name == nullptr) return -1;
    const std::size_t n = std::strlen(name);
    if (n < 3) return -1;
    const char* last3 = name + n - 3;
    for (const char* extension : kRecognitionOrder) {
        if (std::strcmp(last3, extension) == 0) return idOf(extension);
    }
    return -1;
}

std::string helperTools::stripExtension(const std::string& name) const {
    if (name.empty()) return "''";
    const std::size_t dot = name.rfind('.');
    return name.substr(0, dot == std::string::npos ? 0 : dot);
}

std::string helperTools::replaceExtension(const std::string& name, const std::string& text) const {
    return stripExtension(name) + text;
}

std::string helperTools::addSuffix(const std::string& name, const std::string& suffix) const {
    return stripExtension(name) + suffix + extensionOfType(fileTypeOfName(name.c_str()), false);
}

std::string helperTools::baseName(const std::string& path, bool withoutExtension,
                                  bool withDash) const {
    if (path.empty()) return std::string();
    const char separator = path.find('/') != std::string::npos ? '/' : '\\';
    std::size_t start = 0;
    std::size_t dot = std::string::npos;
    // The first character is never examined: a leading separator or dot names no part.
    for (std::size_t i = path.size() - 1; i >= 1; --i) {
        if (path[i] == separator) {
            start = i + 1;
            break;
        }
        if (path[i] == '.' && dot == std::string::npos) dot = i;
    }
    // Without any "." the whole file name is the name without extension.
    const std::size_t end = withoutExtension && dot != std::string::npos ? dot : path.size();
    std::string result = path.substr(start, end - start);
    if (withDash) result += '-';
    return result;
}

int helperTools::byteOrder() const {
    const std::uint32_t one = 1;
    unsigned char first = 0;
    std::memcpy(&first, &one, 1);
    return first == 1 ? 1 : 2;
}

double helperTools::floorMod(double a, double b) const {
    if (b == 0.0) b = 0.000000000001;
    return a - std::floor(a / b) * b;
}

void helperTools::printKernel(const float* v, const char* title) const {
    char text[256];
    std::snprintf(text, sizeof text, "%s: \n\t%f\t%f\t%f\n\t%f\t%f\t%f\n\t%f\t%f\t%f", title,
                  double(v[0]), double(v[1]), double(v[2]), double(v[3]), double(v[4]),
                  double(v[5]), double(v[6]), double(v[7]), double(v[8]));
    logMessage(text, true);
}

}  // namespace ondrift
