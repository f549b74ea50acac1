// The NIfTI reader on arbitrary bytes, read three ways: as a .nii file, gzip-compressed as a
// .nii.gz file, and as a .nii.gz file whose bytes are the input itself (a damaged stream).
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "cli/base/errors.h"
#include "cli/nifti/nifti_file.h"
#include "fuzz_support.h"

namespace {

std::string gzipped(const std::uint8_t* data, std::size_t size) {
    std::string out;
    z_stream z{};
    if (deflateInit2(&z, 1, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return out;
    out.resize(deflateBound(&z, size) + 32);
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = static_cast<uInt>(size);
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

void readAll(const std::string& path) {
    ondrift::cli::ReadOptions options;
    options.nanToZero = true;
    try {
        const auto image = ondrift::cli::readNifti(path, options, nullptr);
        // Everything a caller touches next must be consistent with the data.
        if (image.data.size() !=
            image.geometry.voxelsPerVolume() * static_cast<std::size_t>(image.geometry.nt())) {
            __builtin_trap();
        }
        for (int t = 0; t < image.geometry.nt(); ++t) (void)image.volume(t);
    } catch (const ondrift::cli::InputError&) {
    }
    try {
        (void)ondrift::cli::readNiftiHeader(path);
    } catch (const ondrift::cli::InputError&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    readAll(ondrift::fuzz::writeScratch("image.nii", bytes).string());
    readAll(ondrift::fuzz::writeScratch("image.nii.gz", gzipped(data, size)).string());
    readAll(ondrift::fuzz::writeScratch("raw.nii.gz", bytes).string());
    return 0;
}
