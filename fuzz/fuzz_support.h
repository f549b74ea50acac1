// Shared by the fuzz targets: a scratch folder of the process's own, and writing inputs there.
#ifndef ONDRIFT_FUZZ_FUZZ_SUPPORT_H
#define ONDRIFT_FUZZ_FUZZ_SUPPORT_H

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace ondrift::fuzz {

/// A folder for this process's files, made on first use and emptied by the operating system's
/// temporary-file policy (each run overwrites the same few names).
inline const std::filesystem::path& scratchFolder() {
    static const std::filesystem::path folder = [] {
        auto p =
            std::filesystem::temp_directory_path() / ("ondrift_fuzz_" + std::to_string(::getpid()));
        std::filesystem::create_directories(p);
        return p;
    }();
    return folder;
}

inline std::filesystem::path writeScratch(const std::string& name, std::string_view bytes) {
    const auto path = scratchFolder() / name;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
}

/// Takes the input apart: fixed-size numbers from the front, texts up to a separator.
class Bytes {
public:
    Bytes(const std::uint8_t* data, std::size_t size)
        : text_(reinterpret_cast<const char*>(data), size) {}

    std::uint32_t number(std::uint32_t limit) {
        std::uint32_t v = 0;
        for (int i = 0; i < 4 && pos_ < text_.size(); ++i) {
            v = (v << 8) | static_cast<unsigned char>(text_[pos_++]);
        }
        return limit == 0 ? v : v % limit;
    }
    /// The text up to the next `separator` (or the end).
    std::string_view part(char separator = '\0') {
        const std::size_t end = std::min(text_.find(separator, pos_), text_.size());
        const std::string_view out = text_.substr(pos_, end - pos_);
        pos_ = end < text_.size() ? end + 1 : end;
        return out;
    }
    std::string_view rest() {
        const std::string_view out = text_.substr(pos_);
        pos_ = text_.size();
        return out;
    }
    bool empty() const { return pos_ >= text_.size(); }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

}  // namespace ondrift::fuzz

#endif
