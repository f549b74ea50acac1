// Writing NIfTI-1 images: float32 or a stored integer type, with the geometry of a source.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

#include "cli/base/errors.h"
#include "cli/base/reporter.h"
#include "cli/nifti/gzip_members.h"
#include "cli/nifti/nifti_file.h"
#include "cli/nifti/nifti_internal.h"

namespace ondrift::cli {

namespace {

std::string fileNameOf(const std::string& path) {
    const auto cut = path.find_last_of('/');
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

}  // namespace

namespace {

template <typename T>
void storeChunk(const float* in, std::size_t count, double slope, double inter,
                unsigned char* out) {
    for (std::size_t i = 0; i < count; ++i) {
        T v;
        if constexpr (std::is_floating_point_v<T>) {
            v = static_cast<T>((in[i] - inter) / slope);
        } else {
            double r = std::nearbyint((static_cast<double>(in[i]) - inter) / slope);
            if (!std::isfinite(r)) r = 0.0;
            r = std::clamp(r, static_cast<double>(std::numeric_limits<T>::lowest()),
                           static_cast<double>(std::numeric_limits<T>::max()));
            v = static_cast<T>(r);
        }
        std::memcpy(out + i * sizeof(T), &v, sizeof(T));
    }
}

using Storer = void (*)(const float*, std::size_t, double, double, unsigned char*);

bool endsWithGz(const std::string& path) {
    return path.size() >= 3 && path.compare(path.size() - 3, 3, ".gz") == 0;
}

constexpr std::size_t kSingleFileOffset = 352;  // header and an empty extension flag

/// The header and the stored values as one gzip file whose members are compressed on every
/// core; the values are converted to their stored type inside the compressing threads.
void writeCompressed(const std::string& path, const nifti_image& nim, std::span<const float> data,
                     Storer store, double slope, double inter, const GzipSettings& gzip,
                     Reporter* reporter) {
    nifti_1_header header = nifti_convert_nim2nhdr(&nim);
    header.vox_offset = static_cast<float>(kSingleFileOffset);
    unsigned char head[kSingleFileOffset] = {};
    static_assert(sizeof header <= kSingleFileOffset);
    std::memcpy(head, &header, sizeof header);
    const auto bytesPer = static_cast<std::size_t>(nim.nbyper);
    const std::uint64_t total = kSingleFileOffset + data.size() * bytesPer;
    auto source = [&](std::uint64_t offset, std::span<unsigned char> out) {
        std::size_t filled = 0;
        if (offset < kSingleFileOffset) {
            filled = std::min<std::size_t>(out.size(), kSingleFileOffset - offset);
            std::memcpy(out.data(), head + offset, filled);
        }
        if (filled == out.size()) return;
        const std::uint64_t from = offset + filled - kSingleFileOffset;  // byte in the values
        const std::size_t length = out.size() - filled;
        if (from % bytesPer == 0 && length % bytesPer == 0) {
            store(data.data() + from / bytesPer, length / bytesPer, slope, inter,
                  out.data() + filled);
            return;
        }
        // A member that starts or ends inside a value: convert the values it touches.
        const std::uint64_t first = from / bytesPer;
        const std::uint64_t last = (from + length + bytesPer - 1) / bytesPer;
        std::vector<unsigned char> part(static_cast<std::size_t>(last - first) * bytesPer);
        store(data.data() + first, static_cast<std::size_t>(last - first), slope, inter,
              part.data());
        std::memcpy(out.data() + filled, part.data() + (from - first * bytesPer), length);
    };
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) throw ProcessingError(path + ": cannot create the file");
    const std::string label = "Writing " + fileNameOf(path);
    std::string failure;
    try {
        writeGzipMembers(file, total, source, gzip, [&](std::uint64_t done) {
            if (reporter != nullptr) reporter->progress(label, done, total);
        });
    } catch (const std::exception& e) {
        failure = e.what();
    }
    if (std::fclose(file) != 0 && failure.empty()) failure = "writing failed (disk full?)";
    if (!failure.empty()) {
        std::remove(path.c_str());
        throw ProcessingError(path + ": " + failure);
    }
}

Storer storerFor(int datatype) {
    switch (datatype) {
        case NIFTI_TYPE_UINT8: return storeChunk<std::uint8_t>;
        case NIFTI_TYPE_INT8: return storeChunk<std::int8_t>;
        case NIFTI_TYPE_INT16: return storeChunk<std::int16_t>;
        case NIFTI_TYPE_UINT16: return storeChunk<std::uint16_t>;
        case NIFTI_TYPE_INT32: return storeChunk<std::int32_t>;
        case NIFTI_TYPE_UINT32: return storeChunk<std::uint32_t>;
        case NIFTI_TYPE_INT64: return storeChunk<std::int64_t>;
        case NIFTI_TYPE_UINT64: return storeChunk<std::uint64_t>;
        case NIFTI_TYPE_FLOAT32: return storeChunk<float>;
        case NIFTI_TYPE_FLOAT64: return storeChunk<double>;
        default: return nullptr;
    }
}

}  // namespace

NiftiImagePtr seriesHeader(const std::string& path, const NiftiGeometry& geometry, int nt,
                           const StoredType& type) {
    NiftiImagePtr nim(nifti_copy_nim_info(geometry.header()->nim));
    if (!nim) throw ProcessingError(path + ": out of memory");
    nim->dim[0] = nt > 1 ? 4 : 3;
    nim->dim[4] = nt;
    for (int d = 5; d <= 7; ++d) nim->dim[d] = 1;
    if (nifti_update_dims_from_array(nim.get()) != 0) {
        throw ProcessingError(path + ": internal error: invalid output dimensions");
    }
    nim->datatype = type.datatype;
    nifti_datatype_sizes(type.datatype, &nim->nbyper, &nim->swapsize);
    const bool floating =
        type.datatype == NIFTI_TYPE_FLOAT32 || type.datatype == NIFTI_TYPE_FLOAT64;
    nim->scl_slope = floating ? 1.0f : static_cast<float>(type.slope);
    nim->scl_inter = floating ? 0.0f : static_cast<float>(type.inter);
    nim->cal_min = nim->cal_max = 0.0f;
    nim->intent_code = NIFTI_INTENT_NONE;
    nim->byteorder = nifti_short_order();
    nim->nifti_type = NIFTI_FTYPE_NIFTI1_1;
    std::snprintf(nim->descrip, sizeof nim->descrip, "ondrift");
    nim->data = nullptr;
    return nim;
}

void writeNifti(const std::string& path, const NiftiGeometry& geometry, int nt,
                std::span<const float> data, Reporter* reporter, const StoredType& type,
                const GzipSettings& gzip) {
    if (!geometry.valid() || nt < 1 ||
        data.size() != geometry.voxelsPerVolume() * static_cast<std::size_t>(nt)) {
        throw ProcessingError(path + ": internal error: data does not fit the output grid");
    }
    if (!hasNiftiExtension(path)) throw ProcessingError(path + ": not a NIfTI file name");
    const Storer store = storerFor(type.datatype);
    if (store == nullptr || !(type.slope != 0.0)) {
        throw ProcessingError(path + ": internal error: unsupported stored type");
    }
    NiftiImagePtr nim = seriesHeader(path, geometry, nt, type);
    const bool floating =
        type.datatype == NIFTI_TYPE_FLOAT32 || type.datatype == NIFTI_TYPE_FLOAT64;
    if (nifti_set_filenames(nim.get(), path.c_str(), 0, 1) != 0) {
        throw ProcessingError(path + ": cannot form the output file name");
    }
    nifti_set_iname_offset(nim.get());
    nifti_set_debug_level(0);
    const double slope = floating ? 1.0 : type.slope;
    const double inter = floating ? 0.0 : type.inter;
    if (endsWithGz(path)) {
        writeCompressed(path, *nim, data, store, slope, inter, gzip, reporter);
        return;
    }
    // Header first (file left open), then the data in chunks so that a bar can follow it.
    znzFile fp = nifti_image_write_hdr_img(nim.get(), 2, "wb");
    if (znz_isnull(fp)) throw ProcessingError(path + ": cannot create the file");
    const std::size_t perChunk = kNiftiChunkBytes / static_cast<std::size_t>(nim->nbyper);
    std::vector<unsigned char> raw(perChunk * static_cast<std::size_t>(nim->nbyper));
    const std::string label = "Writing " + fileNameOf(path);
    std::size_t done = 0;
    bool ok = true;
    while (done < data.size() && ok) {
        const std::size_t count = std::min(perChunk, data.size() - done);
        store(data.data() + done, count, slope, inter, raw.data());
        ok = znzwrite(raw.data(), static_cast<std::size_t>(nim->nbyper), count, fp) == count;
        done += count;
        if (reporter != nullptr) reporter->progress(label, done, data.size());
    }
    const int closed = znzclose(fp);
    if (!ok || closed != 0) throw ProcessingError(path + ": writing failed (disk full?)");
}

NiftiGeometry makeGeometry(const std::array<int, 4>& dims, const Affine& affine, float tr) {
    const int d[8] = {dims[3] > 1 ? 4 : 3,  dims[0], dims[1], dims[2],
                      std::max(dims[3], 1), 1,       1,       1};
    NiftiImagePtr nim(nifti_make_new_nim(d, NIFTI_TYPE_FLOAT32, 0));
    if (!nim) throw ProcessingError("out of memory");
    mat44 m{};
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            m.m[r][c] = static_cast<float>(affine[static_cast<std::size_t>(4 * r + c)]);
    for (int c = 0; c < 3; ++c) {
        const double len = std::sqrt(
            affine[static_cast<std::size_t>(c)] * affine[static_cast<std::size_t>(c)] +
            affine[static_cast<std::size_t>(4 + c)] * affine[static_cast<std::size_t>(4 + c)] +
            affine[static_cast<std::size_t>(8 + c)] * affine[static_cast<std::size_t>(8 + c)]);
        nim->pixdim[c + 1] = static_cast<float>(len);
    }
    nim->dx = nim->pixdim[1];
    nim->dy = nim->pixdim[2];
    nim->dz = nim->pixdim[3];
    nim->pixdim[4] = nim->dt = tr;
    nim->sform_code = NIFTI_XFORM_SCANNER_ANAT;
    nim->sto_xyz = m;
    nim->sto_ijk = nifti_mat44_inverse(m);
    nim->qform_code = NIFTI_XFORM_SCANNER_ANAT;
    nifti_mat44_to_quatern(m, &nim->quatern_b, &nim->quatern_c, &nim->quatern_d, &nim->qoffset_x,
                           &nim->qoffset_y, &nim->qoffset_z, nullptr, nullptr, nullptr, &nim->qfac);
    nim->qto_xyz = nifti_quatern_to_mat44(nim->quatern_b, nim->quatern_c, nim->quatern_d,
                                          nim->qoffset_x, nim->qoffset_y, nim->qoffset_z, nim->dx,
                                          nim->dy, nim->dz, nim->qfac);
    nim->qto_ijk = nifti_mat44_inverse(nim->qto_xyz);
    nim->xyz_units = NIFTI_UNITS_MM;
    nim->time_units = NIFTI_UNITS_SEC;
    nim->data = nullptr;
    return NiftiGeometry(std::make_shared<const NiftiGeometry::Header>(nim.release()));
}

}  // namespace ondrift::cli
