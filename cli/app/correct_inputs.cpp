#include "cli/app/correct_inputs.h"

#include <cmath>
#include <cstdio>
#include <filesystem>

#include "binding/host_parameters.h"
#include "cli/base/errors.h"
#include "cli/base/reporter.h"
#include "cli/session/document_import.h"

namespace ondrift::cli {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// The plug-in masks the unwrapped phase where the magnitude is at most kMagnitudeThreshold (a
// fixed threshold in scanner units). A magnitude whose bright tissue lies below this would lose
// its whole field map, so `--magnitude-scale auto` brings the 98th percentile well above it.
constexpr float kAutoScaleBelow = 2.0f * static_cast<float>(kMagnitudeThreshold);
constexpr float kAutoScaleTarget = 1000.0f;

}  // namespace

std::string absolutePath(const std::string& p) {
    return p.empty() ? p : fs::absolute(p).lexically_normal().string();
}

std::string gridText(const NiftiGeometry& g) {
    char text[160];
    std::snprintf(text, sizeof text, "%dx%dx%d voxels of %.3gx%.3gx%.3g mm", g.nx(), g.ny(), g.nz(),
                  g.voxelSize()[0], g.voxelSize()[1], g.voxelSize()[2]);
    return text;
}

Input readInput(const std::string& role, const std::string& path, bool nanToZero,
                Reporter& reporter, const std::optional<Sidecar>& given) {
    const double start = reporter.elapsed();
    reporter.step("Reading " + role + " " + path);
    Input in;
    in.role = role;
    in.image = readNifti(path, ReadOptions{nanToZero}, &reporter);
    in.sidecar = given ? given : readSidecarFor(path);
    if (in.sidecar) reporter.detail("  sidecar " + in.sidecar->path);
    in.seconds = reporter.elapsed() - start;
    return in;
}

float magnitudeScale(const std::string& option, const Input& magnitude, Reporter& reporter) {
    if (option == "none") return 1.0f;
    if (option != "auto") {
        std::size_t used = 0;
        float f = 0;
        try {
            f = std::stof(option, &used);
        } catch (const std::exception&) {
            used = 0;
        }
        if (used != option.size() || !std::isfinite(f) || !(f > 0)) {
            throw InputError("--magnitude-scale must be auto, none or a positive factor");
        }
        return f;
    }
    const float p98 = percentile(magnitude.image, 0.98);
    if (p98 >= kAutoScaleBelow || !(p98 > 0)) return 1.0f;
    const float f = kAutoScaleTarget / p98;
    reporter.warning(magnitude.image.path +
                     ": magnitude values are low for the plug-in's mask threshold of " +
                     std::to_string(static_cast<int>(kMagnitudeThreshold)) + "; scaled by " +
                     std::to_string(f) + " (--magnitude-scale none keeps them)");
    return f;
}

std::string documentName(const std::string& stem, const std::string& extension,
                         std::map<std::string, int>& used) {
    const int n = used[stem]++;
    return (n == 0 ? stem : stem + "_" + std::to_string(n + 1)) + extension;
}

json inputJson(const Input& in) {
    const NiftiGeometry& g = in.image.geometry;
    json j = {{"path", in.image.path},
              {"dimensions", {g.nx(), g.ny(), g.nz()}},
              {"volumes", g.nt()},
              {"voxelSize", {g.voxelSize()[0], g.voxelSize()[1], g.voxelSize()[2]}},
              {"dataType", in.image.dataTypeName},
              {"qformCode", g.qformCode()},
              {"sformCode", g.sformCode()},
              {"nonFiniteReplaced", in.image.nonFinite},
              {"document", in.document},
              {"readSeconds", in.seconds}};
    j["sidecar"] = in.sidecar ? json(in.sidecar->path) : json(nullptr);
    return j;
}

}  // namespace ondrift::cli
