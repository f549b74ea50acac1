#include "cli/session/result_export.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <thread>

#include "cli/base/errors.h"
#include "cli/base/reporter.h"
#include "cli/session/scanner_position.h"
#include "host/workspace.h"

namespace ondrift::cli {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr const char* kShiftMapOnFunctionalGrid = "_pixshiftInEPIres.fmr";
constexpr const char* kShiftMap = "_pixshift.fmr";

struct Partial {
    double lo = std::numeric_limits<double>::infinity();
    double hi = -std::numeric_limits<double>::infinity();
    double sum = 0;
    std::size_t finite = 0;
};

Partial partialStatistics(std::span<const float> values) {
    Partial p;
    for (float v : values) {
        if (!std::isfinite(v)) continue;
        p.lo = std::min<double>(p.lo, v);
        p.hi = std::max<double>(p.hi, v);
        p.sum += v;
        ++p.finite;
    }
    return p;
}

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

json valueStatistics(std::span<const float> values) {
    // Fixed blocks summed in block order: the figures do not depend on the number of cores.
    constexpr std::size_t kBlock = std::size_t{1} << 20;
    const std::size_t blocks = (values.size() + kBlock - 1) / kBlock;
    std::vector<Partial> parts(blocks);
    const unsigned threads =
        std::clamp<unsigned>(std::thread::hardware_concurrency(), 1,
                             static_cast<unsigned>(std::max<std::size_t>(blocks, 1)));
    {
        std::vector<std::jthread> workers;
        for (unsigned t = 0; t < threads; ++t) {
            workers.emplace_back([&, t] {
                for (std::size_t b = t; b < blocks; b += threads) {
                    parts[b] = partialStatistics(
                        values.subspan(b * kBlock, std::min(kBlock, values.size() - b * kBlock)));
                }
            });
        }
    }
    Partial all;
    for (const Partial& p : parts) {
        all.lo = std::min(all.lo, p.lo);
        all.hi = std::max(all.hi, p.hi);
        all.sum += p.sum;
        all.finite += p.finite;
    }
    if (all.finite == 0) return {{"minimum", nullptr}, {"maximum", nullptr}, {"mean", nullptr}};
    return {{"minimum", all.lo},
            {"maximum", all.hi},
            {"mean", all.sum / static_cast<double>(all.finite)},
            {"nonFinite", values.size() - all.finite}};
}

int resultVolumes(const std::string& projectName, int documentVolumes) {
    // A shift map is one volume; saved through a functional series' document, the project
    // holds that series' other volumes behind it.
    if (endsWith(projectName, kShiftMapOnFunctionalGrid) || endsWith(projectName, kShiftMap)) {
        return std::min(documentVolumes, 1);
    }
    return documentVolumes;
}

ExportedResults exportSaves(const standin::Workspace& ws, const ExportSettings& settings,
                            Reporter& reporter) {
    std::map<std::string, const standin::SaveRecord*> saves;
    for (const auto& s : ws.saves()) {
        if (s.result > 0) saves[s.fmrPath.filename().string()] = &s;
    }
    ExportedResults results;
    for (const auto& [project, save] : saves) {
        if (save->dataType != kFmrFloat32) {
            throw ProcessingError("internal error: " + project + " was not saved as float data");
        }
        const std::size_t perVolume = static_cast<std::size_t>(save->columns) *
                                      static_cast<std::size_t>(save->rows) *
                                      static_cast<std::size_t>(save->slices);
        const int volumes = std::max(resultVolumes(project, save->volumes), 1);
        const std::span<const float> saved = ws.savedFloatValues(*save);
        if (saved.size() < perVolume * static_cast<std::size_t>(volumes)) {
            throw ProcessingError("internal error: the values saved as " + project +
                                  " are no longer available");
        }
        const auto values = saved.first(perVolume * static_cast<std::size_t>(volumes));
        NiftiGeometry geometry;
        for (const auto& [index, g] : settings.inputGeometry) {
            if (index == save->documentIndex) geometry = g;
        }
        if (!geometry.valid() || geometry.nx() != save->columns || geometry.ny() != save->rows ||
            geometry.nz() != save->slices) {
            geometry = makeGeometry({save->columns, save->rows, save->slices, 1},
                                    affineFromPosition(save->position, save->slices));
        }
        const std::string niftiName = fs::path(project).stem().string() + settings.extension;
        reporter.detail("Writing " + niftiName);
        writeNifti((settings.folder / niftiName).string(), geometry, volumes, values, &reporter);
        json entry = {{"project", project},
                      {"nifti", niftiName},
                      {"dimensions", {save->columns, save->rows, save->slices}},
                      {"volumes", volumes},
                      {"statistics", valueStatistics(values)}};
        if (settings.projectsKept) entry["stc"] = save->stcPath.filename().string();
        results.outputs.push_back(std::move(entry));
        results.niftiNames.push_back(niftiName);
    }
    return results;
}

}  // namespace ondrift::cli
