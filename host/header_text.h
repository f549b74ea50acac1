// The "Key: value" text of the stand-in's project file headers, and the small pieces of file
// handling the FMR and VMR readers and writers share (format: docs/project-files.md).
#ifndef ONDRIFT_HOST_HEADER_TEXT_H
#define ONDRIFT_HOST_HEADER_TEXT_H

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "binding/host_abi.h"

namespace ondrift::standin::header_text {

// A header is a few hundred bytes; anything far larger is not one of ours.
inline constexpr std::uintmax_t kMaxHeaderBytes = 64 * 1024;
inline constexpr std::int64_t kMaxValues = std::numeric_limits<std::int32_t>::max();

/// Shortest text that reads back as the same float.
std::string formatFloat(float v);
/// The whole text as a number, or nothing.
std::optional<std::int64_t> parseInteger(const std::string& text);
std::optional<float> parseFloat(const std::string& text);
std::string trim(const std::string& s);
bool isOneLine(const std::string& s);

/// The "Key: value" lines of a header, checked against the keys the format knows.
class HeaderFields {
public:
    /// False with `problem` set for a bad first line, a malformed line, a duplicate or an
    /// unknown key.
    bool parse(const std::string& text, const char* magic, const std::set<std::string>& known,
               std::string& problem);

    bool has(const std::string& key) const { return values_.count(key) != 0; }
    std::string text(const std::string& key) const {
        const auto it = values_.find(key);
        return it == values_.end() ? std::string() : it->second;
    }

    /// A required whole number within [minimum, maximum].
    bool integer(const std::string& key, std::int64_t minimum, std::int64_t maximum,
                 std::int64_t& out, std::string& problem, bool required = true) const {
        if (!has(key)) {
            if (!required) return true;
            problem = "missing field '" + key + "'";
            return false;
        }
        const auto v = parseInteger(text(key));
        if (!v) {
            problem = key + " is not a whole number: '" + text(key) + "'";
            return false;
        }
        if (*v < minimum || *v > maximum) {
            problem = key + " " + std::to_string(*v) + " is out of range (" +
                      std::to_string(minimum) + " to " + std::to_string(maximum) + ")";
            return false;
        }
        out = *v;
        return true;
    }

    bool real(const std::string& key, float& out, std::string& problem, bool required) const {
        if (!has(key)) {
            if (!required) return true;
            problem = "missing field '" + key + "'";
            return false;
        }
        const auto v = parseFloat(text(key));
        if (!v) {
            problem = key + " is not a number: '" + text(key) + "'";
            return false;
        }
        out = *v;
        return true;
    }

private:
    std::map<std::string, std::string> values_;
};

/// The given keys and the twenty position field names.
std::set<std::string> knownKeys(std::initializer_list<const char*> keys);
void appendLine(std::string& out, const std::string& key, const std::string& value);
/// The twenty position fields as "Key: value" lines.
void appendPosition(std::string& out, const ScannerPositionHeader& p);
/// Position fields are optional (0 when absent).
bool readPosition(const HeaderFields& h, ScannerPositionHeader& p, std::string& problem);

// --- raw data --------------------------------------------------------------------------------

template <typename T>
void toLittleEndian(std::vector<unsigned char>& bytes, std::span<const T> values) {
    bytes.resize(values.size() * sizeof(T));
    std::memcpy(bytes.data(), values.data(), bytes.size());
    if constexpr (std::endian::native == std::endian::big) {
        for (std::size_t i = 0; i < bytes.size(); i += sizeof(T)) {
            std::reverse(bytes.begin() + i, bytes.begin() + i + sizeof(T));
        }
    }
}

template <typename T>
void fromLittleEndian(std::span<T> values) {
    if constexpr (std::endian::native == std::endian::big) {
        auto* bytes = reinterpret_cast<unsigned char*>(values.data());
        for (std::size_t i = 0; i < values.size_bytes(); i += sizeof(T)) {
            std::reverse(bytes + i, bytes + i + sizeof(T));
        }
    }
}

/// Size of a regular file; nothing, with `problem` set, for a missing file or another kind.
std::optional<std::uintmax_t> regularFileSize(const std::filesystem::path& file,
                                              std::string& problem);
/// True when all `bytes` were read.
bool readBytes(std::ifstream& in, void* data, std::size_t bytes);
/// "c x r x s"
std::string geometryText(std::int64_t c, std::int64_t r, std::int64_t s);

}  // namespace ondrift::standin::header_text

#endif
