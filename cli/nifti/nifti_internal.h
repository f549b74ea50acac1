// Internals shared by the NIfTI reader and writer: the library's header record behind
// NiftiGeometry, and ownership of the library's images.
#ifndef ONDRIFT_CLI_NIFTI_INTERNAL_H
#define ONDRIFT_CLI_NIFTI_INTERNAL_H

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>

#include "cli/nifti/nifti_file.h"

extern "C" {
#include <nifti1_io.h>
}

namespace ondrift::cli {

/// Reading and writing go in chunks of this size, so that a progress bar can follow them.
inline constexpr std::size_t kNiftiChunkBytes = std::size_t{8} << 20;

/// The whole uncompressed stream of a .nii.gz file (header and data, `streamBytes` long),
/// inflated at once with the fast deflate library. Null when that fails for any reason (not
/// gzip, damaged, longer or shorter than expected, out of memory): the caller then reads through
/// zlib, which names the problem.
std::unique_ptr<unsigned char[]> inflateNiftiFile(const std::string& path,
                                                  std::uint64_t streamBytes);

/// Converts `count` stored values to floats: byte-swapped when `swap`, scaled by slope and
/// intercept when `scale`. Null for a data type the reader does not take.
using NiftiConverter = void (*)(const unsigned char* raw, std::size_t count, bool swap,
                                double slope, double inter, bool scale, float* out);
NiftiConverter niftiConverterFor(int datatype);

struct NiftiImageDeleter {
    void operator()(nifti_image* image) const { nifti_image_free(image); }
};
using NiftiImagePtr = std::unique_ptr<nifti_image, NiftiImageDeleter>;

/// The header of an image of `nt` volumes on `geometry`, stored as `type` (float types with no
/// scaling), as every series the command writes is.
NiftiImagePtr seriesHeader(const std::string& path, const NiftiGeometry& geometry, int nt,
                           const StoredType& type);

struct NiftiGeometry::Header {
    explicit Header(nifti_image* image) : nim(image) {}
    Header(const Header&) = delete;
    Header& operator=(const Header&) = delete;
    ~Header() { nifti_image_free(nim); }
    nifti_image* nim;
};

}  // namespace ondrift::cli

#endif
