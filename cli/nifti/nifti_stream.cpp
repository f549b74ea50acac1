#include "cli/nifti/nifti_stream.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

#include "cli/base/errors.h"
#include "cli/nifti/nifti_internal.h"

namespace ondrift::cli {

namespace {

constexpr std::size_t kSingleFileOffset = 352;  // header and an empty extension flag

bool endsWithGz(const std::string& path) {
    return path.size() >= 3 && path.compare(path.size() - 3, 3, ".gz") == 0;
}

}  // namespace

NiftiVolumeReader::NiftiVolumeReader(const std::string& path, const ReadOptions& options)
    : header_(readNiftiHeader(path)), options_(options) {
    const nifti_image& nim = *header_.geometry.header()->nim;
    const auto offset = static_cast<std::size_t>(nim.iname_offset);
    if (nifti_is_gzfile(path.c_str())) {
        try {
            gzip_ = std::make_unique<GzipStreamReader>(path);
        } catch (const std::exception& e) {
            throw InputError(path + ": " + e.what());
        }
        if (!gzip_->valid()) gzip_.reset();
    }
    if (gzip_) {
        // The header and its extensions, passed over a bounded piece at a time: the offset is
        // the file's word, not a size to allocate.
        std::vector<unsigned char> skipped(std::min<std::size_t>(offset, 65536));
        for (std::size_t left = offset; left > 0;) {
            const std::span<unsigned char> piece(skipped.data(), std::min(left, skipped.size()));
            if (readBytes(piece) != piece.size()) {
                throw InputError(path +
                                 ": truncated: the data does not start where the header says");
            }
            left -= piece.size();
        }
        return;
    }
    file_ = znzopen(path.c_str(), "rb", nifti_is_gzfile(path.c_str()));
    if (znz_isnull(file_)) {
        file_ = nullptr;
        throw InputError(path + ": cannot open: " + std::strerror(errno));
    }
    if (znzseek(file_, static_cast<long>(offset), SEEK_SET) < 0 ||
        znztell(file_) != static_cast<long>(offset)) {
        throw InputError(path + ": truncated: the data does not start where the header says");
    }
}

NiftiVolumeReader::~NiftiVolumeReader() {
    if (file_ != nullptr) znzclose(file_);
}

std::size_t NiftiVolumeReader::readBytes(std::span<unsigned char> out) {
    if (!gzip_) return znzread(out.data(), 1, out.size(), file_);
    try {
        return gzip_->read(out);
    } catch (const std::exception& e) {
        throw InputError(header_.path + ": " + e.what());
    }
}

void NiftiVolumeReader::read(std::span<float> out) {
    const nifti_image& nim = *header_.geometry.header()->nim;
    const std::string& path = header_.path;
    const std::size_t perVolume = header_.geometry.voxelsPerVolume();
    if (perVolume == 0 || out.size() % perVolume != 0 ||
        out.size() / perVolume > static_cast<std::size_t>(volumesLeft())) {
        throw ProcessingError(path + ": internal error: a block beyond the series");
    }
    const auto bytesPer = static_cast<std::size_t>(nim.nbyper);
    const bool swap = nim.byteorder != nifti_short_order();
    const double slope = nim.scl_slope;
    const double inter = nim.scl_inter;
    const bool scale = slope != 0.0 && !(slope == 1.0 && inter == 0.0);
    const NiftiConverter convert = niftiConverterFor(nim.datatype);
    // A volume at a time: the raw buffer stays one volume long whatever the block.
    raw_.resize(perVolume * bytesPer);
    for (std::size_t done = 0; done < out.size(); done += perVolume) {
        if (readBytes(raw_) != raw_.size()) {
            throw InputError(path + ": truncated: the data ends inside volume " +
                             std::to_string(next_ + 1) + " of " +
                             std::to_string(header_.geometry.nt()));
        }
        convert(raw_.data(), perVolume, swap, slope, inter, scale, out.data() + done);
        ++next_;
    }
    for (float& v : out) {
        if (std::isfinite(v)) continue;
        ++nonFinite_;
        if (!options_.nanToZero) {
            throw InputError(path +
                             ": holds NaN or infinite voxels (--nan-to-zero replaces "
                             "them with 0)");
        }
        v = 0.0f;
    }
}

NiftiSeriesWriter::NiftiSeriesWriter(const std::string& path, const NiftiGeometry& geometry, int nt,
                                     const GzipSettings& gzip)
    : path_(path), voxelsPerVolume_(geometry.voxelsPerVolume()), nt_(nt), gz_(endsWithGz(path)) {
    if (!geometry.valid() || nt < 1 || !hasNiftiExtension(path)) {
        throw ProcessingError(path + ": internal error: no series to write");
    }
    // The header as writeNifti makes it for float32 values.
    NiftiImagePtr nim = seriesHeader(path, geometry, nt, StoredType{});
    nifti_1_header header = nifti_convert_nim2nhdr(nim.get());
    header.vox_offset = static_cast<float>(kSingleFileOffset);
    unsigned char head[kSingleFileOffset] = {};
    static_assert(sizeof header <= kSingleFileOffset);
    std::memcpy(head, &header, sizeof header);

    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) throw ProcessingError(path + ": cannot create the file");
    if (gz_) {
        try {
            gzip_ = std::make_unique<GzipMemberWriter>(file_, gzip);
        } catch (const std::exception& e) {
            std::fclose(file_);
            file_ = nullptr;
            std::remove(path.c_str());
            throw ProcessingError(path + ": " + e.what());
        }
    }
    put(head);
}

NiftiSeriesWriter::~NiftiSeriesWriter() {
    gzip_.reset();
    if (file_ == nullptr) return;
    std::fclose(file_);
    std::remove(path_.c_str());
}

void NiftiSeriesWriter::put(std::span<const unsigned char> bytes,
                            const std::function<void()>& meanwhile) {
    if (!gz_) {
        if (meanwhile) meanwhile();
        if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) {
            throw ProcessingError(path_ + ": writing failed (disk full?)");
        }
        return;
    }
    // Each block its own gzip members: their concatenation is the one stream gzip readers see.
    try {
        gzip_->write(bytes, meanwhile);
    } catch (const std::runtime_error& e) {
        throw ProcessingError(path_ + ": " + e.what());
    }
}

void NiftiSeriesWriter::write(std::span<const float> volumes,
                              const std::function<void()>& meanwhile) {
    if (file_ == nullptr || voxelsPerVolume_ == 0 || volumes.size() % voxelsPerVolume_ != 0 ||
        volumes.size() / voxelsPerVolume_ > static_cast<std::size_t>(nt_ - written_)) {
        throw ProcessingError(path_ + ": internal error: more volumes than the series holds");
    }
    static_assert(sizeof(float) == 4);
    // Float32 in this machine's byte order, which the header declares.
    put({reinterpret_cast<const unsigned char*>(volumes.data()), volumes.size_bytes()}, meanwhile);
    written_ += static_cast<int>(volumes.size() / voxelsPerVolume_);
}

void NiftiSeriesWriter::finish() {
    if (file_ == nullptr || written_ != nt_) {
        throw ProcessingError(path_ + ": internal error: " + std::to_string(written_) + " of " +
                              std::to_string(nt_) + " volumes written");
    }
    gzip_.reset();
    const bool flushed = std::fflush(file_) == 0 && ::fsync(fileno(file_)) == 0;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (!flushed || !closed) {
        std::remove(path_.c_str());
        throw ProcessingError(path_ + ": writing failed (disk full?)");
    }
}

}  // namespace ondrift::cli
