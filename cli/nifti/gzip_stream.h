// The uncompressed stream of a gzip file read front to back a stretch at a time, in bounded
// memory whatever the file's length.
#ifndef ONDRIFT_CLI_NIFTI_GZIP_STREAM_H
#define ONDRIFT_CLI_NIFTI_GZIP_STREAM_H

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "cli/nifti/gzip_members.h"
#include "cli/nifti/mapped_file.h"

namespace ondrift::cli {

/// Each member that inflates into `memberBytes` (those of this program's writer) is inflated at
/// once by the fast deflate library; a longer one (the one-member files of other tools) by zlib
/// as a stream. The pages of the file already read are given back as the reading goes on.
class GzipStreamReader {
public:
    /// Not valid() when the file cannot be mapped or does not start as gzip does.
    explicit GzipStreamReader(const std::string& path,
                              std::size_t memberBytes = GzipSettings{}.memberBytes);
    ~GzipStreamReader();
    GzipStreamReader(const GzipStreamReader&) = delete;
    GzipStreamReader& operator=(const GzipStreamReader&) = delete;

    bool valid() const { return valid_; }
    /// Fills `out` with the next bytes of the stream and returns how many: fewer only where the
    /// stream ends. Throws std::runtime_error when the file is damaged or cut short.
    std::size_t read(std::span<unsigned char> out);

private:
    struct Inflaters;
    bool refill();
    void inflateWithZlib();

    MappedFile file_;
    bool valid_ = false;
    std::size_t in_ = 0;  ///< compressed bytes used so far
    std::vector<unsigned char> buffer_;
    std::size_t position_ = 0;  ///< next byte of the buffer to hand out
    std::size_t filled_ = 0;    ///< bytes of the buffer inflated
    bool inZlibMember_ = false;
    std::unique_ptr<Inflaters> inflaters_;
};

}  // namespace ondrift::cli

#endif
