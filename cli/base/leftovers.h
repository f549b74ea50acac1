// The names under which the command writes what is not finished yet, and the removal of what a
// killed command left under them: files of a writer that no longer runs (".NAME.PID.part"
// beside their target) and its staging folders (".ondrift-work-PID"). Only these names are
// ever removed, so that no file of the user's is taken.
#ifndef ONDRIFT_CLI_LEFTOVERS_H
#define ONDRIFT_CLI_LEFTOVERS_H

#include <filesystem>
#include <string>
#include <vector>

namespace ondrift::cli {

/// ".NAME.PID.part" beside `target`, for this process.
std::filesystem::path temporaryFor(const std::filesystem::path& target);

/// ".ondrift-work-PID", for this process.
std::string stagingName();

/// Removes the temporary files of `target` whose writer no longer runs on this machine.
void removeStaleTemporaries(const std::filesystem::path& target);

/// Removes the staging folders in `folder` whose process no longer runs on this machine.
/// Returns the names listed in their commit lists (`commitList`): files such a process had
/// begun to move into `folder` when it was stopped.
std::vector<std::filesystem::path> removeStaleStaging(const std::filesystem::path& folder,
                                                      const std::string& commitList);

}  // namespace ondrift::cli

#endif
