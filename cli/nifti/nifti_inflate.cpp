// The data of a .nii.gz file inflated in one go with the fast deflate library, from a mapping
// of the file, into the buffer the values are converted from.
#include "cli/nifti/gzip_members.h"
#include "cli/nifti/mapped_file.h"
#include "cli/nifti/nifti_internal.h"

namespace ondrift::cli {

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
