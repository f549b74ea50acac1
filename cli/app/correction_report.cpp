#include "cli/app/correction_report.h"

#include <array>
#include <optional>
#include <span>

#include "cli/base/output_folder.h"
#include "cli/bids/bids_sidecar.h"
#include "cli/report/shift_figures.h"
#include "cli/report/svg_plots.h"
#include "host/standin.h"
#include "host/workspace.h"

namespace ondrift::cli {

namespace {

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The values of the last project saved under a name ending in `suffix` (before ".fmr") on a
// grid of `dims`, as the host keeps them after the run (in the document or a copy); empty when
// there is none.
std::span<const float> savedValues(const std::string& suffix, const std::array<int, 3>& dims) {
    const auto& ws = standin::workspace();
    const auto& saves = ws.saves();
    for (auto it = saves.rbegin(); it != saves.rend(); ++it) {
        if (it->result <= 0 || !endsWith(it->fmrPath.stem().string(), suffix)) continue;
        if (it->columns != dims[0] || it->rows != dims[1] || it->slices != dims[2] ||
            it->dataType != kFmrFloat32) {
            return {};
        }
        return ws.savedFloatValues(*it);
    }
    return {};
}

std::optional<std::vector<float>> savedVolume(const std::string& suffix,
                                              const std::array<int, 3>& dims) {
    const std::span<const float> values = savedValues(suffix, dims);
    const std::size_t n = static_cast<std::size_t>(dims[0]) * static_cast<std::size_t>(dims[1]) *
                          static_cast<std::size_t>(dims[2]);
    if (n == 0 || values.size() < n) return std::nullopt;
    return std::vector<float>(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(n));
}

Volume withValues(const Volume& grid, std::vector<float> values) {
    Volume v = grid;
    v.values = std::move(values);
    return v;
}

}  // namespace

ShiftMaps savedShiftMaps(const ReportSources& s) {
    ShiftMaps maps;
    const Volume& field = s.startImage;  // the field map's grid
    const Volume& epi = s.meanBefore;
    // The shift map the series was corrected with: carried over by the mapping branch, or
    // computed on the functional grid (resampled field map, or shared grid).
    std::optional<std::vector<float>> onEpi = savedVolume("_pixshiftInEPIres", epi.dims);
    if (!onEpi && (s.resample || (!s.mapping && field.dims == epi.dims))) {
        onEpi = savedVolume("_pixshift", epi.dims);
    }
    if (!onEpi && s.startIsShift && !s.mapping && !s.resample && field.dims == epi.dims) {
        onEpi = field.values;
    }
    // The field map in Hz on its own grid when the shifts were computed there, else on the
    // functional grid.
    std::optional<std::vector<float>> onField;
    if (!s.resample) {
        onField = savedVolume("_pixshift", field.dims);
        if (!onField && s.startIsShift && !field.empty()) onField = field.values;
    }
    if (onField) {
        maps.fieldHz = withValues(field, *onField);
    } else if (onEpi) {
        maps.fieldHz = withValues(epi, *onEpi);
    }
    for (float& v : maps.fieldHz.values) v = static_cast<float>(v * s.bandwidthPE);
    if (onEpi) maps.onEpi = withValues(epi, std::move(*onEpi));
    return maps;
}

Volume savedMean(const std::string& projectName, const Volume& grid) {
    const std::string stem = std::filesystem::path(projectName).stem().string();
    const std::span<const float> values = savedValues(stem, grid.dims);
    if (values.empty()) return {};
    Volume mean = grid;
    mean.values = meanOfVolumes(values, grid.voxels());
    if (mean.values.empty()) return {};
    return mean;
}

Volume magnitudeOnEpi(const ReportSources& s) {
    if (s.magnitude.empty() || s.meanBefore.dims[0] == 0) return {};
    if (!s.mapping && !s.resample && s.magnitude.dims == s.meanBefore.dims) {
        return withValues(s.meanBefore, s.magnitude.values);
    }
    return resampleTo(s.magnitude, s.meanBefore);
}

PolarityCheck polarityOf(const ReportSources& s, const ShiftMaps& maps, const Volume& magnitude,
                         int code) {
    if (magnitude.empty()) {
        PolarityCheck c;
        c.used = code;
        c.reason = "there is no magnitude image to compare with";
        return c;
    }
    if (maps.onEpi.empty()) {
        PolarityCheck c;
        c.used = code;
        c.reason = "no pixel shift map on the functional grid was saved";
        return c;
    }
    return checkPolarity(s.meanBefore, maps.onEpi, magnitude, code);
}

std::string polarityWarning(const PolarityCheck& c, bool autoSign) {
    if (c.verdict != PolarityCheck::Verdict::OppositeBetter) return {};
    const std::string opposite = bidsDirection(oppositeDirection(c.used));
    std::string text = "POLARITY CHECK: the opposite phase-encoding sign (" + opposite +
                       ") matches the magnitude image clearly better than the one used (" +
                       bidsDirection(c.used) + "): score " + fixed(c.oppositeScore, 3) +
                       " against " + fixed(c.usedScore, 3) + ". ";
    text += autoSign ? "--pe-dir auto uses " + opposite + "."
                     : "The sign in the metadata is probably wrong; check "
                       "PhaseEncodingDirection, or run with --pe-dir " +
                           opposite + " (or --pe-dir auto).";
    return text;
}

ReportContent reportContent(const std::string& boldStem, const ReportSources& sources,
                            const ShiftMaps& maps, Volume magnitude, Volume meanAfter,
                            const PolarityCheck& check, int code) {
    ReportContent content;
    content.title = boldStem;
    content.polarity = check;
    ReportImages& im = content.images;
    // The field map is drawn over the magnitude on its own grid.
    im.magnitude = maps.fieldHz.sameGrid(sources.magnitude) || !maps.fieldHz.sameGrid(magnitude)
                       ? sources.magnitude
                       : magnitude;
    im.fieldHz = maps.fieldHz;
    im.meanBefore = sources.meanBefore;
    im.meanAfter = std::move(meanAfter);
    im.shift = maps.onEpi;
    im.magnitudeOnEpi = std::move(magnitude);
    im.direction = code;
    im.prepare();
    content.shifts = shiftFigures(im.shift, im.head, code);
    return content;
}

std::filesystem::path writeReport(const std::filesystem::path& folder,
                                  const ReportContent& content) {
    const std::filesystem::path path = folder / reportFileName(content.title);
    writeFileAtomically(path, renderReport(content));
    return path;
}

}  // namespace ondrift::cli
