// A test layer preloaded into the command (LD_PRELOAD) that makes file operations fail on demand.
//
// It stands between every part of the process and the C library: the command, the stand-in
// host, the plug-in's own AMR writing, the NIfTI and compression libraries. Counted are the
// operations that change files: opening for writing, writing, renaming, making a folder.
//
//   ONDRIFT_FAULT_AT=n    the n-th counted operation fails (1-based); unset: nothing fails
//   ONDRIFT_FAULT_MODE    "once" (default): only that operation fails, with the error its kind
//                         gets (open EACCES, write EIO, rename EIO, mkdir EACCES);
//                         "full": from the n-th operation on the disk is full: every write
//                         fails with ENOSPC (opens, renames and folders still work);
//                         "kill": the process group is killed (SIGKILL) instead of the n-th
//                         operation, as a crash or a power cut would stop the command there
//                         (forked children count on from their parent's count)
//   ONDRIFT_FAULT_COUNT=f on exit, the numbers of counted and of failed operations are written
//                         to file f (one line per process: forked children add theirs)
//   ONDRIFT_FAULT_TRACE=1 each failed operation is described on standard error
//
// Standard input, output and error (descriptors 0 to 2) are never counted.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum class Kind { Open, Write, Rename, Folder };

struct Settings {
    long failAt = 0;
    bool diskFull = false;
    bool kill = false;
    bool trace = false;
    const char* countFile = nullptr;
};

const Settings& settings() {
    static const Settings s = [] {
        Settings r;
        if (const char* at = std::getenv("ONDRIFT_FAULT_AT")) r.failAt = std::atol(at);
        const char* mode = std::getenv("ONDRIFT_FAULT_MODE");
        r.diskFull = mode != nullptr && std::strcmp(mode, "full") == 0;
        r.kill = mode != nullptr && std::strcmp(mode, "kill") == 0;
        r.countFile = std::getenv("ONDRIFT_FAULT_COUNT");
        r.trace = std::getenv("ONDRIFT_FAULT_TRACE") != nullptr;
        return r;
    }();
    return s;
}

std::atomic<long> counted{0};
std::atomic<long> failed{0};

void describe(long n, Kind kind, const char* what) {
    static const char* const kNames[] = {"open", "write", "rename", "mkdir"};
    std::fprintf(stderr, "[file fault] operation %ld fails: %s %s\n", n,
                 kNames[static_cast<int>(kind)], what != nullptr ? what : "");
}

/// Counts one operation; true when it must fail (errno is then set for its kind). `what` names
/// the file for the trace.
bool fails(Kind kind, const char* what) {
    const long n = ++counted;
    const Settings& s = settings();
    if (s.failAt <= 0) return false;
    if (s.diskFull) {
        if (kind != Kind::Write || n < s.failAt) return false;
        if (s.trace && failed == 0) describe(n, kind, what);
        ++failed;
        errno = ENOSPC;
        return true;
    }
    if (n != s.failAt) return false;
    if (s.kill) {
        if (s.trace) std::fprintf(stderr, "[file fault] killed before operation %ld\n", n);
        ::kill(0, SIGKILL);
    }
    if (s.trace) describe(n, kind, what);
    ++failed;
    errno = (kind == Kind::Open || kind == Kind::Folder) ? EACCES : EIO;
    return true;
}

/// The file behind a descriptor (for the trace only).
const char* fileOf(int fd) {
    static thread_local char name[512];
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, name, sizeof name - 1);
    name[n > 0 ? n : 0] = '\0';
    return name;
}

template <typename F>
F next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

bool writes(int flags) { return (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND)) != 0; }

bool writes(const char* mode) {
    return mode != nullptr &&
           (std::strchr(mode, 'w') || std::strchr(mode, 'a') || std::strchr(mode, '+'));
}

void writeCount() {
    const char* file = settings().countFile;
    if (file == nullptr) return;
    if (FILE* f = next<FILE* (*)(const char*, const char*)>("fopen")(file, "a")) {
        std::fprintf(f, "%ld %ld\n", counted.load(), failed.load());
        std::fclose(f);
    }
}

struct CountWriter {
    ~CountWriter() { writeCount(); }
} countWriter;

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    if (writes(flags) && fails(Kind::Open, path)) return -1;
    return next<int (*)(const char*, int, ...)>("open")(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    if (writes(flags) && fails(Kind::Open, path)) return -1;
    return next<int (*)(const char*, int, ...)>("open64")(path, flags, mode);
}

int openat(int dir, const char* path, int flags, ...) {
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list args;
        va_start(args, flags);
        mode = va_arg(args, mode_t);
        va_end(args);
    }
    if (writes(flags) && fails(Kind::Open, path)) return -1;
    return next<int (*)(int, const char*, int, ...)>("openat")(dir, path, flags, mode);
}

FILE* fopen(const char* path, const char* mode) {
    if (writes(mode) && fails(Kind::Open, path)) return nullptr;
    return next<FILE* (*)(const char*, const char*)>("fopen")(path, mode);
}

FILE* fopen64(const char* path, const char* mode) {
    if (writes(mode) && fails(Kind::Open, path)) return nullptr;
    return next<FILE* (*)(const char*, const char*)>("fopen64")(path, mode);
}

ssize_t write(int fd, const void* data, size_t bytes) {
    if (fd > 2 && fails(Kind::Write, settings().trace ? fileOf(fd) : nullptr)) return -1;
    return next<ssize_t (*)(int, const void*, size_t)>("write")(fd, data, bytes);
}

ssize_t pwrite(int fd, const void* data, size_t bytes, off_t offset) {
    if (fd > 2 && fails(Kind::Write, settings().trace ? fileOf(fd) : nullptr)) return -1;
    return next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite")(fd, data, bytes, offset);
}

size_t fwrite(const void* data, size_t size, size_t count, FILE* file) {
    if (fileno(file) > 2 && fails(Kind::Write, settings().trace ? fileOf(fileno(file)) : nullptr)) {
        return 0;
    }
    return next<size_t (*)(const void*, size_t, size_t, FILE*)>("fwrite")(data, size, count, file);
}

int rename(const char* from, const char* to) {
    if (fails(Kind::Rename, to)) return -1;
    return next<int (*)(const char*, const char*)>("rename")(from, to);
}

int renameat(int fromDir, const char* from, int toDir, const char* to) {
    if (fails(Kind::Rename, to)) return -1;
    return next<int (*)(int, const char*, int, const char*)>("renameat")(fromDir, from, toDir, to);
}

// Forked children end through _exit, past the destructors. (The C library's declaration
// already makes it noreturn; clang refuses the attribute on a later declaration.)
void _exit(int status) {
    writeCount();
    next<void (*)(int)>("_exit")(status);
    __builtin_unreachable();
}

int mkdir(const char* path, mode_t mode) {
    if (fails(Kind::Folder, path)) return -1;
    return next<int (*)(const char*, mode_t)>("mkdir")(path, mode);
}

}  // extern "C"
