// VMR project files: one file, a text header ended by "Voxels:" and the raw voxel bytes.
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

constexpr const char* kVmrMagic = "ONDRIFT-VMR 1";
constexpr const char* kVoxelsLine = "Voxels:";

}  // namespace

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
    const auto known = knownKeys(
        {"DimX", "DimY", "DimZ", "VoxelSizeX", "VoxelSizeY", "VoxelSizeZ", "PastTransformations"});
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
