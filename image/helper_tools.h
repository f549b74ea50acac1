// File types, result-file names, byte order, floored modulo and the kernel printout.
#ifndef ONDRIFT_IMAGE_HELPER_TOOLS_H
#define ONDRIFT_IMAGE_HELPER_TOOLS_H

#include <string>

namespace ondrift {

/// File type ids used by the plug-in.
enum FileType : int { kTypeVMR = 20, kTypeFMR = 21, kTypeAMR = 22, kTypeSTC = 23 };

class helperTools {
public:
    virtual ~helperTools() = default;

    /// "*." or "." followed by the extension of the id; an unknown id gives just "*." or ".".
    std::string extensionOfType(int id, bool withStar) const;
    /// Id of the name's last three characters; -1 when they are no known extension.
    int fileTypeOfName(const char* name) const;
    /// Text before the last "."; "" when there is no "."; "''" for an empty name.
    std::string stripExtension(const std::string& name) const;
    std::string replaceExtension(const std::string& name, const std::string& text) const;
    /// The suffix inserted before the extension (an unknown extension becomes a bare ".").
    std::string addSuffix(const std::string& name, const std::string& suffix) const;
    /// The file-name part of a path; "" for an empty path.
    std::string baseName(const std::string& path, bool withoutExtension, bool withDash) const;
    /// 1 on a little-endian machine, 2 on a big-endian one.
    int byteOrder() const;
    /// a − floor(a / b)·b, with b = 1e-12 when it is 0.
    double floorMod(double a, double b) const;
    /// Logs nine values as a 3×3 matrix under the title, with the "ondrift > " prefix.
    void printKernel(const float* values, const char* title) const;
};

}  // namespace ondrift

#endif
