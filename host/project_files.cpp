#include "host/project_files.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <system_error>
#include <vector>

#include "host/atomic_file.h"

namespace ondrift::standin {

namespace fs = std::filesystem;

namespace {

constexpr const char* kFmrMagic = "ONDRIFT-FMR 1";
constexpr const char* kVmrMagic = "ONDRIFT-VMR 1";
constexpr const char* kVoxelsLine = "Voxels:";
// A header is a few hundred bytes; anything far larger is not one of ours.
constexpr std::uintmax_t kMaxHeaderBytes = 64 * 1024;
constexpr std::int64_t kMaxValues = std::numeric_limits<std::int32_t>::max();

// --- the position record as named fields -----------------------------------------------------

struct PositionField {
    const char* name;
    std::size_t offset;
    bool isInt;
};

#define ONDRIFT_POS_FIELD(f, i) PositionField{#f, offsetof(ScannerPositionHeader, f), i}
constexpr std::array<PositionField, 20> kPositionFields{
    ONDRIFT_POS_FIELD(PosInfosVerified, true), ONDRIFT_POS_FIELD(CoordinateSystem, true),
    ONDRIFT_POS_FIELD(Slice1CenterX, false),   ONDRIFT_POS_FIELD(Slice1CenterY, false),
    ONDRIFT_POS_FIELD(Slice1CenterZ, false),   ONDRIFT_POS_FIELD(SliceNCenterX, false),
    ONDRIFT_POS_FIELD(SliceNCenterY, false),   ONDRIFT_POS_FIELD(SliceNCenterZ, false),
    ONDRIFT_POS_FIELD(RowDirX, false),         ONDRIFT_POS_FIELD(RowDirY, false),
    ONDRIFT_POS_FIELD(RowDirZ, false),         ONDRIFT_POS_FIELD(ColDirX, false),
    ONDRIFT_POS_FIELD(ColDirY, false),         ONDRIFT_POS_FIELD(ColDirZ, false),
    ONDRIFT_POS_FIELD(NRows, true),            ONDRIFT_POS_FIELD(NCols, true),
    ONDRIFT_POS_FIELD(FoVRows, false),         ONDRIFT_POS_FIELD(FoVCols, false),
    ONDRIFT_POS_FIELD(SliceThickness, false),  ONDRIFT_POS_FIELD(GapThickness, false)};
#undef ONDRIFT_POS_FIELD

// --- number texts ----------------------------------------------------------------------------

std::string formatFloat(float v) {
    // Shortest text that reads back as the same float.
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

// --- header text -----------------------------------------------------------------------------

/// The "Key: value" lines of a header, checked against the keys the format knows.
class HeaderFields {
public:
    /// False with `problem` set for a bad first line, a malformed line, a duplicate or an
    /// unknown key.
    bool parse(const std::string& text, const char* magic, const std::set<std::string>& known,
               std::string& problem) {
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

/// Position fields are optional (0 when absent).
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

/// Size of a regular file, or an error text.
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

}  // namespace

// --- FMR -------------------------------------------------------------------------------------

std::unique_ptr<FmrDocument> readFmrProject(const fs::path& fmrFile, std::string& error) {
    auto fail = [&](const fs::path& file, const std::string& problem) {
        error = file.string() + ": " + problem;
        return nullptr;
    };
    std::string problem;
    const auto size = regularFileSize(fmrFile, problem);
    if (!size) return fail(fmrFile, problem);
    if (*size > kMaxHeaderBytes) {
        return fail(fmrFile, "too large for a project header (" + std::to_string(*size) + " bytes)");
    }
    std::ifstream in(fmrFile, std::ios::binary);
    std::string text(static_cast<std::size_t>(*size), '\0');
    if (!in || !readBytes(in, text.data(), text.size())) return fail(fmrFile, "cannot be read");

    HeaderFields h;
    const auto known = knownKeys({"DataType", "Columns", "Rows", "Slices", "Volumes",
                                  "VoxelSizeX", "VoxelSizeY", "VoxelSizeZ", "STCFile",
                                  "LinkedAMRFile"});
    if (!h.parse(text, kFmrMagic, known, problem)) return fail(fmrFile, problem);

    std::int64_t type = 0, c = 0, r = 0, s = 0, v = 0;
    if (!h.has("DataType")) return fail(fmrFile, "missing field 'DataType'");
    const auto parsedType = parseInteger(h.text("DataType"));
    if (!parsedType || (*parsedType != kFmrInt16 && *parsedType != kFmrFloat32)) {
        return fail(fmrFile, "unknown data type '" + h.text("DataType") +
                                 "' (1 = 16-bit integers, 2 = 32-bit floats)");
    }
    type = *parsedType;
    if (!h.integer("Columns", 1, kMaxValues, c, problem) ||
        !h.integer("Rows", 1, kMaxValues, r, problem) ||
        !h.integer("Slices", 1, kMaxValues, s, problem) ||
        !h.integer("Volumes", 1, kMaxValues, v, problem)) {
        return fail(fmrFile, problem);
    }
    // Each factor is at most 2^31, so every partial product is checked before it can overflow.
    if (c * r > kMaxValues || c * r * s > kMaxValues || c * r * s * v > kMaxValues) {
        return fail(fmrFile, geometryText(c, r, s) + " voxels, " + std::to_string(v) +
                                 " volumes: more than 2147483647 values");
    }
    FMRHeader header{};
    header.columns = static_cast<std::int32_t>(c);
    header.rows = static_cast<std::int32_t>(r);
    header.slices = static_cast<std::int32_t>(s);
    header.nrOfVolumes = static_cast<std::int32_t>(v);
    header.dataType = static_cast<std::int32_t>(type);
    if (!h.real("VoxelSizeX", header.voxelSizeX, problem, true) ||
        !h.real("VoxelSizeY", header.voxelSizeY, problem, true) ||
        !h.real("VoxelSizeZ", header.voxelSizeZ, problem, true)) {
        return fail(fmrFile, problem);
    }
    ScannerPositionHeader position{};
    if (!readPosition(h, position, problem)) return fail(fmrFile, problem);
    const std::string amr = h.text("LinkedAMRFile");
    if (amr.size() >= sizeof header.amrFileName) {
        return fail(fmrFile, "LinkedAMRFile is longer than 262 characters");
    }
    copyName(header.amrFileName, sizeof header.amrFileName, amr);
    copyName(header.projectFileName, sizeof header.projectFileName, fmrFile.string());

    const std::string stcName = h.text("STCFile");
    if (stcName.empty()) return fail(fmrFile, "missing field 'STCFile'");
    const fs::path stcFile = fs::path(stcName).is_absolute() ? fs::path(stcName)
                                                             : fmrFile.parent_path() / stcName;
    const auto stcSize = regularFileSize(stcFile, problem);
    if (!stcSize) return fail(stcFile, problem + " (STC data of " + fmrFile.string() + ")");
    const std::uintmax_t element = type == kFmrInt16 ? 2 : 4;
    const auto expected = static_cast<std::uintmax_t>(c * r * s * v) * element;
    if (*stcSize != expected) {
        return fail(stcFile, "holds " + std::to_string(*stcSize) + " bytes, " + fmrFile.string() +
                                 " needs " + std::to_string(expected) + " (" +
                                 geometryText(c, r, s) + ", " + std::to_string(v) +
                                 " volumes of " + (type == kFmrInt16 ? "16-bit" : "32-bit float") +
                                 " values)");
    }

    // Only now, with the size backed by the file, is the memory allocated.
    std::unique_ptr<FmrDocument> doc;
    try {
        doc = std::make_unique<FmrDocument>(header, position);
    } catch (const std::exception& e) {
        return fail(fmrFile, e.what());
    }
    std::ifstream stc(stcFile, std::ios::binary);
    if (!stc) return fail(stcFile, "cannot be opened");
    for (int vol = 0; vol < doc->volumes(); ++vol) {
        bool ok = false;
        if (type == kFmrInt16) {
            auto values = doc->intVolume(vol);
            ok = readBytes(stc, values.data(), values.size_bytes());
            fromLittleEndian(values);
        } else {
            auto values = doc->floatVolume(vol);
            ok = readBytes(stc, values.data(), values.size_bytes());
            fromLittleEndian(values);
        }
        if (!ok) return fail(stcFile, "ends inside volume " + std::to_string(vol + 1));
    }
    std::error_code ec;
    doc->sourceFile = fs::absolute(fmrFile, ec);
    doc->sourceStcFile = fs::absolute(stcFile, ec);
    return doc;
}

bool writeFmrProject(const FmrDocument& doc, const fs::path& fmrFile, const fs::path& stcFile,
                     std::string& error) {
    if (!doc.hasData()) {
        error = fmrFile.string() + ": the document's data type " +
                std::to_string(doc.dataType()) + " cannot be written";
        return false;
    }
    if (doc.volumes() < 1) {
        error = fmrFile.string() + ": the document holds no volumes";
        return false;
    }
    const std::string stcName = stcFile.filename().string();
    const std::string amr = fieldText(doc.header.amrFileName, sizeof doc.header.amrFileName);
    if (stcName.empty() || !isOneLine(stcName) || !isOneLine(amr)) {
        error = fmrFile.string() + ": a file name holds a line break or is empty";
        return false;
    }
    std::string text = std::string(kFmrMagic) + "\n";
    appendLine(text, "DataType", std::to_string(doc.dataType()));
    appendLine(text, "Columns", std::to_string(doc.columns()));
    appendLine(text, "Rows", std::to_string(doc.rows()));
    appendLine(text, "Slices", std::to_string(doc.slices()));
    appendLine(text, "Volumes", std::to_string(doc.volumes()));
    appendLine(text, "VoxelSizeX", formatFloat(doc.header.voxelSizeX));
    appendLine(text, "VoxelSizeY", formatFloat(doc.header.voxelSizeY));
    appendLine(text, "VoxelSizeZ", formatFloat(doc.header.voxelSizeZ));
    appendLine(text, "STCFile", stcName);
    appendLine(text, "LinkedAMRFile", amr);
    appendPosition(text, doc.position);

    AtomicFile stc(stcFile);
    AtomicFile fmr(fmrFile);
    if (!stc.open(error)) return false;
    std::vector<unsigned char> bytes;
    for (int v = 0; v < doc.volumes(); ++v) {
        if (doc.dataType() == kFmrInt16) {
            toLittleEndian(bytes, doc.intVolume(v));
        } else {
            toLittleEndian(bytes, doc.floatVolume(v));
        }
        stc.write(bytes.data(), bytes.size());
    }
    if (!stc.finish(error) || !fmr.open(error)) return false;
    fmr.write(text);
    // The STC file goes into place first: a project file never names data that is not there.
    return fmr.finish(error) && stc.commit(error) && fmr.commit(error);
}

OpenResult openFmrProject(Workspace& ws, const fs::path& fmrFile) {
    OpenResult result;
    auto doc = readFmrProject(fmrFile, result.error);
    if (doc) result.index = ws.addFmr(std::move(doc));
    return result;
}

// --- VMR -------------------------------------------------------------------------------------

std::unique_ptr<VmrDocument> readVmrProject(const fs::path& vmrFile, std::string& error) {
    auto fail = [&](const std::string& problem) {
        error = vmrFile.string() + ": " + problem;
        return nullptr;
    };
    std::string problem;
    const auto size = regularFileSize(vmrFile, problem);
    if (!size) return fail(problem);
    std::ifstream in(vmrFile, std::ios::binary);
    if (!in) return fail("cannot be opened");
    // The header ends with the line "Voxels:"; only a bounded prefix is searched for it.
    std::string prefix(static_cast<std::size_t>(std::min(*size, kMaxHeaderBytes)), '\0');
    if (!readBytes(in, prefix.data(), prefix.size())) return fail("cannot be read");
    const std::string marker = std::string("\n") + kVoxelsLine + "\n";
    const auto at = prefix.find(marker);
    if (at == std::string::npos) {
        return fail("no line 'Voxels:' ends the header within its first " +
                    std::to_string(kMaxHeaderBytes) + " bytes");
    }
    const std::uintmax_t dataOffset = at + marker.size();

    HeaderFields h;
    const auto known = knownKeys({"DimX", "DimY", "DimZ", "VoxelSizeX", "VoxelSizeY",
                                  "VoxelSizeZ", "PastTransformations"});
    std::set<std::string> withMatrices = known;
    for (int k = 1; k <= kMaxPastTransformations; ++k) {
        withMatrices.insert("Transformation" + std::to_string(k));
    }
    if (!h.parse(prefix.substr(0, at + 1), kVmrMagic, withMatrices, problem)) return fail(problem);

    std::int64_t x = 0, y = 0, z = 0, n = 0;
    if (!h.integer("DimX", 1, kMaxValues, x, problem) ||
        !h.integer("DimY", 1, kMaxValues, y, problem) ||
        !h.integer("DimZ", 1, kMaxValues, z, problem) ||
        !h.integer("PastTransformations", 0, kMaxPastTransformations, n, problem, false)) {
        return fail(problem);
    }
    if (x * y > kMaxValues || x * y * z > kMaxValues) {
        return fail(geometryText(x, y, z) + " voxels: more than 2147483647");
    }
    const auto expected = static_cast<std::uintmax_t>(x * y * z);
    if (*size - dataOffset != expected) {
        return fail("holds " + std::to_string(*size - dataOffset) + " voxel bytes, " +
                    geometryText(x, y, z) + " needs " + std::to_string(expected));
    }
    VMRMainHeader header{};
    header.dimX = static_cast<std::int32_t>(x);
    header.dimY = static_cast<std::int32_t>(y);
    header.dimZ = static_cast<std::int32_t>(z);
    if (!h.real("VoxelSizeX", header.voxelSizeX, problem, true) ||
        !h.real("VoxelSizeY", header.voxelSizeY, problem, true) ||
        !h.real("VoxelSizeZ", header.voxelSizeZ, problem, true)) {
        return fail(problem);
    }
    copyName(header.fileName, sizeof header.fileName, vmrFile.string());
    ScannerPositionHeader position{};
    if (!readPosition(h, position, problem)) return fail(problem);
    std::vector<Matrix4> matrices;
    for (int k = 1; k <= kMaxPastTransformations; ++k) {
        const std::string key = "Transformation" + std::to_string(k);
        if (k > n) {
            if (h.has(key)) return fail(key + " beyond PastTransformations " + std::to_string(n));
            continue;
        }
        if (!h.has(key)) return fail("missing field '" + key + "'");
        Matrix4 m{};
        const std::string text = h.text(key);
        const char* p = text.data();
        const char* end = p + text.size();
        for (std::size_t e = 0; e < m.size(); ++e) {
            while (p < end && *p == ' ') ++p;
            const auto r = std::from_chars(p, end, m[e]);
            if (r.ec != std::errc()) return fail(key + " does not hold 16 numbers");
            p = r.ptr;
        }
        while (p < end && *p == ' ') ++p;
        if (p != end) return fail(key + " holds more than 16 numbers");
        matrices.push_back(m);
    }

    std::unique_ptr<VmrDocument> doc;
    try {
        doc = std::make_unique<VmrDocument>(header);
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    doc->position = position;
    makePastTransformations(matrices, doc->pastTransformations);
    in.clear();
    in.seekg(static_cast<std::streamoff>(dataOffset));
    if (!in || !readBytes(in, doc->voxels().data(), doc->voxels().size())) {
        return fail("voxel data cannot be read");
    }
    std::error_code ec;
    doc->sourceFile = fs::absolute(vmrFile, ec);
    return doc;
}

bool writeVmrProject(const VmrDocument& doc, const fs::path& vmrFile, std::string& error) {
    std::string text = std::string(kVmrMagic) + "\n";
    appendLine(text, "DimX", std::to_string(doc.dimX()));
    appendLine(text, "DimY", std::to_string(doc.dimY()));
    appendLine(text, "DimZ", std::to_string(doc.dimZ()));
    appendLine(text, "VoxelSizeX", formatFloat(doc.header.voxelSizeX));
    appendLine(text, "VoxelSizeY", formatFloat(doc.header.voxelSizeY));
    appendLine(text, "VoxelSizeZ", formatFloat(doc.header.voxelSizeZ));
    appendPosition(text, doc.position);
    const auto matrices = pastTransformations(doc.pastTransformations);
    appendLine(text, "PastTransformations", std::to_string(matrices.size()));
    for (std::size_t k = 0; k < matrices.size(); ++k) {
        std::string row;
        for (float e : matrices[k]) row += (row.empty() ? "" : " ") + formatFloat(e);
        appendLine(text, "Transformation" + std::to_string(k + 1), row);
    }
    text += kVoxelsLine;
    text += '\n';
    AtomicFile out(vmrFile);
    if (!out.open(error)) return false;
    out.write(text);
    out.write(doc.voxels().data(), doc.voxels().size());
    return out.finish(error) && out.commit(error);
}

OpenResult openVmrProject(Workspace& ws, const fs::path& vmrFile) {
    OpenResult result;
    auto doc = readVmrProject(vmrFile, result.error);
    if (doc) result.index = ws.addVmr(std::move(doc));
    return result;
}

}  // namespace ondrift::standin
