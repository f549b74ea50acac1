// Option codes turned into texts, and the plug-in's file dialog.
#ifndef ONDRIFT_IMAGE_DISPLAY_FUNCS_H
#define ONDRIFT_IMAGE_DISPLAY_FUNCS_H

#include <string>
#include <vector>

namespace ondrift {

class displayFuncs {
public:
    virtual ~displayFuncs() = default;

    /// Text of a phase-encoding direction code 1…6; "unknown" otherwise.
    const char* directionText(int code) const;
    /// Text of a host document type 1…4; "Unknown" otherwise.
    const char* documentTypeText(int code) const;
    /// One open-file dialog filtered on the type's extension; a chosen path is appended to
    /// `files`. Returns the list's size afterwards.
    int selectFiles(const char* title, std::vector<std::string>& files, int fileTypeId) const;
};

}  // namespace ondrift

#endif
