// Compressed files written and read as a series of independent gzip members.
//
// Each member covers a fixed stretch of the uncompressed stream, so the members can be
// compressed on all cores at once and written in order; gzip readers (zlib's gzread, Python's
// gzip module, `gzip -d`) read the concatenation as one stream. Reading inflates member by
// member straight into the caller's buffer, which also takes the single-member files of other
// tools.
#ifndef ONDRIFT_CLI_GZIP_MEMBERS_H
#define ONDRIFT_CLI_GZIP_MEMBERS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <span>
#include <string>

namespace ondrift::cli {

/// Level 1 of the deflate library: measured-floating point images shrink by a few percent
/// whatever the level, so the fastest level that still finds repeats costs the least.
inline constexpr int kFastGzipLevel = 1;

struct GzipSettings {
    int level = kFastGzipLevel;
    /// Compressing threads; 0 means one per core.
    unsigned threads = 0;
    /// Uncompressed bytes per member.
    std::size_t memberBytes = std::size_t{4} << 20;
};

/// Fills `out` with the uncompressed bytes [offset, offset + out.size()) of the stream. Called
/// from several threads at once, for different stretches.
using GzipSource = std::function<void(std::uint64_t offset, std::span<unsigned char> out)>;
/// Told the number of uncompressed bytes written so far (on the calling thread).
using GzipProgress = std::function<void(std::uint64_t done)>;

/// Writes a stream of `total` bytes to `file` as gzip members. Throws std::runtime_error when
/// the compressor cannot be made or a write fails; the caller removes the partial file.
void writeGzipMembers(std::FILE* file, std::uint64_t total, const GzipSource& source,
                      const GzipSettings& settings = {}, const GzipProgress& progress = {});

/// Writes stretches of a stream as gzip members, one call after the other, with compressing
/// threads and buffers that last from one call to the next: a stream written a block at a
/// time pays for them once.
class GzipMemberWriter {
public:
    /// Throws std::runtime_error when the compressors cannot be made.
    GzipMemberWriter(std::FILE* file, const GzipSettings& settings = {});
    ~GzipMemberWriter();
    GzipMemberWriter(const GzipMemberWriter&) = delete;
    GzipMemberWriter& operator=(const GzipMemberWriter&) = delete;

    /// Compresses `bytes` (members of settings.memberBytes, the last one shorter) and writes
    /// them in order. `meanwhile` runs on the calling thread while the members are compressed;
    /// `bytes` must not change until the call returns. Throws std::runtime_error when a
    /// compression or a write fails, or what `meanwhile` throws.
    void write(std::span<const unsigned char> bytes, const std::function<void()>& meanwhile = {});
    /// As above, the `total` bytes given by `source` a member at a time.
    void write(std::uint64_t total, const GzipSource& source, const GzipProgress& progress = {});

private:
    struct Shared;
    void stop();
    void run(std::uint64_t total, const unsigned char* bytes, const GzipSource* source,
             const std::function<void()>& meanwhile, const GzipProgress& progress);
    std::FILE* file_;
    std::unique_ptr<Shared> shared_;
};

/// The uncompressed stream of a whole gzip file in memory, member by member, into `out`, which
/// must be exactly as long as the stream. Returns an empty text on success, else what is wrong
/// (not gzip, corrupt, shorter or longer than `out`).
std::string inflateGzipMembers(std::span<const unsigned char> compressed,
                               std::span<unsigned char> out);

}  // namespace ondrift::cli

#endif
