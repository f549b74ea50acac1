// The output folder of a command: results are made in a hidden staging folder inside it and
// moved into place only when everything succeeded, so that a failed or refused run leaves
// nothing behind and never replaces a file it should not.
#ifndef ONDRIFT_CLI_OUTPUT_FOLDER_H
#define ONDRIFT_CLI_OUTPUT_FOLDER_H

#include <filesystem>
#include <string>
#include <vector>

namespace ondrift::cli {

class OutputFolder {
public:
    /// Checks the folder before anything is written: it must not be an existing file or one of
    /// the inputs, and without `overwrite` it must not hold the results of an earlier run
    /// (ondrift.json). InputError otherwise. Creates nothing.
    OutputFolder(const std::string& folder, bool overwrite, const std::vector<std::string>& inputs);
    /// Removes the staging folder (and the output folder when this object made it and it is
    /// still empty).
    ~OutputFolder();
    OutputFolder(const OutputFolder&) = delete;
    OutputFolder& operator=(const OutputFolder&) = delete;

    /// Creates the folder (when missing) and an empty staging folder inside it.
    void create();
    const std::filesystem::path& folder() const { return folder_; }
    const std::filesystem::path& staging() const { return staging_; }

    /// Moves every file of the staging folder into the folder. All targets are checked first:
    /// a target that is an input, or an existing file without `overwrite` (other than one a
    /// killed run of the command had begun to move there), is an InputError and nothing is
    /// moved. Every file is flushed to the disk before the first rename, the
    /// folder after the last; ondrift.json goes last. Returns the final paths, in that order.
    std::vector<std::filesystem::path> commit();

private:
    std::filesystem::path folder_;
    std::filesystem::path staging_;
    bool overwrite_;
    bool createdFolder_ = false;
    std::vector<std::filesystem::path> leftByKilledRun_;
    std::vector<std::filesystem::path> inputs_;
};

/// Keeps the working directory for the lifetime of the object and restores it afterwards.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::filesystem::path& directory);
    ~WorkingDirectory();
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;

private:
    std::filesystem::path previous_;
};

/// Writes a text file through a temporary name in the same folder, flushed to the disk, and
/// renames it into place.
void writeFileAtomically(const std::filesystem::path& path, const std::string& text);

}  // namespace ondrift::cli

#endif
