// The stand-in host's own project files (format: docs/project-files.md).
//
// An FMR project is a small text header plus an STC file of raw little-endian values; a VMR
// project is a text header followed by its raw voxel bytes in the same file. Writing is atomic
// (temporary file, then rename); reading is strict and reports every problem as one line naming
// the file, without allocating more than the file holds.
#ifndef ONDRIFT_HOST_PROJECT_FILES_H
#define ONDRIFT_HOST_PROJECT_FILES_H

#include <filesystem>
#include <memory>
#include <string>

#include "host/workspace.h"

namespace ondrift::standin {

/// Extension of the STC file written beside an FMR project.
inline constexpr const char* kStcExtension = ".stc";

/// What opening a project gives: the new document's workspace index, or an error line.
struct OpenResult {
    int index = -1;
    std::string error;  ///< "<file>: <problem>" when nothing was opened
    explicit operator bool() const { return index >= 0; }
};

/// Reads an FMR project and its STC file. Null with `error` set on any problem.
std::unique_ptr<FmrDocument> readFmrProject(const std::filesystem::path& fmrFile,
                                            std::string& error);
/// Reads a VMR project. Null with `error` set on any problem.
std::unique_ptr<VmrDocument> readVmrProject(const std::filesystem::path& vmrFile,
                                            std::string& error);
/// Reads a project and adds it to the workspace (it becomes an input: saves never overwrite
/// its files). The new document is not made current.
OpenResult openFmrProject(Workspace& ws, const std::filesystem::path& fmrFile);
OpenResult openVmrProject(Workspace& ws, const std::filesystem::path& vmrFile);

/// Writes the document as an FMR project and its STC file, each through a temporary file that
/// is renamed into place. The header names `stcFile` by its file name alone (the STC file lives
/// beside the project). False with `error` set when anything could not be written; no
/// temporary file is left behind.
bool writeFmrProject(const FmrDocument& document, const std::filesystem::path& fmrFile,
                     const std::filesystem::path& stcFile, std::string& error);
/// Writes the document as a VMR project (through a temporary file renamed into place).
bool writeVmrProject(const VmrDocument& document, const std::filesystem::path& vmrFile,
                     std::string& error);

/// The file a save name denotes: a relative name is taken inside `ws.outputDirectory`.
std::filesystem::path resolveOutputName(const Workspace& ws, const std::string& name);
/// The STC file of a save: the last component of `stcName` (after the last '/' or '\\') with
/// ".stc" appended, in the directory of `fmrPath`. An empty name takes the project's own stem.
std::filesystem::path stcPathFor(const std::filesystem::path& fmrPath, const std::string& stcName);
/// True when `file` is one of the files an open document of the workspace was read from.
bool isInputFile(const Workspace& ws, const std::filesystem::path& file);

/// vxSaveFMRAndSTC: writes the current FMR document as a project under the given names and
/// records the call (with a snapshot of the document) in `ws.saves()`. 1 when written; 0 when
/// no FMR is current, a name is missing, a target is a file of an open input document, or the
/// files could not be written (the reason goes to `ws.reportError`).
int saveCurrentFmr(Workspace& ws, const char* fmrFileName, const char* stcName);

}  // namespace ondrift::standin

#endif
