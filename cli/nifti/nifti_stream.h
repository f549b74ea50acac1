// A series read and written a block of volumes at a time, so that memory does not grow with
// its length: .nii.gz inflated and compressed as a stream.
#ifndef ONDRIFT_CLI_NIFTI_STREAM_H
#define ONDRIFT_CLI_NIFTI_STREAM_H

#include <cstdio>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "cli/nifti/gzip_stream.h"
#include "cli/nifti/nifti_file.h"

extern "C" {
#include <znzlib.h>
}

namespace ondrift::cli {

/// Reads the volumes of a series in order, validated as readNifti validates a whole image.
class NiftiVolumeReader {
public:
    /// Throws InputError naming the file.
    NiftiVolumeReader(const std::string& path, const ReadOptions& options);
    ~NiftiVolumeReader();
    NiftiVolumeReader(const NiftiVolumeReader&) = delete;
    NiftiVolumeReader& operator=(const NiftiVolumeReader&) = delete;

    const NiftiGeometry& geometry() const { return header_.geometry; }
    const std::string& dataTypeName() const { return header_.dataTypeName; }
    int volumesLeft() const { return header_.geometry.nt() - next_; }
    /// NaN or infinite values met so far (replaced by 0 with nanToZero, else refused).
    std::size_t nonFinite() const { return nonFinite_; }

    /// The next out.size() / voxelsPerVolume volumes into `out`. Throws InputError when the
    /// file ends early or holds values it refuses.
    void read(std::span<float> out);

private:
    std::size_t readBytes(std::span<unsigned char> out);

    NiftiImage header_;
    ReadOptions options_;
    /// Gzip files go through the fast inflater; plain files (and any not gzip after all) through
    /// the NIfTI library's reader.
    std::unique_ptr<GzipStreamReader> gzip_;
    znzFile file_ = nullptr;
    std::vector<unsigned char> raw_;  ///< one volume as stored
    int next_ = 0;
    std::size_t nonFinite_ = 0;
};

/// Writes a float32 series volume block by volume block. Nothing is left behind unless finish()
/// succeeded: the destructor removes an unfinished file.
class NiftiSeriesWriter {
public:
    /// `path` ends in .nii or .nii.gz; the series will hold `nt` volumes on `geometry`'s grid.
    /// Throws ProcessingError.
    NiftiSeriesWriter(const std::string& path, const NiftiGeometry& geometry, int nt,
                      const GzipSettings& gzip = {});
    ~NiftiSeriesWriter();
    NiftiSeriesWriter(const NiftiSeriesWriter&) = delete;
    NiftiSeriesWriter& operator=(const NiftiSeriesWriter&) = delete;

    /// Appends whole volumes; `meanwhile` runs on the calling thread while they are
    /// compressed. Throws ProcessingError when more than `nt` are given or a write fails.
    void write(std::span<const float> volumes, const std::function<void()>& meanwhile = {});
    /// Flushes the file to the disk once all `nt` volumes are written. Throws ProcessingError.
    void finish();

private:
    void put(std::span<const unsigned char> bytes, const std::function<void()>& meanwhile = {});

    std::string path_;
    std::size_t voxelsPerVolume_ = 0;
    int nt_ = 0;
    int written_ = 0;
    bool gz_ = false;
    std::FILE* file_ = nullptr;
    std::unique_ptr<GzipMemberWriter> gzip_;
};

}  // namespace ondrift::cli

#endif
