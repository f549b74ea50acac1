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

/// A member in flight: compressed but not yet written, or being compressed.
struct Slot {
    std::vector<unsigned char> raw;
    std::vector<unsigned char> packed;
    std::size_t packedBytes = 0;
    std::uint64_t member = 0;
    bool ready = false;
};

}  // namespace

/// The workers and what they share with the writing thread. Members are compressed in a window
/// of a few per thread ahead of the one written, which bounds the memory however long the
/// stream is.
struct GzipMemberWriter::Shared {
    std::mutex mutex;
    std::condition_variable changed;
    std::uint64_t memberBytes = 1;
    // The stretch being written: from `bytes`, else from `source`.
    std::uint64_t total = 0;
    std::uint64_t members = 0;
    const unsigned char* bytes = nullptr;
    const GzipSource* source = nullptr;
    std::uint64_t next = 0;
    std::uint64_t written = 0;
    unsigned busy = 0;
    bool active = false;
    bool failed = false;
    bool stopping = false;
    std::vector<Slot> slots;
    std::vector<std::unique_ptr<libdeflate_compressor, CompressorDeleter>> compressors;
    std::vector<std::jthread> workers;

    Slot& slot(std::uint64_t member) { return slots[member % slots.size()]; }
    void work(libdeflate_compressor* compressor);
};

void GzipMemberWriter::Shared::work(libdeflate_compressor* compressor) {
    std::unique_lock lock(mutex);
    for (;;) {
        changed.wait(lock, [&] {
            return stopping ||
                   (active && !failed && next < members && next < written + slots.size());
        });
        if (stopping) return;
        const std::uint64_t m = next++;
        ++busy;
        Slot& s = slot(m);
        const std::uint64_t offset = m * memberBytes;
        const auto length = static_cast<std::size_t>(std::min(memberBytes, total - offset));
        const unsigned char* in = bytes != nullptr ? bytes + offset : nullptr;
        const GzipSource* from = source;
        lock.unlock();
        bool ok = true;
        try {
            if (in == nullptr) {
                s.raw.resize(length);
                (*from)(offset, s.raw);
                in = s.raw.data();
            }
            s.packed.resize(libdeflate_gzip_compress_bound(compressor, length));
            s.packedBytes =
                libdeflate_gzip_compress(compressor, in, length, s.packed.data(), s.packed.size());
            ok = s.packedBytes != 0;
        } catch (const std::exception&) {
            ok = false;
        }
        lock.lock();
        s.member = m;
        s.ready = true;
        --busy;
        if (!ok) failed = true;
        changed.notify_all();
    }
}

GzipMemberWriter::GzipMemberWriter(std::FILE* file, const GzipSettings& settings)
    : file_(file), shared_(std::make_unique<Shared>()) {
    Shared& s = *shared_;
    s.memberBytes = std::max<std::size_t>(settings.memberBytes, 1);
    const unsigned threads = std::max(
        settings.threads != 0 ? settings.threads : std::thread::hardware_concurrency(), 1u);
    s.slots.resize(std::size_t{2} * threads);
    for (unsigned t = 0; t < threads; ++t) {
        s.compressors.emplace_back(libdeflate_alloc_compressor(settings.level));
        if (!s.compressors.back()) throw std::runtime_error("cannot make a deflate compressor");
    }
    try {
        for (unsigned t = 0; t < threads; ++t) {
            s.workers.emplace_back([&s, c = s.compressors[t].get()] { s.work(c); });
        }
    } catch (...) {
        stop();  // the workers already started wait for work that will not come
        throw;
    }
}

GzipMemberWriter::~GzipMemberWriter() { stop(); }

void GzipMemberWriter::stop() {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->stopping = true;
        shared_->changed.notify_all();
    }
    shared_->workers.clear();
}

void GzipMemberWriter::write(std::span<const unsigned char> bytes,
                             const std::function<void()>& meanwhile) {
    run(bytes.size(), bytes.data(), nullptr, meanwhile, {});
}

void GzipMemberWriter::write(std::uint64_t total, const GzipSource& source,
                             const GzipProgress& progress) {
    run(total, nullptr, &source, {}, progress);
}

void GzipMemberWriter::run(std::uint64_t total, const unsigned char* bytes,
                           const GzipSource* source, const std::function<void()>& meanwhile,
                           const GzipProgress& progress) {
    Shared& s = *shared_;
    {
        std::lock_guard lock(s.mutex);
        s.total = total;
        // An empty stream is still one (empty) member: every gzip reader expects a header.
        s.members = std::max<std::uint64_t>((total + s.memberBytes - 1) / s.memberBytes, 1);
        s.bytes = bytes;
        s.source = source;
        s.next = 0;
        s.written = 0;
        s.failed = false;
        for (Slot& slot : s.slots) slot.ready = false;
        s.active = true;
        s.changed.notify_all();
    }
    // However the call ends, no worker reads the caller's bytes or source after it.
    struct EndOfStretch {
        Shared& s;
        ~EndOfStretch() {
            std::unique_lock lock(s.mutex);
            s.active = false;
            s.changed.wait(lock, [&] { return s.busy == 0; });
        }
    } end{s};
    if (meanwhile) meanwhile();
    for (std::uint64_t m = 0; m < s.members; ++m) {
        Slot* slot = nullptr;
        {
            std::unique_lock lock(s.mutex);
            s.changed.wait(lock,
                           [&] { return s.failed || (s.slot(m).ready && s.slot(m).member == m); });
            if (s.failed) throw std::runtime_error("compressing the data failed");
            slot = &s.slot(m);
        }
        // The window keeps the workers off this slot until it is counted as written.
        const bool ok =
            std::fwrite(slot->packed.data(), 1, slot->packedBytes, file_) == slot->packedBytes;
        {
            std::lock_guard lock(s.mutex);
            slot->ready = false;
            ++s.written;
            s.changed.notify_all();
        }
        if (!ok) throw std::runtime_error("writing the compressed data failed (disk full?)");
        if (progress) progress(std::min(total, (m + 1) * s.memberBytes));
    }
}

void writeGzipMembers(std::FILE* file, std::uint64_t total, const GzipSource& source,
                      const GzipSettings& settings, const GzipProgress& progress) {
    const std::uint64_t memberBytes = std::max<std::size_t>(settings.memberBytes, 1);
    const std::uint64_t members =
        std::max<std::uint64_t>((total + memberBytes - 1) / memberBytes, 1);
    GzipSettings one = settings;
    const unsigned threads =
        settings.threads != 0 ? settings.threads : std::thread::hardware_concurrency();
    one.threads = static_cast<unsigned>(std::clamp<std::uint64_t>(threads, 1, members));
    GzipMemberWriter writer(file, one);
    writer.write(total, source, progress);
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
