#include "host/disk_flush.h"

#include <cerrno>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace ondrift::standin {

namespace {

std::string reason(int code) { return std::generic_category().message(code); }

#ifndef _WIN32
/// Some file systems (and special files) cannot be flushed at all; nothing more can be done
/// for them, and refusing to write there would help no one.
bool cannotFlush(int code) { return code == EINVAL || code == ENOTSUP || code == EROFS; }

bool syncDescriptor(int fd) {
#ifdef __APPLE__
    return ::fsync(fd) == 0;
#else
    return ::fdatasync(fd) == 0;
#endif
}
#endif

}  // namespace

bool flushStream(std::FILE* file, std::string& error) {
    if (std::fflush(file) != 0) {
        error = "writing failed: " + reason(errno);
        return false;
    }
#ifdef _WIN32
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (handle == INVALID_HANDLE_VALUE || !FlushFileBuffers(handle)) {
        error = "cannot flush the file to the disk";
        return false;
    }
#else
    if (!syncDescriptor(fileno(file)) && !cannotFlush(errno)) {
        error = "cannot flush the file to the disk: " + reason(errno);
        return false;
    }
#endif
    return true;
}

bool flushFile(const std::filesystem::path& file, std::string& error) {
#ifdef _WIN32
    const HANDLE handle =
        CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        error = file.string() + ": cannot open to flush it to the disk";
        return false;
    }
    const bool ok = FlushFileBuffers(handle) != 0;
    CloseHandle(handle);
    if (!ok) error = file.string() + ": cannot flush the file to the disk";
    return ok;
#else
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = file.string() + ": cannot open to flush it to the disk: " + reason(errno);
        return false;
    }
    const bool ok = syncDescriptor(fd) || cannotFlush(errno);
    const int code = errno;
    ::close(fd);
    if (!ok) error = file.string() + ": cannot flush the file to the disk: " + reason(code);
    return ok;
#endif
}

bool flushFolder(const std::filesystem::path& folder, std::string& error) {
#ifdef _WIN32
    // Renames are written through (renameFile); Windows offers no flush of a folder's entries.
    (void)folder;
    (void)error;
    return true;
#else
    const std::filesystem::path name = folder.empty() ? std::filesystem::path(".") : folder;
    const int fd = ::open(name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        error = name.string() + ": cannot open the folder to flush it: " + reason(errno);
        return false;
    }
    const bool ok = ::fsync(fd) == 0 || cannotFlush(errno);
    const int code = errno;
    ::close(fd);
    if (!ok) error = name.string() + ": cannot flush the folder to the disk: " + reason(code);
    return ok;
#endif
}

bool renameFile(const std::filesystem::path& from, const std::filesystem::path& to,
                std::string& error) {
#ifdef _WIN32
    if (!MoveFileExW(from.c_str(), to.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = to.string() + ": cannot replace the file: " +
                std::system_category().message(static_cast<int>(GetLastError()));
        return false;
    }
    return true;
#else
    std::error_code ec;
    std::filesystem::rename(from, to, ec);
    if (ec) {
        error = to.string() + ": cannot replace the file: " + ec.message();
        return false;
    }
    return true;
#endif
}

}  // namespace ondrift::standin
