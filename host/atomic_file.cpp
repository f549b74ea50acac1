#include "host/atomic_file.h"

#include "host/disk_flush.h"

#include <cerrno>
#include <cstring>
#include <random>
#include <system_error>

namespace ondrift::standin {

namespace {

std::string reason(int code) { return std::generic_category().message(code); }

}  // namespace

AtomicFile::AtomicFile(std::filesystem::path target) : target_(std::move(target)) {}

AtomicFile::~AtomicFile() {
    file_.reset();
    if (!temporary_.empty() && !committed_) {
        std::error_code ignored;
        std::filesystem::remove(temporary_, ignored);
    }
}

bool AtomicFile::open(std::string& error) {
    if (target_.filename().empty()) {
        error = target_.string() + ": not a file name";
        return false;
    }
    // Caught here rather than by the final rename, so that nothing at all is written for it.
    std::error_code ec;
    if (std::filesystem::is_directory(target_, ec)) {
        error = target_.string() + ": is a directory";
        return false;
    }
    // Beside the target, so that the final rename stays within one file system.
    static std::mt19937_64 generator{std::random_device{}()};
    const std::filesystem::path directory = target_.parent_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = "." + target_.filename().string() + ".partial-" +
                                 std::to_string(generator() % 1000000000);
        const std::filesystem::path candidate = directory / name;
        errno = 0;
        // "x": fail instead of reusing a file that happens to exist under that name.
        std::FILE* f = std::fopen(candidate.string().c_str(), "wbx");
        if (f != nullptr) {
            file_.reset(f);
            temporary_ = candidate;
            return true;
        }
        if (errno != EEXIST) {
            const int code = errno;
            error = target_.string() + ": cannot create a file in " +
                    (directory.empty() ? std::string(".") : directory.string()) + ": " +
                    (code != 0 ? reason(code) : std::string("unknown error"));
            return false;
        }
    }
    error = target_.string() + ": cannot find a free temporary name";
    return false;
}

void AtomicFile::write(const void* data, std::size_t bytes) {
    if (!file_ || failed_ || bytes == 0) return;
    if (std::fwrite(data, 1, bytes, file_.get()) != bytes) failed_ = true;
}

bool AtomicFile::finish(std::string& error) {
    if (!file_) {
        if (!finished_) error = target_.string() + ": file was not opened";
        return finished_;
    }
    errno = 0;
    bool ok = !failed_ && std::ferror(file_.get()) == 0;
    std::string flushError;
    // On the disk before commit gives it the target's name.
    if (ok && !flushStream(file_.get(), flushError)) ok = false;
    const int code = errno;
    if (std::fclose(file_.release()) != 0) ok = false;
    if (!ok) {
        error = target_.string() + ": " +
                (!flushError.empty()
                     ? flushError
                     : "writing failed" + (code != 0 ? ": " + reason(code) : std::string()));
        return false;
    }
    finished_ = true;
    return true;
}

bool AtomicFile::commit(std::string& error) {
    if (!finished_) {
        error = target_.string() + ": not completely written";
        return false;
    }
    if (!renameFile(temporary_, target_, error)) return false;
    committed_ = true;
    return flushFolder(target_.parent_path(), error);
}

}  // namespace ondrift::standin
