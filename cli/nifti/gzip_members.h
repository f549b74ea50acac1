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

/// The uncompressed stream of a whole gzip file in memory, member by member, into `out`, which
/// must be exactly as long as the stream. Returns an empty text on success, else what is wrong
/// (not gzip, corrupt, shorter or longer than `out`).
std::string inflateGzipMembers(std::span<const unsigned char> compressed,
                               std::span<unsigned char> out);

}  // namespace ondrift::cli

#endif
