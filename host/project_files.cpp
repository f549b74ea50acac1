#include "host/project_files.h"

#include <charconv>
#include <cstring>
#include <fstream>
#include <set>
#include <system_error>
#include <vector>

#include "host/atomic_file.h"
#include "host/header_text.h"

namespace ondrift::standin {

namespace fs = std::filesystem;
using namespace header_text;

namespace {

constexpr const char* kFmrMagic = "ONDRIFT-FMR 1";

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
        return fail(fmrFile,
                    "too large for a project header (" + std::to_string(*size) + " bytes)");
    }
    std::ifstream in(fmrFile, std::ios::binary);
    std::string text(static_cast<std::size_t>(*size), '\0');
    if (!in || !readBytes(in, text.data(), text.size())) return fail(fmrFile, "cannot be read");

    HeaderFields h;
    const auto known = knownKeys({"DataType", "Columns", "Rows", "Slices", "Volumes", "VoxelSizeX",
                                  "VoxelSizeY", "VoxelSizeZ", "STCFile", "LinkedAMRFile"});
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
    const fs::path stcFile =
        fs::path(stcName).is_absolute() ? fs::path(stcName) : fmrFile.parent_path() / stcName;
    const auto stcSize = regularFileSize(stcFile, problem);
    if (!stcSize) return fail(stcFile, problem + " (STC data of " + fmrFile.string() + ")");
    const std::uintmax_t element = type == kFmrInt16 ? 2 : 4;
    const auto expected = static_cast<std::uintmax_t>(c * r * s * v) * element;
    if (*stcSize != expected) {
        return fail(stcFile, "holds " + std::to_string(*stcSize) + " bytes, " + fmrFile.string() +
                                 " needs " + std::to_string(expected) + " (" +
                                 geometryText(c, r, s) + ", " + std::to_string(v) + " volumes of " +
                                 (type == kFmrInt16 ? "16-bit" : "32-bit float") + " values)");
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
        error = fmrFile.string() + ": the document's data type " + std::to_string(doc.dataType()) +
                " cannot be written";
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
    if (!fmr.finish(error) || !stc.commit(error)) return false;
    const bool placed = fmr.commit(error);
    if (placed || fmr.committed()) return placed;
    // Data without its project file is half a project: take it away again.
    std::error_code ignored;
    fs::remove(stcFile, ignored);
    return false;
}

OpenResult openFmrProject(Workspace& ws, const fs::path& fmrFile) {
    OpenResult result;
    auto doc = readFmrProject(fmrFile, result.error);
    if (doc) result.index = ws.addFmr(std::move(doc));
    return result;
}

}  // namespace ondrift::standin
