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

/// The analytic images of the phantom, in continuous voxel coordinates.
class Model {
public:
    explicit Model(const PhantomOptions& o) : o_(o) {
        for (int a = 0; a < 3; ++a) centre_[a] = (o.dims[static_cast<std::size_t>(a)] - 1) / 2.0;
        semi_ = {0.36 * o.dims[0], 0.42 * o.dims[1], 0.40 * o.dims[2]};
        lobe_ = {centre_[0], centre_[1] + 0.6 * semi_[1], centre_[2] - 0.3 * semi_[2]};
        lobeSigma_ = 0.12 * o.dims[0];
    }

    double radius(double x, double y, double z) const {
        const double u = (x - centre_[0]) / semi_[0];
        const double v = (y - centre_[1]) / semi_[1];
        const double w = (z - centre_[2]) / semi_[2];
        return std::sqrt(u * u + v * v + w * w);
    }

    double head(double x, double y, double z) const {
        return 1.0 / (1.0 + std::exp(-(1.0 - radius(x, y, z)) / 0.03));
    }

    double anatomy(double x, double y, double z) const {
        const double h = head(x, y, z);
        if (h < 1e-9) return 0.0;
        const double r = radius(x, y, z);
        const double u = (x - centre_[0]) / semi_[0];
        const double v = (y - centre_[1]) / semi_[1];
        const double w = (z - centre_[2]) / semi_[2];
        const double cortex = 400.0 * std::exp(-std::pow((r - 0.85) / 0.05, 2));
        auto ventricle = [&](double side) {
            const double e = std::sqrt(std::pow((u - side * 0.2) / 0.1, 2) +
                                       std::pow((v + 0.05) / 0.35, 2) + std::pow(w / 0.4, 2));
            return 1.0 / (1.0 + std::exp((e - 1.0) / 0.08));
        };
        const double texture = 150.0 * std::sin(2 * kPi * y / 9.0) * std::cos(2 * kPi * x / 11.0) *
                               std::cos(2 * kPi * z / 13.0);
        return h * (600.0 + cortex + texture - 350.0 * (ventricle(1.0) + ventricle(-1.0)));
    }

    double activation(double x, double y, double z) const {
        const double u = (x - centre_[0]) / semi_[0] + 0.3;
        const double v = (y - centre_[1]) / semi_[1] - 0.2;
        const double w = (z - centre_[2]) / semi_[2];
        return std::exp(-(u * u + v * v + w * w) / (2 * 0.12 * 0.12));
    }

    double signal(double x, double y, double z, int t) const {
        const double cycle = std::sin(2 * kPi * t / std::max(o_.volumes, 2));
        return anatomy(x, y, z) * (1.0 + 0.04 * cycle * activation(x, y, z));
    }

    double magnitude(double x, double y, double z) const {
        return 1000.0 * head(x, y, z) * (0.85 + 0.15 * std::cos(2 * kPi * x / 17.0));
    }

    double field(double x, double y, double z) const {
        const double d2 = std::pow(x - lobe_[0], 2) + std::pow(y - lobe_[1], 2) + std::pow(z - lobe_[2], 2);
        return o_.gradientHz * (y - centre_[1]) / (o_.dims[1] / 2.0) +
               0.3 * o_.gradientHz * (x - centre_[0]) / (o_.dims[0] / 2.0) +
               o_.lobeHz * std::exp(-d2 / (2 * lobeSigma_ * lobeSigma_));
    }

private:
    PhantomOptions o_;
    double centre_[3];
    std::array<double, 3> semi_;
    std::array<double, 3> lobe_;
    double lobeSigma_;
};

Affine phantomAffine(const PhantomOptions& o) {
    const double t = o.tiltDegrees * kPi / 180.0;
    const double ca = std::cos(t), sa = std::sin(t);
    const double cb = std::cos(t / 2), sb = std::sin(t / 2);
    // Rotation about x by t, then about z by t/2.
    const double rx[9] = {1, 0, 0, 0, ca, -sa, 0, sa, ca};
    const double rz[9] = {cb, -sb, 0, sb, cb, 0, 0, 0, 1};
    double r[9];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            r[3 * i + j] = 0;
            for (int k = 0; k < 3; ++k) r[3 * i + j] += rz[3 * i + k] * rx[3 * k + j];
        }
    Affine a{};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            double v = r[3 * i + j] * o.voxelSize;
            if (j == 0 && o.flipI) v = -v;
            a[static_cast<std::size_t>(4 * i + j)] = v;
        }
    }
    for (int i = 0; i < 3; ++i) {
        double c = 0;
        for (int j = 0; j < 3; ++j) {
            c += a[static_cast<std::size_t>(4 * i + j)] * (o.dims[static_cast<std::size_t>(j)] - 1) / 2.0;
        }
        a[static_cast<std::size_t>(4 * i + 3)] = -c;
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
    const int n = options.dims[static_cast<std::size_t>(directionAxis(options.peDirection))];
    return bandwidthFromEchoSpacing(options.effectiveEchoSpacing, n);
}

double Phantom::echoTimeDiffMs() const { return (options.echoTime2 - options.echoTime1) * 1000.0; }

Phantom makePhantom(const PhantomOptions& o) {
    if (o.peDirection < 1 || o.peDirection > 6) throw InputError("phantom: direction must be 1-6");
    Phantom p;
    p.options = o;
    const Model model(o);
    const int nx = o.dims[0], ny = o.dims[1], nz = o.dims[2];
    const std::size_t n = static_cast<std::size_t>(nx) * static_cast<std::size_t>(ny) * static_cast<std::size_t>(nz);
    const Affine affine = phantomAffine(o);
    p.geometry = makeGeometry({nx, ny, nz, 1}, affine, 0.0f);
    p.seriesGeometry = makeGeometry({nx, ny, nz, o.volumes}, affine, static_cast<float>(o.repetitionTime));

    p.fieldHz.resize(n);
    p.phase.resize(n);
    p.magnitude.resize(n);
    p.evaluationMask.resize(n);
    p.truth.resize(n * static_cast<std::size_t>(o.volumes));
    p.distorted.resize(p.truth.size());
    const double dte = o.echoTime2 - o.echoTime1;
    const double bandwidth = p.bandwidthPE();
    const int axis = directionAxis(o.peDirection);
    const double sign = o.peDirection % 2 == 1 ? 1.0 : -1.0;

    double maxShift = 0;
    for (int z = 0, i = 0; z < nz; ++z) {
        for (int y = 0; y < ny; ++y) {
            for (int x = 0; x < nx; ++x, ++i) {
                const double f = model.field(x, y, z);
                const double phi = 2 * kPi * f * dte;
                p.fieldHz[static_cast<std::size_t>(i)] = static_cast<float>(f);
                p.phase[static_cast<std::size_t>(i)] =
                    static_cast<float>(phi - 2 * kPi * std::floor((phi + kPi) / (2 * kPi)));
                p.magnitude[static_cast<std::size_t>(i)] = static_cast<float>(model.magnitude(x, y, z));
                p.evaluationMask[static_cast<std::size_t>(i)] = model.radius(x, y, z) < 0.8 ? 1 : 0;
                maxShift = std::max(maxShift, std::fabs(f / bandwidth));
                for (int t = 0; t < o.volumes; ++t) {
                    p.truth[static_cast<std::size_t>(t) * n + static_cast<std::size_t>(i)] =
                        static_cast<float>(model.signal(x, y, z, t));
                }
            }
        }
    }

    // Distorted voxel q shows the signal of the position p with p + sign·s(p) = q on the
    // phase-encoding axis; the map p → p + sign·s(p) is increasing because |ds/dp| < 1.
    const double reach = maxShift + 2.0;
    for (int z = 0, i = 0; z < nz; ++z) {
        for (int y = 0; y < ny; ++y) {
            for (int x = 0; x < nx; ++x, ++i) {
                double q[3] = {double(x), double(y), double(z)};
                const double target = q[axis];
                double lo = target - reach, hi = target + reach;
                for (int it = 0; it < 50; ++it) {
                    const double mid = 0.5 * (lo + hi);
                    q[axis] = mid;
                    const double g = mid + sign * model.field(q[0], q[1], q[2]) / bandwidth - target;
                    (g < 0 ? lo : hi) = mid;
                }
                q[axis] = 0.5 * (lo + hi);
                for (int t = 0; t < o.volumes; ++t) {
                    p.distorted[static_cast<std::size_t>(t) * n + static_cast<std::size_t>(i)] =
                        static_cast<float>(model.signal(q[0], q[1], q[2], t));
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

    const int nPE = p.options.dims[static_cast<std::size_t>(directionAxis(p.options.peDirection))];
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
