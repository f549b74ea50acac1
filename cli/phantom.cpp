#include "cli/phantom.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>

#include <nlohmann/json.hpp>

#include "cli/bids_sidecar.h"
#include "cli/errors.h"
#include "cli/phantom_forward.h"
#include "cli/phantom_model.h"
#include "cli/phantom_susceptibility.h"

namespace ondrift::cli {

namespace fs = std::filesystem;

namespace {

constexpr double kPi = 3.141592653589793;

/// A grid of `dims` voxels of `size` mm along i, j, k, rotated about x by `tiltX` and about z by
/// `tiltZ` (radians), mirrored in i when asked, centred at `centre`.
Affine gridAffine(const std::array<int, 3>& dims, const std::array<double, 3>& size, double tiltX,
                  double tiltZ, bool flipI, const std::array<double, 3>& centre) {
    const double ca = std::cos(tiltX), sa = std::sin(tiltX);
    const double cb = std::cos(tiltZ), sb = std::sin(tiltZ);
    const double rx[9] = {1, 0, 0, 0, ca, -sa, 0, sa, ca};
    const double rz[9] = {cb, -sb, 0, sb, cb, 0, 0, 0, 1};
    Affine a{};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            double r = 0;
            for (int k = 0; k < 3; ++k) r += rz[3 * i + k] * rx[3 * k + j];
            a[static_cast<std::size_t>(4 * i + j)] =
                r * size[static_cast<std::size_t>(j)] * (j == 0 && flipI ? -1.0 : 1.0);
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

/// Reproducible everywhere: the engine's sequence is fixed by the standard, and the normal
/// deviates are made here (the library's distributions differ between implementations).
class Noise {
public:
    explicit Noise(unsigned seed) : engine_(seed) {}
    double uniform() { return (static_cast<double>(engine_() >> 11) + 0.5) * 0x1.0p-53; }
    double normal() {
        const double r = std::sqrt(-2.0 * std::log(uniform()));
        return r * std::cos(2 * kPi * uniform());
    }

private:
    std::mt19937_64 engine_;
};

struct Measured {
    double phase;
    double magnitude;
};

/// What the scanner delivers for a voxel of true phase `phi` and magnitude `m`: complex noise of
/// a fixed level, so that the phase is sharp in bright tissue, noisy in the dark lobes, and a
/// random angle outside the head. The phase is wrapped into [-π, π).
Measured measure(const PhantomOptions& o, double phi, double m, Noise& noise) {
    auto wrap = [](double v) { return v - 2 * kPi * std::floor((v + kPi) / (2 * kPi)); };
    if (o.fieldShape == FieldShape::Simple || o.phaseNoise <= 0) return {wrap(phi), m};
    // Phase noise of `phaseNoise` radians at a magnitude of 1000.
    const double sigma = 1000.0 * o.phaseNoise;
    const double re = m * std::cos(phi) + sigma * noise.normal();
    const double im = m * std::sin(phi) + sigma * noise.normal();
    return {wrap(std::atan2(im, re)), std::sqrt(re * re + im * im)};
}

void writeJson(const std::string& path, const nlohmann::json& j) {
    std::ofstream out(path);
    out << j.dump(2) << "\n";
    if (!out) throw ProcessingError(path + ": cannot write");
}

}  // namespace

namespace {
int peVoxels(const PhantomOptions& o) {
    const auto& dims = o.epiDims[0] > 0 ? o.epiDims : o.dims;
    return dims[static_cast<std::size_t>(directionAxis(o.peDirection))];
}
}  // namespace

double Phantom::effectiveEchoSpacing() const {
    if (options.effectiveEchoSpacing > 0) return options.effectiveEchoSpacing;
    return 1.0 / (options.bandwidthPerPixel * peVoxels(options));
}

double Phantom::bandwidthPE() const {
    return bandwidthFromEchoSpacing(effectiveEchoSpacing(), peVoxels(options));
}

double Phantom::echoTimeDiffMs() const { return (options.echoTime2 - options.echoTime1) * 1000.0; }

Phantom makePhantom(const PhantomOptions& o) {
    if (o.peDirection < 1 || o.peDirection > 6) throw InputError("phantom: direction must be 1-6");
    Phantom p;
    p.options = o;
    if (o.effectiveEchoSpacing <= 0 && !(o.bandwidthPerPixel > 0)) {
        throw InputError("phantom: give an echo spacing or a bandwidth per pixel");
    }
    const std::unique_ptr<HeadModel> head = makeHeadModel(o);
    const HeadModel& model = *head;
    const double tilt = o.tiltDegrees * kPi / 180.0;
    // Per-axis sizes where given; the head keeps the size that `voxelSize` gives it.
    auto sizes = [](const std::array<float, 3>& perAxis, float size) {
        return perAxis[0] > 0 ? std::array<double, 3>{perAxis[0], perAxis[1], perAxis[2]}
                              : std::array<double, 3>{size, size, size};
    };
    const Affine fieldAffine =
        gridAffine(o.dims, sizes(o.voxelSizes, o.voxelSize), tilt, tilt / 2, o.flipI, {0, 0, 0});
    const bool ownGrid = o.epiDims[0] > 0;
    const std::array<int, 3> ed = ownGrid ? o.epiDims : o.dims;
    const Affine epiAffine =
        ownGrid
            ? gridAffine(ed, sizes(o.epiVoxelSizes, o.epiVoxelSize), o.epiTiltDegrees * kPi / 180.0,
                         o.epiTiltZDegrees * kPi / 180.0, o.epiFlipI, o.epiCentreMm)
            : fieldAffine;
    p.geometry = makeGeometry({o.dims[0], o.dims[1], o.dims[2], 1}, fieldAffine, 0.0f);
    p.seriesGeometry = makeGeometry({ed[0], ed[1], ed[2], o.volumes}, epiAffine,
                                    static_cast<float>(o.repetitionTime));

    // Field map images.
    const std::size_t n = p.geometry.voxelsPerVolume();
    p.fieldHz.resize(n);
    p.phase.resize(n);
    p.magnitude.resize(n);
    p.headMask.resize(n);
    const double dte = o.echoTime2 - o.echoTime1;
    Noise noise(o.noiseSeed);
    for (int z = 0, i = 0; z < o.dims[2]; ++z) {
        for (int y = 0; y < o.dims[1]; ++y) {
            for (int x = 0; x < o.dims[0]; ++x, ++i) {
                const World w = toWorld(fieldAffine, x, y, z);
                const double f = model.field(w.x, w.y, w.z);
                const double phi = 2 * kPi * f * dte;
                const auto u = static_cast<std::size_t>(i);
                p.fieldHz[u] = static_cast<float>(f);
                const double m = model.voxelMagnitude(fieldAffine, w.x, w.y, w.z);
                const Measured meas = measure(o, phi, m, noise);
                p.phase[u] = static_cast<float>(meas.phase);
                p.magnitude[u] = static_cast<float>(meas.magnitude);
                p.headMask[u] = m > 200.0 ? 1 : 0;
            }
        }
    }

    makeSeries(p, model, epiAffine);
    if (o.seriesNoise > 0) {
        // Drawn after the field map's noise, which thus stays the same with or without it.
        for (float& value : p.distorted) {
            const double re = value + o.seriesNoise * noise.normal();
            const double im = o.seriesNoise * noise.normal();
            value = static_cast<float>(std::sqrt(re * re + im * im));
        }
    }

    if (o.anatomy) {
        // Half the field map's voxel size, over the field map's extent, axis-aligned.
        const double size = o.voxelSize / 2.0;
        const std::array<int, 3> ad{o.dims[0] * 2, o.dims[1] * 2, o.dims[2] * 2};
        const Affine anatAffine = gridAffine(ad, {size, size, size}, 0, 0, false, {0, 0, 0});
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

double Phantom::wrappedFraction() const {
    const double dte = echoTimeDiffMs() / 1000.0;
    std::size_t head = 0, wrapped = 0;
    for (std::size_t i = 0; i < fieldHz.size(); ++i) {
        if (headMask[i] == 0) continue;
        ++head;
        if (std::fabs(fieldHz[i] * dte) > 0.5) ++wrapped;
    }
    return head > 0 ? static_cast<double>(wrapped) / static_cast<double>(head) : 0.0;
}

std::vector<float> Phantom::idealSeries() const {
    const std::array<int, 3> d{seriesGeometry.nx(), seriesGeometry.ny(), seriesGeometry.nz()};
    const int axis = directionAxis(options.peDirection);
    const std::size_t stride =
        axis == 0 ? 1 : (axis == 1 ? std::size_t(d[0]) : std::size_t(d[0]) * d[1]);
    const int last = d[static_cast<std::size_t>(axis)] - 1;
    const std::size_t m = seriesShift.size();
    std::vector<float> out(distorted.size());
    for (int z = 0, i = 0; z < d[2]; ++z) {
        for (int y = 0; y < d[1]; ++y) {
            for (int x = 0; x < d[0]; ++x, ++i) {
                const auto u = static_cast<std::size_t>(i);
                const int own = axis == 0 ? x : (axis == 1 ? y : z);
                const double pos = own + static_cast<double>(seriesShift[u]);
                const double lower = std::floor(pos);
                const double f = pos - lower;
                const int i0 = std::clamp(static_cast<int>(lower), 0, last);
                const int i1 = std::clamp(static_cast<int>(lower) + 1, 0, last);
                const std::size_t base = u - static_cast<std::size_t>(own) * stride;
                for (int t = 0; t < options.volumes; ++t) {
                    const float* line = distorted.data() + static_cast<std::size_t>(t) * m + base;
                    out[static_cast<std::size_t>(t) * m + u] =
                        static_cast<float>((1.0 - f) * line[static_cast<std::size_t>(i0) * stride] +
                                           f * line[static_cast<std::size_t>(i1) * stride]);
                }
            }
        }
    }
    return out;
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
               {"EffectiveEchoSpacing", p.effectiveEchoSpacing()},
               {"TotalReadoutTime", p.effectiveEchoSpacing() * (nPE - 1)}});
    writeJson((dir / "sub-phantom_fieldmap.json").string(), {{"Units", "Hz"}});
    return f;
}

}  // namespace ondrift::cli
