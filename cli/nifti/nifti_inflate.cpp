// The data of a .nii.gz file inflated in one go with the fast deflate library, from a mapping
// of the file, into the buffer the values are converted from.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli/nifti/gzip_members.h"
#include "cli/nifti/nifti_internal.h"

namespace ondrift::cli {

namespace {

class MappedFile {
public:
    explicit MappedFile(const std::string& path) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return;
        struct stat st {};
        if (::fstat(fd, &st) == 0 && st.st_size > 0) {
            void* p = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE,
                             fd, 0);
            if (p != MAP_FAILED) {
                data_ = static_cast<const unsigned char*>(p);
                size_ = static_cast<std::size_t>(st.st_size);
                ::madvise(p, size_, MADV_SEQUENTIAL);
            }
        }
        ::close(fd);
    }
    ~MappedFile() {
        if (data_ != nullptr) ::munmap(const_cast<unsigned char*>(data_), size_);
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    std::span<const unsigned char> bytes() const { return {data_, size_}; }
    bool valid() const { return data_ != nullptr; }

private:
    const unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace

std::unique_ptr<unsigned char[]> inflateNiftiFile(const std::string& path,
                                                  std::uint64_t streamBytes) {
    const MappedFile file(path);
    if (!file.valid() || streamBytes > std::numeric_limits<std::size_t>::max()) return nullptr;
    const auto n = static_cast<std::size_t>(streamBytes);
    // Not value-initialised: every byte is written by the inflation or the result is dropped.
    std::unique_ptr<unsigned char[]> raw(new (std::nothrow) unsigned char[n]);
    if (!raw) return nullptr;
    if (!inflateGzipMembers(file.bytes(), {raw.get(), n}).empty()) return nullptr;
    return raw;
}

}  // namespace ondrift::cli
