// A file written under a temporary name beside its target and renamed into place only when it
// is complete, so that a failed or interrupted save never leaves a half-written file under the
// target's name (and never damages an older file of that name). The data reach the disk before
// the name does, so that a power loss cannot leave an empty file under the target's name.
#ifndef ONDRIFT_HOST_ATOMIC_FILE_H
#define ONDRIFT_HOST_ATOMIC_FILE_H

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

namespace ondrift::standin {

class AtomicFile {
public:
    explicit AtomicFile(std::filesystem::path target);
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;
    /// Removes the temporary file unless it was committed.
    ~AtomicFile();

    /// Creates a new temporary file in the target's directory. False with `error` set.
    bool open(std::string& error);
    /// Appends bytes; a failure is remembered and reported by finish.
    void write(const void* data, std::size_t bytes);
    void write(const std::string& text) { write(text.data(), text.size()); }
    /// Flushes the temporary file to the disk and closes it; false with `error` set if any write
    /// failed.
    bool finish(std::string& error);
    /// Renames the finished temporary file onto the target (replacing an older file) and flushes
    /// the folder's entries. False when either failed (the file is in place after a failed
    /// folder flush).
    bool commit(std::string& error);

    /// The file is in place under the target's name.
    bool committed() const { return committed_; }
    const std::filesystem::path& target() const { return target_; }
    const std::filesystem::path& temporary() const { return temporary_; }

private:
    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::filesystem::path target_;
    std::filesystem::path temporary_;
    std::unique_ptr<std::FILE, Closer> file_;
    bool failed_ = false;
    bool finished_ = false;
    bool committed_ = false;
};

}  // namespace ondrift::standin

#endif
