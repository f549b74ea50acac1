#include "cli/nifti/gzip_stream.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <stdexcept>

namespace ondrift::cli {

struct GzipStreamReader::Inflaters {
    Inflaters() = default;
    Inflaters(const Inflaters&) = delete;
    Inflaters& operator=(const Inflaters&) = delete;
    ~Inflaters() {
        if (deflate != nullptr) libdeflate_free_decompressor(deflate);
        if (zlibReady) inflateEnd(&zlib);
    }
    libdeflate_decompressor* deflate = nullptr;
    z_stream zlib{};
    bool zlibReady = false;
};

GzipStreamReader::GzipStreamReader(const std::string& path, std::size_t memberBytes)
    : file_(path), inflaters_(std::make_unique<Inflaters>()) {
    const auto bytes = file_.bytes();
    valid_ = file_.valid() && bytes.size() >= 2 && bytes[0] == 0x1f && bytes[1] == 0x8b;
    if (!valid_) return;
    inflaters_->deflate = libdeflate_alloc_decompressor();
    if (inflaters_->deflate == nullptr)
        throw std::runtime_error("cannot make a deflate decompressor");
    buffer_.resize(std::max<std::size_t>(memberBytes, 1));
}

GzipStreamReader::~GzipStreamReader() = default;

std::size_t GzipStreamReader::read(std::span<unsigned char> out) {
    std::size_t done = 0;
    while (done < out.size()) {
        if (position_ == filled_ && !refill()) break;
        const std::size_t n = std::min(filled_ - position_, out.size() - done);
        std::memcpy(out.data() + done, buffer_.data() + position_, n);
        position_ += n;
        done += n;
    }
    return done;
}

bool GzipStreamReader::refill() {
    const auto bytes = file_.bytes();
    position_ = filled_ = 0;
    while (filled_ == 0) {
        if (inZlibMember_) {
            inflateWithZlib();
            continue;
        }
        // Some writers pad the file with zeros after the last member.
        while (in_ > 0 && in_ < bytes.size() && bytes[in_] == 0) ++in_;
        if (in_ >= bytes.size()) return false;
        std::size_t used = 0;
        const libdeflate_result r = libdeflate_gzip_decompress_ex(
            inflaters_->deflate, bytes.data() + in_, bytes.size() - in_, buffer_.data(),
            buffer_.size(), &used, &filled_);
        if (r == LIBDEFLATE_INSUFFICIENT_SPACE) {
            filled_ = 0;
            inZlibMember_ = true;
            continue;
        }
        if (r != LIBDEFLATE_SUCCESS) {
            throw std::runtime_error(in_ == 0 ? "not a valid gzip stream"
                                              : "corrupt or truncated gzip stream");
        }
        in_ += used;
        file_.release(in_);
    }
    return true;
}

// A member longer than the buffer, a buffer's worth at a time.
void GzipStreamReader::inflateWithZlib() {
    Inflaters& f = *inflaters_;
    if (!f.zlibReady) {
        if (inflateInit2(&f.zlib, 16 + MAX_WBITS) != Z_OK) {
            throw std::runtime_error("cannot make a zlib inflater");
        }
        f.zlibReady = true;
    }
    const auto bytes = file_.bytes();
    const unsigned char* start = bytes.data() + in_;
    f.zlib.next_in = const_cast<unsigned char*>(start);
    f.zlib.avail_in = static_cast<uInt>(std::min<std::size_t>(bytes.size() - in_, UINT_MAX));
    f.zlib.next_out = buffer_.data();
    f.zlib.avail_out = static_cast<uInt>(std::min<std::size_t>(buffer_.size(), UINT_MAX));
    const int r = inflate(&f.zlib, Z_NO_FLUSH);
    in_ += static_cast<std::size_t>(f.zlib.next_in - start);
    filled_ = static_cast<std::size_t>(f.zlib.next_out - buffer_.data());
    file_.release(in_);
    if (r == Z_STREAM_END) {
        inZlibMember_ = false;
        inflateReset(&f.zlib);
    } else if (r != Z_OK && !(r == Z_BUF_ERROR && filled_ > 0)) {
        throw std::runtime_error("corrupt or truncated gzip stream");
    }
}

}  // namespace ondrift::cli
