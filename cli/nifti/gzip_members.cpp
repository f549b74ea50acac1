#include "cli/nifti/gzip_members.h"

#include <libdeflate.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace ondrift::cli {

namespace {

struct CompressorDeleter {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};
struct DecompressorDeleter {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

/// Members in flight: compressed but not yet written, or being compressed. Bounds the memory
/// to a few members per thread however long the stream is.
struct Slot {
    std::vector<unsigned char> raw;
    std::vector<unsigned char> packed;
    std::size_t packedBytes = 0;
    std::uint64_t member = 0;
    bool ready = false;
};

class MemberQueue {
public:
    MemberQueue(std::uint64_t members, std::size_t window) : members_(members), slots_(window) {}

    /// The next member to compress, or false when there is none (or the writer gave up).
    bool claim(std::uint64_t& member) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] {
            return stopped_ || next_ >= members_ || next_ < written_ + slots_.size();
        });
        if (stopped_ || next_ >= members_) return false;
        member = next_++;
        return true;
    }
    Slot& slot(std::uint64_t member) { return slots_[member % slots_.size()]; }
    void done(std::uint64_t member, bool ok) {
        std::lock_guard lock(mutex_);
        slot(member).member = member;
        slot(member).ready = true;
        if (!ok) failed_ = true;
        changed_.notify_all();
    }
    /// Waits until the member is compressed; false when a worker failed.
    bool await(std::uint64_t member) {
        std::unique_lock lock(mutex_);
        changed_.wait(
            lock, [&] { return failed_ || (slot(member).ready && slot(member).member == member); });
        return !failed_;
    }
    void written(std::uint64_t member) {
        std::lock_guard lock(mutex_);
        slot(member).ready = false;
        ++written_;
        changed_.notify_all();
    }
    void stop() {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t members_;
    std::uint64_t next_ = 0;
    std::uint64_t written_ = 0;
    bool stopped_ = false;
    bool failed_ = false;
    std::vector<Slot> slots_;
};

}  // namespace

void writeGzipMembers(std::FILE* file, std::uint64_t total, const GzipSource& source,
                      const GzipSettings& settings, const GzipProgress& progress) {
    const std::uint64_t memberBytes = std::max<std::size_t>(settings.memberBytes, 1);
    // An empty stream is still one (empty) member: every gzip reader expects a header.
    const std::uint64_t members =
        std::max<std::uint64_t>((total + memberBytes - 1) / memberBytes, 1);
    unsigned threads =
        settings.threads != 0 ? settings.threads : std::thread::hardware_concurrency();
    threads = static_cast<unsigned>(std::clamp<std::uint64_t>(threads, 1, members));
    MemberQueue queue(members, std::size_t{2} * threads);

    auto work = [&](libdeflate_compressor* compressor) {
        std::uint64_t m = 0;
        while (queue.claim(m)) {
            Slot& slot = queue.slot(m);
            const std::uint64_t offset = m * memberBytes;
            const auto length = static_cast<std::size_t>(std::min(memberBytes, total - offset));
            slot.raw.resize(length);
            source(offset, slot.raw);
            slot.packed.resize(libdeflate_gzip_compress_bound(compressor, length));
            slot.packedBytes = libdeflate_gzip_compress(compressor, slot.raw.data(), length,
                                                        slot.packed.data(), slot.packed.size());
            queue.done(m, slot.packedBytes != 0);
        }
    };
    std::vector<std::unique_ptr<libdeflate_compressor, CompressorDeleter>> compressors;
    for (unsigned t = 0; t < threads; ++t) {
        compressors.emplace_back(libdeflate_alloc_compressor(settings.level));
        if (!compressors.back()) throw std::runtime_error("cannot make a deflate compressor");
    }
    std::vector<std::jthread> workers;
    for (unsigned t = 0; t < threads; ++t) workers.emplace_back(work, compressors[t].get());

    bool ok = true;
    for (std::uint64_t m = 0; m < members && ok; ++m) {
        ok = queue.await(m);
        if (!ok) break;
        const Slot& slot = queue.slot(m);
        ok = std::fwrite(slot.packed.data(), 1, slot.packedBytes, file) == slot.packedBytes;
        queue.written(m);
        if (ok && progress) progress(std::min(total, (m + 1) * memberBytes));
    }
    queue.stop();
    workers.clear();
    if (!ok) throw std::runtime_error("writing the compressed data failed (disk full?)");
}

std::string inflateGzipMembers(std::span<const unsigned char> compressed,
                               std::span<unsigned char> out) {
    std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> d(
        libdeflate_alloc_decompressor());
    if (!d) return "cannot make a deflate decompressor";
    std::size_t in = 0;
    std::size_t done = 0;
    do {
        std::size_t used = 0;
        std::size_t produced = 0;
        const libdeflate_result r =
            libdeflate_gzip_decompress_ex(d.get(), compressed.data() + in, compressed.size() - in,
                                          out.data() + done, out.size() - done, &used, &produced);
        if (r == LIBDEFLATE_INSUFFICIENT_SPACE) return "holds more data than expected";
        if (r != LIBDEFLATE_SUCCESS) {
            return in == 0 ? "not a valid gzip stream" : "corrupt or truncated gzip stream";
        }
        in += used;
        done += produced;
        // Some writers pad the file with zeros after the last member.
        while (in < compressed.size() && compressed[in] == 0) ++in;
    } while (in < compressed.size());
    if (done != out.size()) return "truncated: the stream ends early";
    return {};
}

}  // namespace ondrift::cli
