#include "cli/phantom.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>

#include <nlohmann/json.hpp>

#include "cli/bids_sidecar.h"
#include "cli/errors.h"

namespace ondrift::cli {

namespace fs = std::filesystem;

namespace {

constexpr double kPi = 3.141592653589793;

/// The analytic images of the phantom, in world millimetres; the head is centred at the origin
/// and sized by the field map's grid.
class Model {
public:
    explicit Model(const PhantomOptions& o) : o_(o) {
        for (std::size_t a = 0; a < 3; ++a) half_[a] = o.dims[a] * o.voxelSize / 2.0;
        semi_ = {0.72 * half_[0], 0.84 * half_[1], 0.80 * half_[2]};
        lobe_ = {0.0, 0.6 * semi_[1], -0.3 * semi_[2]};
        lobeSigma_ = 0.24 * half_[0];
        period_ = o.voxelSize;
        // The rim is at least a voxel and a bit wide, so that every grid samples it well.
        rimWidth_ = std::max(0.05, 1.2 * o.voxelSize / std::min({semi_[0], semi_[1], semi_[2]}));
        ventricleWidth_ = std::max(0.1, 2.5 * o.voxelSize / semi_[0]);
    }

    double radius(double x, double y, double z) const {
        const double u = x / semi_[0], v = y / semi_[1], w = z / semi_[2];
        return std::sqrt(u * u + v * v + w * w);
    }

    double head(double x, double y, double z) const {
        return 1.0 / (1.0 + std::exp(-(1.0 - radius(x, y, z)) / 0.03));
    }

    double anatomy(double x, double y, double z) const {
        const double h = head(x, y, z);
        if (h < 1e-9) return 0.0;
        const double r = radius(x, y, z);
        const double u = x / semi_[0], v = y / semi_[1], w = z / semi_[2];
        const double cortex = 400.0 * std::exp(-std::pow((r - 0.85) / rimWidth_, 2));
        auto ventricle = [&](double side) {
            const double e = std::sqrt(std::pow((u - side * 0.22) / ventricleWidth_, 2) +
                                       std::pow((v + 0.05) / 0.35, 2) + std::pow(w / 0.4, 2));
            return 1.0 / (1.0 + std::exp((e - 1.0) / 0.15));
        };
        const double texture = 150.0 * std::sin(2 * kPi * y / (9.0 * period_)) *
                               std::cos(2 * kPi * x / (11.0 * period_)) *
                               std::cos(2 * kPi * z / (13.0 * period_));
        return h * (600.0 + cortex + texture - 350.0 * (ventricle(1.0) + ventricle(-1.0)));
    }

    double activation(double x, double y, double z) const {
        const double u = x / semi_[0] + 0.3, v = y / semi_[1] - 0.2, w = z / semi_[2];
        return std::exp(-(u * u + v * v + w * w) / (2 * 0.12 * 0.12));
    }

    double signal(double x, double y, double z, int t) const {
        const double cycle = std::sin(2 * kPi * t / std::max(o_.volumes, 2));
        return anatomy(x, y, z) * (1.0 + 0.04 * cycle * activation(x, y, z));
    }

    double magnitude(double x, double y, double z) const {
        return 1000.0 * head(x, y, z) * (0.85 + 0.15 * std::cos(2 * kPi * x / (17.0 * period_)));
    }

    /// A linear background (harmonic, so the Laplacian unwrapping recovers it) and a lobe.
    double field(double x, double y, double z) const {
        const double d2 =
            std::pow(x - lobe_[0], 2) + std::pow(y - lobe_[1], 2) + std::pow(z - lobe_[2], 2);
        return o_.gradientHz * y / half_[1] + 0.3 * o_.gradientHz * x / half_[0] +
               o_.lobeHz * std::exp(-d2 / (2 * lobeSigma_ * lobeSigma_));
    }

private:
    PhantomOptions o_;
    std::array<double, 3> half_;
    std::array<double, 3> semi_;
    std::array<double, 3> lobe_;
    double lobeSigma_;
    double period_;
    double rimWidth_;
    double ventricleWidth_;
};

struct World {
    double x, y, z;
};

World toWorld(const Affine& a, double i, double j, double k) {
    return {a[0] * i + a[1] * j + a[2] * k + a[3], a[4] * i + a[5] * j + a[6] * k + a[7],
            a[8] * i + a[9] * j + a[10] * k + a[11]};
}

/// A grid of `dims` voxels of `size` mm, rotated about x by `tiltX` and about z by `tiltZ`
/// (radians), mirrored in i when asked, centred at `centre`.
Affine gridAffine(const std::array<int, 3>& dims, double size, double tiltX, double tiltZ,
                  bool flipI, const std::array<double, 3>& centre) {
    const double ca = std::cos(tiltX), sa = std::sin(tiltX);
    const double cb = std::cos(tiltZ), sb = std::sin(tiltZ);
    const double rx[9] = {1, 0, 0, 0, ca, -sa, 0, sa, ca};
    const double rz[9] = {cb, -sb, 0, sb, cb, 0, 0, 0, 1};
    Affine a{};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            double r = 0;
            for (int k = 0; k < 3; ++k) r += rz[3 * i + k] * rx[3 * k + j];
            a[static_cast<std::size_t>(4 * i + j)] = r * size * (j == 0 && flipI ? -1.0 : 1.0);
        }
    }
    for (int i = 0; i < 3; ++i) {
        double c = 0;
        for (int j = 0; j < 3; ++j) {
            c += a[static_cast<std::size_t>(4 * i + j)] * (dims[static_cast<std::size_t>(j)] - 1) /
                 2.0;
        }
        a[static_cast<std::size_t>(4 * i + 3)] = centre[static_cast<std::size_t>(i)] - c;
    }
    a[15] = 1;
    return a;
}

void writeJson(const std::string& path, const nlohmann::json& j) {
    std::ofstream out(path);
    out << j.dump(2) << "\n";
    if (!out) throw ProcessingError(path + ": cannot write");
}

}  // namespace

double Phantom::bandwidthPE() const {
    const auto& dims = options.epiDims[0] > 0 ? options.epiDims : options.dims;
    const int n = dims[static_cast<std::size_t>(directionAxis(options.peDirection))];
    return bandwidthFromEchoSpacing(options.effectiveEchoSpacing, n);
}

double Phantom::echoTimeDiffMs() const { return (options.echoTime2 - options.echoTime1) * 1000.0; }

Phantom makePhantom(const PhantomOptions& o) {
    if (o.peDirection < 1 || o.peDirection > 6) throw InputError("phantom: direction must be 1-6");
    Phantom p;
    p.options = o;
    const Model model(o);
    const double tilt = o.tiltDegrees * kPi / 180.0;
    const Affine fieldAffine = gridAffine(o.dims, o.voxelSize, tilt, tilt / 2, o.flipI, {0, 0, 0});
    const bool ownGrid = o.epiDims[0] > 0;
    const std::array<int, 3> ed = ownGrid ? o.epiDims : o.dims;
    const Affine epiAffine = ownGrid
                                 ? gridAffine(ed, o.epiVoxelSize, o.epiTiltDegrees * kPi / 180.0, 0,
                                              false, o.epiCentreMm)
                                 : fieldAffine;
    p.geometry = makeGeometry({o.dims[0], o.dims[1], o.dims[2], 1}, fieldAffine, 0.0f);
    p.seriesGeometry = makeGeometry({ed[0], ed[1], ed[2], o.volumes}, epiAffine,
                                    static_cast<float>(o.repetitionTime));

    // Field map images.
    const std::size_t n = p.geometry.voxelsPerVolume();
    p.fieldHz.resize(n);
    p.phase.resize(n);
    p.magnitude.resize(n);
    const double dte = o.echoTime2 - o.echoTime1;
    for (int z = 0, i = 0; z < o.dims[2]; ++z) {
        for (int y = 0; y < o.dims[1]; ++y) {
            for (int x = 0; x < o.dims[0]; ++x, ++i) {
                const World w = toWorld(fieldAffine, x, y, z);
                const double f = model.field(w.x, w.y, w.z);
                const double phi = 2 * kPi * f * dte;
                const auto u = static_cast<std::size_t>(i);
                p.fieldHz[u] = static_cast<float>(f);
                p.phase[u] =
                    static_cast<float>(phi - 2 * kPi * std::floor((phi + kPi) / (2 * kPi)));
                p.magnitude[u] = static_cast<float>(model.magnitude(w.x, w.y, w.z));
            }
        }
    }

    // The functional series: true, and distorted along its phase-encoding axis. Distorted voxel
    // q shows the signal of the position p with p + sign·s(p) = q on that axis; the map
    // p → p + sign·s(p) is increasing because |ds/dp| < 1.
    const std::size_t m = p.seriesGeometry.voxelsPerVolume();
    p.evaluationMask.resize(m);
    p.truth.resize(m * static_cast<std::size_t>(o.volumes));
    p.distorted.resize(p.truth.size());
    const double bandwidth = p.bandwidthPE();
    const int axis = directionAxis(o.peDirection);
    const double sign = o.peDirection % 2 == 1 ? 1.0 : -1.0;
    double maxShift = 0;
    for (std::size_t i = 0; i < n; ++i)
        maxShift = std::max(maxShift, std::fabs(p.fieldHz[i] / bandwidth));
    const double reach = maxShift * 1.5 + 2.0;
    for (int z = 0, i = 0; z < ed[2]; ++z) {
        for (int y = 0; y < ed[1]; ++y) {
            for (int x = 0; x < ed[0]; ++x, ++i) {
                const auto u = static_cast<std::size_t>(i);
                const World w = toWorld(epiAffine, x, y, z);
                p.evaluationMask[u] = model.radius(w.x, w.y, w.z) < 0.75 ? 1 : 0;
                for (int t = 0; t < o.volumes; ++t) {
                    p.truth[static_cast<std::size_t>(t) * m + u] =
                        static_cast<float>(model.signal(w.x, w.y, w.z, t));
                }
                double q[3] = {double(x), double(y), double(z)};
                const double target = q[axis];
                double lo = target - reach, hi = target + reach;
                for (int it = 0; it < 50; ++it) {
                    const double mid = 0.5 * (lo + hi);
                    q[axis] = mid;
                    const World v = toWorld(epiAffine, q[0], q[1], q[2]);
                    const double g = mid + sign * model.field(v.x, v.y, v.z) / bandwidth - target;
                    (g < 0 ? lo : hi) = mid;
                }
                q[axis] = 0.5 * (lo + hi);
                const World v = toWorld(epiAffine, q[0], q[1], q[2]);
                for (int t = 0; t < o.volumes; ++t) {
                    p.distorted[static_cast<std::size_t>(t) * m + u] =
                        static_cast<float>(model.signal(v.x, v.y, v.z, t));
                }
            }
        }
    }

    if (o.anatomy) {
        // Half the field map's voxel size, over the field map's extent, axis-aligned.
        const double size = o.voxelSize / 2.0;
        const std::array<int, 3> ad{o.dims[0] * 2, o.dims[1] * 2, o.dims[2] * 2};
        const Affine anatAffine = gridAffine(ad, size, 0, 0, false, {0, 0, 0});
        p.anatomyGeometry = makeGeometry({ad[0], ad[1], ad[2], 1}, anatAffine, 0.0f);
        p.anatomy.resize(p.anatomyGeometry.voxelsPerVolume());
        for (int z = 0, i = 0; z < ad[2]; ++z) {
            for (int y = 0; y < ad[1]; ++y) {
                for (int x = 0; x < ad[0]; ++x, ++i) {
                    const World w = toWorld(anatAffine, x, y, z);
                    p.anatomy[static_cast<std::size_t>(i)] =
                        static_cast<float>(model.anatomy(w.x, w.y, w.z));
                }
            }
        }
    }
    return p;
}

double relativeError(const std::vector<float>& series, const std::vector<float>& truth,
                     const std::vector<unsigned char>& mask) {
    if (mask.empty() || series.size() != truth.size() || truth.size() % mask.size() != 0) {
        throw ProcessingError("internal error: series and mask do not match");
    }
    double err = 0, ref = 0;
    for (std::size_t i = 0; i < truth.size(); ++i) {
        if (mask[i % mask.size()] == 0) continue;
        const double d = static_cast<double>(series[i]) - truth[i];
        err += d * d;
        ref += static_cast<double>(truth[i]) * truth[i];
    }
    return ref > 0 ? std::sqrt(err / ref) : 0.0;
}

PhantomFiles writePhantom(const Phantom& p, const std::string& folder, Reporter* reporter) {
    fs::create_directories(folder);
    const fs::path dir(folder);
    PhantomFiles f;
    f.phase = (dir / "sub-phantom_phasediff.nii.gz").string();
    f.magnitude = (dir / "sub-phantom_magnitude1.nii.gz").string();
    f.bold = (dir / "sub-phantom_task-rest_bold.nii.gz").string();
    f.truth = (dir / "sub-phantom_task-rest_desc-truth_bold.nii.gz").string();
    f.fieldmap = (dir / "sub-phantom_fieldmap.nii.gz").string();

    std::vector<float> scannerUnits(p.phase.size());
    for (std::size_t i = 0; i < p.phase.size(); ++i) {
        scannerUnits[i] = static_cast<float>(p.phase[i] / kPi * 4096.0);
    }
    writeNifti(f.phase, p.geometry, 1, scannerUnits, reporter, StoredType{4, 1.0, 0.0});
    writeNifti(f.magnitude, p.geometry, 1, p.magnitude, reporter);
    writeNifti(f.bold, p.seriesGeometry, p.options.volumes, p.distorted, reporter);
    writeNifti(f.truth, p.seriesGeometry, p.options.volumes, p.truth, reporter);
    writeNifti(f.fieldmap, p.geometry, 1, p.fieldHz, reporter);
    if (p.options.anatomy) {
        f.anatomy = (dir / "sub-phantom_T1w.nii.gz").string();
        writeNifti(f.anatomy, p.anatomyGeometry, 1, p.anatomy, reporter);
    }

    const auto& epiDims = p.options.epiDims[0] > 0 ? p.options.epiDims : p.options.dims;
    const int nPE = epiDims[static_cast<std::size_t>(directionAxis(p.options.peDirection))];
    writeJson((dir / "sub-phantom_phasediff.json").string(),
              {{"EchoTime1", p.options.echoTime1}, {"EchoTime2", p.options.echoTime2}});
    writeJson((dir / "sub-phantom_task-rest_bold.json").string(),
              {{"TaskName", "rest"},
               {"RepetitionTime", p.options.repetitionTime},
               {"PhaseEncodingDirection", bidsDirection(p.options.peDirection)},
               {"EffectiveEchoSpacing", p.options.effectiveEchoSpacing},
               {"TotalReadoutTime", p.options.effectiveEchoSpacing * (nPE - 1)}});
    writeJson((dir / "sub-phantom_fieldmap.json").string(), {{"Units", "Hz"}});
    return f;
}

}  // namespace ondrift::cli
