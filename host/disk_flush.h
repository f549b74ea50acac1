// Getting written files onto the disk before they appear under their final names. A rename can
// reach the disk before the data it names; after a power loss the file would then exist, whole
// in name but empty or short. So a file's data are flushed before its rename, and the folder
// (which holds the names) after the renames.
#ifndef ONDRIFT_HOST_DISK_FLUSH_H
#define ONDRIFT_HOST_DISK_FLUSH_H

#include <cstdio>
#include <filesystem>
#include <string>

namespace ondrift::standin {

/// Flushes an open stream and its file's data to the disk. False with `error` set.
bool flushStream(std::FILE* file, std::string& error);

/// Flushes the data of a closed file to the disk. False with `error` set.
bool flushFile(const std::filesystem::path& file, std::string& error);

/// Flushes a folder's entries (the names renamed or created in it) to the disk. File systems
/// that cannot flush a folder are taken as done. False with `error` set.
bool flushFolder(const std::filesystem::path& folder, std::string& error);

/// Renames `from` onto `to` (replacing it); on Windows the move itself is written through.
bool renameFile(const std::filesystem::path& from, const std::filesystem::path& to,
                std::string& error);

}  // namespace ondrift::standin

#endif
