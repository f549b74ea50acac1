#include "cli/nifti/nifti_file.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <thread>
#include <type_traits>
#include <vector>

#include "cli/base/errors.h"
#include "cli/base/reporter.h"

#include "cli/nifti/nifti_internal.h"

namespace ondrift::cli {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kChunkBytes = kNiftiChunkBytes;
constexpr std::uint64_t kMaxDeflateRatio = 1032;
using NiftiPtr = NiftiImagePtr;

std::string fileName(const std::string& path) { return fs::path(path).filename().string(); }

[[noreturn]] void fail(const std::string& path, const std::string& what) {
    throw InputError(path + ": " + what);
}

bool endsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

void swap2(void* p) {
    auto* b = static_cast<unsigned char*>(p);
    std::swap(b[0], b[1]);
}
void swap4(void* p) {
    auto* b = static_cast<unsigned char*>(p);
    std::swap(b[0], b[3]);
    std::swap(b[1], b[2]);
}

/// The first 348 bytes, checked before the library sees the file: the library would otherwise
/// accept Analyze files, repair zero dimensions silently, or allocate from absurd sizes.
nifti_1_header readRawHeader(const std::string& path) {
    gzFile file = gzopen(path.c_str(), "rb");
    if (file == nullptr) fail(path, std::string("cannot open: ") + std::strerror(errno));
    nifti_1_header h{};
    const int got = gzread(file, &h, sizeof h);
    int zerr = Z_OK;
    const char* zmsg = gzerror(file, &zerr);
    const std::string zerrText = zmsg != nullptr ? zmsg : "";
    gzclose(file);
    if (got < 0 || (zerr != Z_OK && zerr != Z_BUF_ERROR)) {
        fail(path, "not a valid gzip stream (" + zerrText + ")");
    }
    if (got < static_cast<int>(sizeof h)) {
        if (got >= 4 && (h.sizeof_hdr == 348 || h.sizeof_hdr == 0x5c010000)) {
            fail(path, "truncated: the 348-byte NIfTI header is incomplete");
        }
        fail(path, "not a NIfTI-1 file (too short for a header)");
    }
    bool swapped = false;
    if (h.sizeof_hdr != 348) {
        int s = h.sizeof_hdr;
        swap4(&s);
        if (s == 348) {
            swapped = true;
        } else if (h.sizeof_hdr == 540 || s == 540) {
            fail(path, "NIfTI-2 files are not supported; convert to NIfTI-1");
        } else {
            fail(path, "not a NIfTI-1 file (bad header size)");
        }
    }
    if (std::memcmp(h.magic, "ni1", 4) == 0) {
        fail(path, "header/image pairs (.hdr/.img) are not supported; use a single .nii file");
    }
    if (std::memcmp(h.magic, "n+1", 4) != 0) {
        fail(path, "not a NIfTI-1 file (no n+1 magic; Analyze files are not accepted)");
    }
    if (swapped) {
        for (auto& d : h.dim) swap2(&d);
        swap2(&h.datatype);
        swap2(&h.bitpix);
        for (auto& p : h.pixdim) swap4(&p);
        swap4(&h.vox_offset);
        swap4(&h.scl_slope);
        swap4(&h.scl_inter);
        swap2(&h.qform_code);
        swap2(&h.sform_code);
        for (float* v :
             {&h.quatern_b, &h.quatern_c, &h.quatern_d, &h.qoffset_x, &h.qoffset_y, &h.qoffset_z}) {
            swap4(v);
        }
        for (float* row : {h.srow_x, h.srow_y, h.srow_z})
            for (int c = 0; c < 4; ++c) swap4(&row[c]);
    }
    return h;
}

std::uint64_t validateRawHeader(const std::string& path, const nifti_1_header& h,
                                std::uint64_t maxVoxels) {
    const int rank = h.dim[0];
    if (rank < 1 || rank > 7) fail(path, "invalid number of dimensions " + std::to_string(rank));
    std::uint64_t voxels = 1;
    for (int d = 1; d <= rank; ++d) {
        if (h.dim[d] < 1) {
            if (d == 4) fail(path, "has no volumes (dim[4] = " + std::to_string(h.dim[4]) + ")");
            fail(path, "dimension " + std::to_string(d) + " is " + std::to_string(h.dim[d]));
        }
        if (d > 4 && h.dim[d] > 1) fail(path, "images of more than 4 dimensions are not supported");
        voxels *= static_cast<std::uint64_t>(h.dim[d]);
        if (voxels > maxVoxels) {
            fail(path, "too large (more than " + std::to_string(maxVoxels) + " voxels)");
        }
    }
    for (int d = 1; d <= std::min(rank, 3); ++d) {
        if (!std::isfinite(h.pixdim[d]) || h.pixdim[d] == 0.0f) {
            fail(path, "invalid voxel size pixdim[" + std::to_string(d) + "]");
        }
    }
    if (!std::isfinite(h.vox_offset) || h.vox_offset < 348.0f) {
        fail(path, "invalid data offset (vox_offset)");
    }
    if (!std::isfinite(h.scl_slope) || !std::isfinite(h.scl_inter)) {
        fail(path, "invalid scaling (scl_slope/scl_inter not finite)");
    }
    // Every position record the header declares must hold finite numbers (the NIfTI library
    // would quietly read them as 0, placing the image somewhere else or nowhere).
    if (h.qform_code > 0) {
        for (const float v :
             {h.quatern_b, h.quatern_c, h.quatern_d, h.qoffset_x, h.qoffset_y, h.qoffset_z}) {
            if (!std::isfinite(v)) {
                fail(path, "invalid position (qform: quatern_b/c/d or qoffset not finite)");
            }
        }
    }
    if (h.sform_code > 0) {
        const float* rows[] = {h.srow_x, h.srow_y, h.srow_z};
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 4; ++c) {
                if (!std::isfinite(rows[r][c])) {
                    fail(path, "invalid position (sform: srow_" + std::string(1, "xyz"[r]) +
                                   " not finite)");
                }
            }
    }
    return voxels;
}

template <typename T>
void convertChunk(const unsigned char* raw, std::size_t count, bool swap, double slope,
                  double inter, bool scale, float* out) {
    for (std::size_t i = 0; i < count; ++i) {
        T v;
        std::memcpy(&v, raw + i * sizeof(T), sizeof(T));
        if (swap && sizeof(T) > 1) {
            auto* b = reinterpret_cast<unsigned char*>(&v);
            std::reverse(b, b + sizeof(T));
        }
        const double d = static_cast<double>(v);
        out[i] = static_cast<float>(scale ? slope * d + inter : d);
    }
}

using Converter = void (*)(const unsigned char*, std::size_t, bool, double, double, bool, float*);

Converter converterFor(int datatype) {
    switch (datatype) {
        case NIFTI_TYPE_UINT8: return convertChunk<std::uint8_t>;
        case NIFTI_TYPE_INT8: return convertChunk<std::int8_t>;
        case NIFTI_TYPE_INT16: return convertChunk<std::int16_t>;
        case NIFTI_TYPE_UINT16: return convertChunk<std::uint16_t>;
        case NIFTI_TYPE_INT32: return convertChunk<std::int32_t>;
        case NIFTI_TYPE_UINT32: return convertChunk<std::uint32_t>;
        case NIFTI_TYPE_INT64: return convertChunk<std::int64_t>;
        case NIFTI_TYPE_UINT64: return convertChunk<std::uint64_t>;
        case NIFTI_TYPE_FLOAT32: return convertChunk<float>;
        case NIFTI_TYPE_FLOAT64: return convertChunk<double>;
        default: return nullptr;
    }
}

struct Opened {
    NiftiPtr nim;
    nifti_1_header raw;
    std::uint64_t voxels = 0;
};

Opened openChecked(const std::string& path, std::uint64_t maxVoxels) {
    std::error_code ec;
    const auto status = fs::status(path, ec);
    if (ec || !fs::exists(status)) fail(path, "no such file");
    if (fs::is_directory(status)) fail(path, "is a directory, not an image");
    if (!hasNiftiExtension(path)) fail(path, "not a NIfTI file name (expected .nii or .nii.gz)");
    {
        std::ifstream probe(path, std::ios::binary);
        if (!probe) fail(path, std::string("cannot read: ") + std::strerror(errno));
    }
    Opened o;
    o.raw = readRawHeader(path);
    o.voxels = validateRawHeader(path, o.raw, maxVoxels);
    if (converterFor(o.raw.datatype) == nullptr) {
        fail(path, std::string("unsupported data type ") + nifti_datatype_string(o.raw.datatype) +
                       " (real-valued integer or float data expected)");
    }
    nifti_set_debug_level(0);
    o.nim.reset(nifti_image_read(path.c_str(), 0));
    if (!o.nim) fail(path, "not a valid NIfTI-1 header");
    if (o.nim->nvox != static_cast<decltype(o.nim->nvox)>(o.voxels)) {
        fail(path, "inconsistent dimensions in the header");
    }
    return o;
}

}  // namespace

NiftiConverter niftiConverterFor(int datatype) { return converterFor(datatype); }

NiftiGeometry::NiftiGeometry(std::shared_ptr<const Header> header) : header_(std::move(header)) {
    const nifti_image& h = *header_->nim;
    dims_ = {h.nx, h.ny, h.nz, h.nt};
    for (int& d : dims_) d = std::max(d, 1);
    voxelSize_ = {std::fabs(h.dx), std::fabs(h.dy), std::fabs(h.dz)};
    float tr = h.dt;
    if (h.time_units == NIFTI_UNITS_MSEC) tr /= 1000.0f;
    if (h.time_units == NIFTI_UNITS_USEC) tr /= 1e6f;
    repetitionTime_ = std::isfinite(tr) && tr > 0 ? tr : 0.0f;
    mat44 m;
    if (h.sform_code > 0) {
        m = h.sto_xyz;
    } else if (h.qform_code > 0) {
        m = h.qto_xyz;
    } else {
        m = {};
        m.m[0][0] = voxelSize_[0];
        m.m[1][1] = voxelSize_[1];
        m.m[2][2] = voxelSize_[2];
        m.m[3][3] = 1.0f;
    }
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) affine_[static_cast<std::size_t>(4 * r + c)] = m.m[r][c];
    // The host and the rest of the command work in millimetres.
    const double toMm = h.xyz_units == NIFTI_UNITS_METER    ? 1000.0
                        : h.xyz_units == NIFTI_UNITS_MICRON ? 0.001
                                                            : 1.0;
    if (toMm != 1.0) {
        for (float& v : voxelSize_) v = static_cast<float>(v * toMm);
        for (std::size_t i = 0; i < 12; ++i) affine_[i] *= toMm;
    }
}

std::size_t NiftiGeometry::voxelsPerVolume() const {
    return static_cast<std::size_t>(dims_[0]) * static_cast<std::size_t>(dims_[1]) *
           static_cast<std::size_t>(dims_[2]);
}

int NiftiGeometry::sformCode() const { return header_ ? header_->nim->sform_code : 0; }
int NiftiGeometry::qformCode() const { return header_ ? header_->nim->qform_code : 0; }

bool NiftiGeometry::sameGrid(const NiftiGeometry& other, double tolerance) const {
    if (nx() != other.nx() || ny() != other.ny() || nz() != other.nz()) return false;
    for (std::size_t i = 0; i < 3; ++i) {
        if (std::fabs(voxelSize_[i] - other.voxelSize_[i]) > tolerance) return false;
    }
    for (std::size_t i = 0; i < 12; ++i) {
        if (std::fabs(affine_[i] - other.affine_[i]) > tolerance) return false;
    }
    return true;
}

std::span<const float> NiftiImage::volume(int t) const {
    const std::size_t n = geometry.voxelsPerVolume();
    return std::span<const float>(data).subspan(static_cast<std::size_t>(t) * n, n);
}

bool hasNiftiExtension(const std::string& path) {
    return endsWith(path, ".nii") || endsWith(path, ".nii.gz");
}

std::string niftiStem(const std::string& path) {
    std::string name = fileName(path);
    for (const char* ext : {".nii.gz", ".nii"}) {
        if (endsWith(name, ext)) return name.substr(0, name.size() - std::strlen(ext));
    }
    return name;
}

NiftiImage readNiftiHeader(const std::string& path) {
    Opened o = openChecked(path, ReadOptions{}.maxVoxels);
    NiftiImage image;
    image.path = path;
    image.dataTypeName = nifti_datatype_string(o.raw.datatype);
    image.geometry = NiftiGeometry(std::make_shared<const NiftiGeometry::Header>(o.nim.release()));
    return image;
}

namespace {

/// Counts NaN and infinite values: refused, or replaced by 0 with a warning.
void checkFinite(NiftiImage& image, const ReadOptions& options, Reporter* reporter) {
    const std::string& path = image.path;
    for (float& v : image.data) {
        if (!std::isfinite(v)) {
            ++image.nonFinite;
            if (options.nanToZero) v = 0.0f;
        }
    }
    if (image.nonFinite > 0) {
        if (!options.nanToZero) {
            fail(path, std::to_string(image.nonFinite) +
                           " voxels are NaN or infinite (--nan-to-zero replaces them with 0)");
        }
        if (reporter != nullptr) {
            reporter->warning(path + ": replaced " + std::to_string(image.nonFinite) +
                              " NaN or infinite voxels with 0");
        }
    }
}

}  // namespace

NiftiImage readNifti(const std::string& path, const ReadOptions& options, Reporter* reporter) {
    Opened o = openChecked(path, options.maxVoxels);
    const int bytesPerVoxel = o.nim->nbyper;
    const std::uint64_t dataBytes = o.voxels * static_cast<std::uint64_t>(bytesPerVoxel);
    const auto offset = static_cast<std::uint64_t>(o.nim->iname_offset);
    const bool gz = nifti_is_gzfile(path.c_str()) != 0;
    std::error_code ec;
    const std::uint64_t size = fs::file_size(path, ec);
    if (!gz && !ec && size < offset + dataBytes) {
        fail(path, "truncated: " + std::to_string(offset + dataBytes) + " bytes expected, " +
                       std::to_string(size) + " found");
    }
    // Deflate expands at most about 1032-fold, so a compressed file too small for the data its
    // header claims is refused here, before the data's memory is allocated.
    if (gz && !ec && (offset + dataBytes) / kMaxDeflateRatio > size) {
        fail(path, "truncated: " + std::to_string(offset + dataBytes) +
                       " bytes of data cannot come from a compressed file of " +
                       std::to_string(size) + " bytes");
    }

    NiftiImage image;
    image.path = path;
    image.dataTypeName = nifti_datatype_string(o.raw.datatype);
    image.data.resize(static_cast<std::size_t>(o.voxels));

    const bool swap = o.nim->byteorder != nifti_short_order();
    const double slope = o.nim->scl_slope;
    const double inter = o.nim->scl_inter;
    const bool scale = slope != 0.0 && !(slope == 1.0 && inter == 0.0);
    const Converter convert = converterFor(o.nim->datatype);
    const std::string label = "Reading " + fileName(path);
    if (gz) {
        if (const auto raw = inflateNiftiFile(path, offset + dataBytes)) {
            // Converted in consecutive blocks on every core; each value on its own.
            const std::size_t n = image.data.size();
            const unsigned threads = n >= (std::size_t{1} << 20)
                                         ? std::max(1u, std::thread::hardware_concurrency())
                                         : 1u;
            {
                std::vector<std::jthread> workers;
                for (unsigned t = 0; t < threads; ++t) {
                    workers.emplace_back([&, t] {
                        const std::size_t first = n * t / threads;
                        const std::size_t end = n * (t + 1) / threads;
                        convert(
                            raw.get() + offset + first * static_cast<std::size_t>(bytesPerVoxel),
                            end - first, swap, slope, inter, scale, image.data.data() + first);
                    });
                }
            }
            if (reporter != nullptr) reporter->progress(label, n, n);
            checkFinite(image, options, reporter);
            image.geometry =
                NiftiGeometry(std::make_shared<const NiftiGeometry::Header>(o.nim.release()));
            return image;
        }
    }

    znzFile fp = znzopen(path.c_str(), "rb", gz ? 1 : 0);
    if (znz_isnull(fp)) fail(path, std::string("cannot open: ") + std::strerror(errno));
    // gzseek answers the new offset, fseek 0; either way the position must then be the offset.
    if (znzseek(fp, static_cast<long>(offset), SEEK_SET) < 0 ||
        static_cast<std::uint64_t>(znztell(fp)) != offset) {
        znzclose(fp);
        fail(path, "truncated: the data does not start where the header says");
    }
    const std::size_t perChunk = kChunkBytes / static_cast<std::size_t>(bytesPerVoxel);
    std::vector<unsigned char> raw(perChunk * static_cast<std::size_t>(bytesPerVoxel));
    std::size_t done = 0;
    while (done < image.data.size()) {
        const std::size_t count = std::min(perChunk, image.data.size() - done);
        const std::size_t got =
            znzread(raw.data(), static_cast<std::size_t>(bytesPerVoxel), count, fp);
        if (got != count) {
            znzclose(fp);
            fail(path, "truncated: the data ends after " + std::to_string(done + got) + " of " +
                           std::to_string(image.data.size()) + " voxels");
        }
        convert(raw.data(), count, swap, slope, inter, scale, image.data.data() + done);
        done += count;
        if (reporter != nullptr) reporter->progress(label, done, image.data.size());
    }
    znzclose(fp);
    checkFinite(image, options, reporter);
    image.geometry = NiftiGeometry(std::make_shared<const NiftiGeometry::Header>(o.nim.release()));
    return image;
}

}  // namespace ondrift::cli
