// Reading and writing NIfTI-1 images (.nii and .nii.gz) through the nifti library.
//
// Reading validates strictly and reports every fault as one InputError line naming the file:
// unreadable, not NIfTI-1, unsupported layout or data type, truncated data, NaN/Inf values.
// Values come back as floats with scl_slope/scl_inter applied, x fastest, volume slowest.
// Writing always produces float32 data with the geometry (qform and sform) of a source image.
#ifndef ONDRIFT_CLI_NIFTI_FILE_H
#define ONDRIFT_CLI_NIFTI_FILE_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "cli/nifti/gzip_members.h"

namespace ondrift::cli {

class Reporter;

/// Row-major 4×4 matrix from voxel indices (i, j, k, 1) to world millimetres (NIfTI RAS+).
using Affine = std::array<double, 16>;

/// The header of an image without its data: dimensions, voxel sizes, qform/sform. Cheap to
/// copy (shared, immutable).
class NiftiGeometry {
public:
    /// The library's header record (defined in the .cpp: the library's type is an unnamed
    /// struct and cannot be declared here).
    struct Header;

    NiftiGeometry() = default;
    explicit NiftiGeometry(std::shared_ptr<const Header> header);

    int nx() const { return dims_[0]; }
    int ny() const { return dims_[1]; }
    int nz() const { return dims_[2]; }
    int nt() const { return dims_[3]; }
    std::array<int, 4> dims() const { return dims_; }
    /// Voxel sizes in mm along i, j, k (absolute values of pixdim 1..3).
    std::array<float, 3> voxelSize() const { return voxelSize_; }
    /// Repetition time in seconds (0 when unknown).
    float repetitionTime() const { return repetitionTime_; }
    std::size_t voxelsPerVolume() const;
    /// sform when its code is set, else qform when set, else a scaling by the voxel sizes.
    const Affine& affine() const { return affine_; }
    int sformCode() const;
    int qformCode() const;
    const Header* header() const { return header_.get(); }
    bool valid() const { return header_ != nullptr; }

    /// Same voxel grid: dimensions i, j, k equal, voxel sizes and affines within `tolerance` mm.
    bool sameGrid(const NiftiGeometry& other, double tolerance = 1e-3) const;

private:
    std::shared_ptr<const Header> header_;
    std::array<int, 4> dims_{0, 0, 0, 0};
    std::array<float, 3> voxelSize_{0, 0, 0};
    float repetitionTime_ = 0;
    Affine affine_{};
};

struct NiftiImage {
    std::string path;
    NiftiGeometry geometry;
    std::vector<float> data;    ///< scaled values, x fastest, volume slowest
    std::string dataTypeName;   ///< e.g. "INT16"
    std::size_t nonFinite = 0;  ///< NaN/Inf values found (replaced by 0 with nanToZero)

    /// The values of one volume.
    std::span<const float> volume(int t) const;
};

struct ReadOptions {
    bool nanToZero = false;
    /// Largest accepted number of voxels (all volumes); the host's containers index in 32 bits.
    std::uint64_t maxVoxels = 0x7fffffffu;
};

/// Reads a whole image. Throws InputError with a one-line message naming the file.
NiftiImage readNifti(const std::string& path, const ReadOptions& options, Reporter* reporter);

/// Reads only the header (dimensions, geometry, data type), validated like readNifti.
NiftiImage readNiftiHeader(const std::string& path);

/// How values are stored: float32 by default; integer types store round((v - inter) / slope),
/// clamped to the type's range, with scl_slope/scl_inter set accordingly.
struct StoredType {
    int datatype = 16;  ///< NIFTI_TYPE_FLOAT32
    double slope = 1.0;
    double inter = 0.0;
};

/// Writes `data` (nt volumes on the grid of `geometry`) to `path`, which must end in .nii or
/// .nii.gz, keeping qform and sform of `geometry`. A .nii.gz file is a series of gzip members
/// compressed on every core (`gzip` tunes it). Throws ProcessingError on failure.
void writeNifti(const std::string& path, const NiftiGeometry& geometry, int nt,
                std::span<const float> data, Reporter* reporter, const StoredType& type = {},
                const GzipSettings& gzip = {});

/// A geometry for a grid placed by `affine` (RAS+, rigid with scaling): sform and qform both
/// set (code 1, scanner), units mm and s, repetition time `tr` seconds.
NiftiGeometry makeGeometry(const std::array<int, 4>& dims, const Affine& affine, float tr = 0);

/// The name of an image without directory and without .nii / .nii.gz.
std::string niftiStem(const std::string& path);

/// True when the name ends in .nii or .nii.gz.
bool hasNiftiExtension(const std::string& path);

}  // namespace ondrift::cli

#endif
