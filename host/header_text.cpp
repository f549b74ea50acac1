#include "host/header_text.h"

#include <array>
#include <charconv>
#include <cstddef>
#include <system_error>

namespace ondrift::standin::header_text {

namespace fs = std::filesystem;

namespace {

// --- the position record as named fields -----------------------------------------------------

struct PositionField {
    const char* name;
    std::size_t offset;
    bool isInt;
};

#define ONDRIFT_POS_FIELD(f, i) \
    PositionField { #f, offsetof(ScannerPositionHeader, f), i }
constexpr std::array<PositionField, 20> kPositionFields{ONDRIFT_POS_FIELD(PosInfosVerified, true),
                                                        ONDRIFT_POS_FIELD(CoordinateSystem, true),
                                                        ONDRIFT_POS_FIELD(Slice1CenterX, false),
                                                        ONDRIFT_POS_FIELD(Slice1CenterY, false),
                                                        ONDRIFT_POS_FIELD(Slice1CenterZ, false),
                                                        ONDRIFT_POS_FIELD(SliceNCenterX, false),
                                                        ONDRIFT_POS_FIELD(SliceNCenterY, false),
                                                        ONDRIFT_POS_FIELD(SliceNCenterZ, false),
                                                        ONDRIFT_POS_FIELD(RowDirX, false),
                                                        ONDRIFT_POS_FIELD(RowDirY, false),
                                                        ONDRIFT_POS_FIELD(RowDirZ, false),
                                                        ONDRIFT_POS_FIELD(ColDirX, false),
                                                        ONDRIFT_POS_FIELD(ColDirY, false),
                                                        ONDRIFT_POS_FIELD(ColDirZ, false),
                                                        ONDRIFT_POS_FIELD(NRows, true),
                                                        ONDRIFT_POS_FIELD(NCols, true),
                                                        ONDRIFT_POS_FIELD(FoVRows, false),
                                                        ONDRIFT_POS_FIELD(FoVCols, false),
                                                        ONDRIFT_POS_FIELD(SliceThickness, false),
                                                        ONDRIFT_POS_FIELD(GapThickness, false)};
#undef ONDRIFT_POS_FIELD

}  // namespace

std::string formatFloat(float v) {
    std::array<char, 64> buf{};
    const auto r = std::to_chars(buf.data(), buf.data() + buf.size(), v);
    return std::string(buf.data(), r.ptr);
}

std::optional<std::int64_t> parseInteger(const std::string& text) {
    std::int64_t v = 0;
    const char* end = text.data() + text.size();
    const auto r = std::from_chars(text.data(), end, v);
    if (r.ec != std::errc() || r.ptr != end || text.empty()) return std::nullopt;
    return v;
}

std::optional<float> parseFloat(const std::string& text) {
    float v = 0.0f;
    const char* end = text.data() + text.size();
    const auto r = std::from_chars(text.data(), end, v);
    if (r.ec != std::errc() || r.ptr != end || text.empty()) return std::nullopt;
    return v;
}

std::string trim(const std::string& s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    const auto last = s.find_last_not_of(" \t\r");
    return s.substr(first, last - first + 1);
}

bool isOneLine(const std::string& s) { return s.find_first_of("\r\n") == std::string::npos; }

bool HeaderFields::parse(const std::string& text, const char* magic,
                         const std::set<std::string>& known, std::string& problem) {
    std::size_t pos = 0;
    int lineNumber = 0;
    bool sawMagic = false;
    while (pos < text.size()) {
        std::size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        const std::string line = trim(text.substr(pos, nl - pos));
        pos = nl + 1;
        ++lineNumber;
        if (line.empty() || line[0] == '#') continue;
        if (!sawMagic) {
            if (line != magic) {
                problem = std::string("not a project file of this kind (the first line must be '") +
                          magic + "')";
                return false;
            }
            sawMagic = true;
            continue;
        }
        const auto colon = line.find(':');
        if (colon == std::string::npos) {
            problem = "line " + std::to_string(lineNumber) + " is not 'Key: value'";
            return false;
        }
        const std::string key = trim(line.substr(0, colon));
        if (known.count(key) == 0) {
            problem = "unknown field '" + key + "' on line " + std::to_string(lineNumber);
            return false;
        }
        if (!values_.emplace(key, trim(line.substr(colon + 1))).second) {
            problem = "field '" + key + "' appears twice";
            return false;
        }
    }
    if (!sawMagic) {
        problem = "empty file (expected '" + std::string(magic) + "')";
        return false;
    }
    return true;
}

std::set<std::string> knownKeys(std::initializer_list<const char*> keys) {
    std::set<std::string> known(keys.begin(), keys.end());
    for (const auto& f : kPositionFields) known.insert(f.name);
    return known;
}

void appendLine(std::string& out, const std::string& key, const std::string& value) {
    out += key;
    out += ": ";
    out += value;
    out += '\n';
}

void appendPosition(std::string& out, const ScannerPositionHeader& p) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&p);
    for (const auto& f : kPositionFields) {
        if (f.isInt) {
            std::int32_t v = 0;
            std::memcpy(&v, bytes + f.offset, sizeof v);
            appendLine(out, f.name, std::to_string(v));
        } else {
            float v = 0.0f;
            std::memcpy(&v, bytes + f.offset, sizeof v);
            appendLine(out, f.name, formatFloat(v));
        }
    }
}

bool readPosition(const HeaderFields& h, ScannerPositionHeader& p, std::string& problem) {
    p = ScannerPositionHeader{};
    auto* bytes = reinterpret_cast<unsigned char*>(&p);
    for (const auto& f : kPositionFields) {
        if (f.isInt) {
            std::int64_t v = 0;
            if (!h.integer(f.name, std::numeric_limits<std::int32_t>::min(),
                           std::numeric_limits<std::int32_t>::max(), v, problem, false)) {
                return false;
            }
            const auto v32 = static_cast<std::int32_t>(v);
            std::memcpy(bytes + f.offset, &v32, sizeof v32);
        } else {
            float v = 0.0f;
            if (!h.real(f.name, v, problem, false)) return false;
            std::memcpy(bytes + f.offset, &v, sizeof v);
        }
    }
    return true;
}

std::optional<std::uintmax_t> regularFileSize(const fs::path& file, std::string& problem) {
    std::error_code ec;
    const auto status = fs::status(file, ec);
    if (ec || !fs::exists(status)) {
        problem = "no such file";
        return std::nullopt;
    }
    if (!fs::is_regular_file(status)) {
        problem = "not a regular file";
        return std::nullopt;
    }
    const auto size = fs::file_size(file, ec);
    if (ec) {
        problem = "cannot read its size: " + ec.message();
        return std::nullopt;
    }
    return size;
}

bool readBytes(std::ifstream& in, void* data, std::size_t bytes) {
    in.read(static_cast<char*>(data), static_cast<std::streamsize>(bytes));
    return static_cast<std::size_t>(in.gcount()) == bytes;
}

std::string geometryText(std::int64_t c, std::int64_t r, std::int64_t s) {
    return std::to_string(c) + " x " + std::to_string(r) + " x " + std::to_string(s);
}

}  // namespace ondrift::standin::header_text
