#include "cli/app/pair_fieldmap.h"

#include <array>
#include <cmath>
#include <utility>

#include "cli/base/errors.h"
#include "cli/base/output_folder.h"
#include "cli/base/reporter.h"
#include "cli/pairs/volume_average.h"

namespace ondrift::cli {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

struct Side {
    NiftiImage image;
    Sidecar sidecar;
    int direction = 0;        ///< 1…6
    double voxelsPerHz = 0;   ///< 1 / bandwidth per pixel along the direction
    std::string readoutFrom;  ///< which sidecar field gave it
    pairs::VolumeAverage average;
};

Side readSide(const PairImage& in, Reporter& reporter) {
    Side s;
    reporter.step("Reading the field-map image " + in.path);
    s.image = readNifti(in.path, {}, &reporter);
    std::optional<Sidecar> sidecar = in.sidecar ? in.sidecar : readSidecarFor(in.path);
    if (!sidecar) {
        throw InputError(in.path +
                         ": has no sidecar; its PhaseEncodingDirection and TotalReadoutTime are "
                         "needed to estimate the field");
    }
    s.sidecar = *sidecar;
    const std::string where = s.sidecar.path.empty() ? in.path : s.sidecar.path;
    const auto direction = s.sidecar.text("PhaseEncodingDirection");
    if (!direction) throw InputError(where + ": gives no PhaseEncodingDirection");
    s.direction = directionCode(*direction, where + " (PhaseEncodingDirection)");
    const int n = s.image.geometry.dims()[static_cast<std::size_t>(directionAxis(s.direction))];
    if (n < 2) {
        throw InputError(in.path + ": has " + std::to_string(n) +
                         " voxel along its phase-encoding axis");
    }
    double bandwidth = 0;
    if (const auto trt = s.sidecar.number("TotalReadoutTime")) {
        if (!(*trt > 0)) throw InputError(where + ": TotalReadoutTime must be positive");
        bandwidth = bandwidthFromReadoutTime(*trt, n);
        s.readoutFrom = "TotalReadoutTime";
    } else if (const auto ees = s.sidecar.number("EffectiveEchoSpacing")) {
        if (!(*ees > 0)) throw InputError(where + ": EffectiveEchoSpacing must be positive");
        bandwidth = bandwidthFromEchoSpacing(*ees, n);
        s.readoutFrom = "EffectiveEchoSpacing";
    } else {
        throw InputError(where +
                         ": gives neither TotalReadoutTime nor EffectiveEchoSpacing; the "
                         "readout time is needed to turn the shifts into Hz");
    }
    s.voxelsPerHz = 1.0 / bandwidth;
    const int volumes = s.image.geometry.nt();
    s.average = pairs::averageVolumes(s.image.data, s.image.geometry.voxelsPerVolume(), volumes);
    if (s.average.disagreeing >= 0) {
        char text[160];
        std::snprintf(text, sizeof text,
                      ": volume %d does not agree with the others (correlation %.2f inside the "
                      "head, below %.2f); did the head move?",
                      s.average.disagreeing + 1,
                      s.average.correlation[static_cast<std::size_t>(s.average.disagreeing)],
                      pairs::kMinVolumeCorrelation);
        throw InputError(in.path + text);
    }
    return s;
}

json sideJson(const Side& s) {
    return {{"path", s.image.path},
            {"sidecar", s.sidecar.path.empty() ? json(nullptr) : json(s.sidecar.path)},
            {"PhaseEncodingDirection", bidsDirection(s.direction)},
            {"volumes", s.image.geometry.nt()},
            {"volumeCorrelations", s.average.correlation},
            {"bandwidthPerPixel", 1.0 / s.voxelsPerHz},
            {"readoutFrom", s.readoutFrom}};
}

json agreementJson(const pairs::Agreement& a) {
    return {{"relativeDifference", a.relativeDifference}, {"correlation", a.correlation}};
}

/// World (mm) → voxel of a geometry: the inverse of its affine.
std::array<double, 12> inverseAffine(const Affine& a) {
    const double m[3][3] = {{a[0], a[1], a[2]}, {a[4], a[5], a[6]}, {a[8], a[9], a[10]}};
    const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                       m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                       m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    std::array<double, 12> inv{};
    if (!std::isfinite(det) || std::fabs(det) < 1e-12) return inv;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            const int r1 = (c + 1) % 3, r2 = (c + 2) % 3, c1 = (r + 1) % 3, c2 = (r + 2) % 3;
            inv[static_cast<std::size_t>(r * 4 + c)] =
                (m[r1][c1] * m[r2][c2] - m[r1][c2] * m[r2][c1]) / det;
        }
    }
    for (int r = 0; r < 3; ++r) {
        const auto row = static_cast<std::size_t>(r * 4);
        inv[row + 3] = -(inv[row] * a[3] + inv[row + 1] * a[7] + inv[row + 2] * a[11]);
    }
    return inv;
}

}  // namespace

PairField estimatePairField(const PairImage& first, const PairImage& second, Reporter& reporter) {
    Side a = readSide(first, reporter);
    Side b = readSide(second, reporter);
    if (a.direction == b.direction) {
        throw InputError(first.path + " and " + second.path +
                         ": both are taken along the same phase-encoding direction (" +
                         bidsDirection(a.direction) + "); the pair needs opposite ones");
    }
    if (directionAxis(a.direction) != directionAxis(b.direction)) {
        throw InputError(first.path + " and " + second.path +
                         ": phase-encoding directions on different axes (" +
                         bidsDirection(a.direction) + ", " + bidsDirection(b.direction) +
                         "); the pair needs opposite directions on one axis");
    }
    if (!a.image.geometry.sameGrid(b.image.geometry, 0.5)) {
        throw InputError(first.path + " and " + second.path +
                         ": lie on different grids; the two images of a pair must share one");
    }
    if (!isPositiveDirection(a.direction)) std::swap(a, b);

    const NiftiGeometry& g = a.image.geometry;
    pairs::PairImages images;
    images.grid.dims = {g.nx(), g.ny(), g.nz()};
    for (int i = 0; i < 3; ++i)
        images.grid.voxelMm[static_cast<std::size_t>(i)] =
            g.voxelSize()[static_cast<std::size_t>(i)];
    images.axis = directionAxis(a.direction);
    images.plus = a.average.mean;
    images.minus = b.average.mean;
    images.plusVoxelsPerHz = a.voxelsPerHz;
    images.minusVoxelsPerHz = b.voxelsPerHz;
    reporter.step("Estimating the field from the pair (" + bidsDirection(a.direction) + ", " +
                  bidsDirection(b.direction) + ")");
    PairField out;
    out.estimate = pairs::estimateField(images);
    if (!out.estimate.problem.empty()) {
        throw InputError(first.path + " and " + second.path + ": " + out.estimate.problem +
                         "; no field is passed on");
    }
    char text[200];
    std::snprintf(text, sizeof text,
                  "  the pair agrees to %.3f relative RMS difference (correlation %.3f) after, "
                  "%.3f (%.3f) before",
                  out.estimate.after.relativeDifference, out.estimate.after.correlation,
                  out.estimate.before.relativeDifference, out.estimate.before.correlation);
    reporter.detail(text);
    out.geometry = makeGeometry({g.nx(), g.ny(), g.nz(), 1}, g.affine(), 0);
    out.fieldHz = out.estimate.fieldHz;
    json levels = json::array();
    for (const auto& l : out.estimate.levels) {
        levels.push_back({{"grid", l.grid.dims},
                          {"voxelMm", l.grid.voxelMm},
                          {"iterations", l.iterations},
                          {"objectiveStart", l.misfitStart},
                          {"objectiveEnd", l.misfitEnd},
                          {"converged", l.converged}});
    }
    out.summary = {{"kind", "reverse phase-encoding pair"},
                   {"positive", sideJson(a)},
                   {"negative", sideJson(b)},
                   {"levels", levels},
                   {"converged", out.estimate.converged},
                   {"agreementBefore", agreementJson(out.estimate.before)},
                   {"agreementAfter", agreementJson(out.estimate.after)}};
    out.plusMean = std::move(a.average.mean);
    out.minusMean = std::move(b.average.mean);
    return out;
}

void checkPairCoversSeries(const NiftiGeometry& pair, const NiftiGeometry& series,
                           const std::string& seriesPath) {
    const auto inv = inverseAffine(pair.affine());
    const Affine& e = series.affine();
    for (int k = 0; k < series.nz(); ++k) {
        for (int j = 0; j < series.ny(); ++j) {
            for (int i = 0; i < series.nx(); ++i) {
                const double w[3] = {e[0] * i + e[1] * j + e[2] * k + e[3],
                                     e[4] * i + e[5] * j + e[6] * k + e[7],
                                     e[8] * i + e[9] * j + e[10] * k + e[11]};
                bool inside = true;
                for (int r = 0; r < 3 && inside; ++r) {
                    const auto row = static_cast<std::size_t>(r * 4);
                    const double v =
                        inv[row] * w[0] + inv[row + 1] * w[1] + inv[row + 2] * w[2] + inv[row + 3];
                    const int n = pair.dims()[static_cast<std::size_t>(r)];
                    inside = v >= -0.5 && v <= n - 0.5;
                }
                if (inside) return;
            }
        }
    }
    throw InputError(seriesPath +
                     ": does not overlap the field of view of the phase-encoding pair");
}

PairPictures pairPictures(const PairField& field) {
    PairPictures p;
    const Volume grid = gridOf(field.geometry);
    for (auto [volume, values] : {std::pair{&p.plusBefore, &field.plusMean},
                                  {&p.minusBefore, &field.minusMean},
                                  {&p.plusAfter, &field.estimate.plusCorrected},
                                  {&p.minusAfter, &field.estimate.minusCorrected}}) {
        *volume = grid;
        volume->values = *values;
    }
    return p;
}

void writePairField(const PairField& field, const fs::path& file, Reporter& reporter) {
    writeNifti(file.string(), field.geometry, 1, field.fieldHz, &reporter);
    json sidecar = {{"Units", "Hz"},
                    {"Description", "field estimated from a reverse phase-encoding pair"},
                    {"EstimatedFrom", field.summary}};
    writeFileAtomically(file.parent_path() / (niftiStem(file.string()) + ".json"),
                        sidecar.dump(2) + "\n");
}

}  // namespace ondrift::cli
