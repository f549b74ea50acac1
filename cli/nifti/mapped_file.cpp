#include "cli/nifti/mapped_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace ondrift::cli {

MappedFile::MappedFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > 0) {
        void* p =
            ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
        if (p != MAP_FAILED) {
            data_ = static_cast<const unsigned char*>(p);
            size_ = static_cast<std::size_t>(st.st_size);
            ::madvise(p, size_, MADV_SEQUENTIAL);
        }
    }
    ::close(fd);
}

MappedFile::~MappedFile() {
    if (data_ != nullptr) ::munmap(const_cast<unsigned char*>(data_), size_);
}

void MappedFile::release(std::size_t offset) {
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t end = std::min(offset, size_) / page * page;
    if (data_ == nullptr || end <= released_) return;
    // Only a hint: the pages stay readable (the file's data), just no longer counted as ours.
    ::madvise(const_cast<unsigned char*>(data_) + released_, end - released_, MADV_DONTNEED);
    released_ = end;
}

}  // namespace ondrift::cli
