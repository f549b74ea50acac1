// A synthetic head-like data set with a known field, for the demo and the command's tests.
//
// Every image is an analytic function of world coordinates (mm), so the distorted
// series can be made exactly. The field is shaped like scanner data: a shim gradient of a few
// phase cycles across the field of view, a second-order residue, steep lobes beside the air
// cavities with signal dropout in the magnitude, phase noise that grows where the magnitude is
// low, and pure noise (random phase, low magnitude) outside the head. In the series, the true
// signal at p appears at p + sign · s(p) along the phase-encoding axis, with s = field / bandwidth
// in voxels (positive field, positive shift toward the end of the axis named by i, j or k; the
// opposite for i-, j-, k-). That is the forward model the pixel-shift correction undoes. By
// default there is no intensity pile-up term, which the pixel-shift method does not correct;
// `forwardModel` chooses the other common ways of making such data (see ForwardModel).
#ifndef ONDRIFT_CLI_PHANTOM_H
#define ONDRIFT_CLI_PHANTOM_H

#include <array>
#include <string>
#include <vector>

#include "cli/nifti/nifti_file.h"

namespace ondrift::cli {

/// Realistic: the scanner-like field described above. Simple: a gentle linear field and one
/// smooth lobe (`gradientHz`, `lobeHz`), noise-free, for checks that need an easy field.
enum class FieldShape { Realistic, Simple };

/// How the distorted series is made. Each takes, for distorted voxel q, the position p on the
/// phase-encoding axis with p + sign·s(p) = q (s from the analytic field).
/// Exact: the analytic signal at p, free of any interpolation error.
/// Sampled: the true series on its grid, interpolated linearly along the axis at p (ends
/// clamped), as data made from a gridded truth are.
/// PileUp: the analytic signal at p times the Jacobian |dp/dq| = 1 / |1 + sign·ds/dp|, so the
/// signal of a line is conserved: bright where the image compresses, dark where it stretches.
/// Beside a fold the factor grows without bound; it is capped at `kMaxPileUp`. Where the field
/// folds the line, every position that lands in the voxel adds its signal so, as on a scanner.
enum class ForwardModel { Exact, Sampled, PileUp };

inline constexpr double kMaxPileUp = 5.0;

/// "exact", "sampled", "pile-up".
const char* forwardModelName(ForwardModel model);
/// The model of that name; false when there is none.
bool forwardModelFromName(const std::string& name, ForwardModel& model);

/// Which head the images come from. Analytic: the field above, an analytic function shaped like
/// scanner data. Susceptibility: a head of tissue with air outside, in the sinuses and the ear
/// canals, whose field the dipole kernel computes (SusceptibilityOptions); it ignores the
/// analytic field's settings and keeps its anatomical size in mm whatever the grid.
enum class Generator { Analytic, Susceptibility };

/// "analytic", "susceptibility".
const char* generatorName(Generator generator);
/// The generator of that name; false when there is none.
bool generatorFromName(const std::string& name, Generator& generator);

struct SusceptibilityOptions {
    double fieldStrengthT = 3.0;
    double airMinusTissuePpm = 9.4;  ///< susceptibility of air minus that of tissue
    double gridSpacingMm = 2.0;      ///< of the grid the field is computed on
    /// Spherical harmonics up to this order (0…2; -1 none) fitted over the brain and removed,
    /// as the scanner's shim does.
    int shimOrder = 2;
};

struct PhantomOptions {
    std::array<int, 3> dims{64, 64, 16};
    int volumes = 4;
    float voxelSize = 3.0f;
    /// Field map voxel sizes along i, j, k when the first is above 0 (the head keeps the size
    /// that `voxelSize` gives it).
    std::array<float, 3> voxelSizes{0, 0, 0};
    int peDirection = 3;  ///< 1…6 (i, i-, j, j-, k, k-)
    double echoTime1 = 0.00492;
    double echoTime2 = 0.00738;  ///< a difference of 2.46 ms
    /// Seconds; 0 derives it from `bandwidthPerPixel` and the functional grid.
    double effectiveEchoSpacing = 0.0;
    double bandwidthPerPixel = 25.0;  ///< Hz per pixel along phase encoding
    double repetitionTime = 2.0;
    /// Rotation of the grid in the world (degrees about x, then z), to exercise geometry.
    double tiltDegrees = 0.0;
    /// Mirror the i axis in the world (radiological storage order).
    bool flipI = false;
    FieldShape fieldShape = FieldShape::Realistic;
    /// Realistic field: phase cycles of the linear shim term across the field of view along
    /// `shimDirection` (world axes), the second-order term at the head's edge (Hz), the lobe
    /// above the sinuses and those beside the ear canals (Hz), and the phase noise (radians
    /// at full magnitude; outside the head the phase is uniform noise).
    double shimCycles = 2.0;
    std::array<double, 3> shimDirection{0.8, 0.3, 0.5};
    double quadraticHz = 40.0;
    double frontalLobeHz = 250.0;
    double temporalLobeHz = -110.0;
    double phaseNoise = 0.05;
    unsigned noiseSeed = 1;
    /// Simple field: largest field in the lobe and across the head, Hz.
    double lobeHz = 160.0;
    double gradientHz = 20.0;
    ForwardModel forwardModel = ForwardModel::Exact;
    /// Thermal noise of the distorted series: the standard deviation of complex Gaussian noise
    /// of which the series keeps the magnitude (the tissue's signal is 600-1000; 0: none). The
    /// truth stays noise-free.
    double seriesNoise = 0.0;
    /// The functional series on a grid of its own (dims[0] == 0: the field map's grid),
    /// rotated about x by `epiTiltDegrees` and centred at `epiCentreMm` in the world.
    std::array<int, 3> epiDims{0, 0, 0};
    float epiVoxelSize = 3.0f;
    std::array<float, 3> epiVoxelSizes{0, 0, 0};  ///< per axis when the first is above 0
    double epiTiltDegrees = 0.0;
    double epiTiltZDegrees = 0.0;  ///< then about z
    bool epiFlipI = false;         ///< functional series stored mirrored in i
    std::array<double, 3> epiCentreMm{0, 0, 0};
    /// Also make an anatomical image (half the field map's voxel size, covering it).
    bool anatomy = false;
    Generator generator = Generator::Analytic;
    SusceptibilityOptions susceptibility;
};

struct Phantom {
    PhantomOptions options;
    NiftiGeometry geometry;         ///< field map grid, 1 volume
    NiftiGeometry seriesGeometry;   ///< functional grid, `options.volumes` volumes
    NiftiGeometry anatomyGeometry;  ///< when `options.anatomy`
    std::vector<float> anatomy;
    std::vector<float> fieldHz;      ///< the true field
    std::vector<float> seriesShift;  ///< true shift on the functional grid, voxels (signed)
    std::vector<float> phase;        ///< wrapped phase difference, radians in [-pi, pi)
    std::vector<float> magnitude;
    /// Field map grid: where the noise-free magnitude passes the plug-in's mask threshold.
    std::vector<unsigned char> headMask;
    std::vector<float> truth;      ///< undistorted series
    std::vector<float> distorted;  ///< series distorted by the field
    std::vector<unsigned char>
        evaluationMask;  ///< functional grid: inside the head, away from its edge

    double bandwidthPE() const;  ///< Hz per pixel along phase encoding
    double effectiveEchoSpacing() const;
    double echoTimeDiffMs() const;
    /// Share of the head (magnitude above the plug-in's threshold) whose true phase lies
    /// beyond ±π, that is, where the measurement is wrapped.
    double wrappedFraction() const;
    /// The best the pixel-shift method can do: the distorted series resampled along phase
    /// encoding with the true shift map (linear interpolation, ends clamped).
    std::vector<float> idealSeries() const;
};

Phantom makePhantom(const PhantomOptions& options);

/// Root-mean-square difference of two series inside the mask (every volume), relative to the
/// RMS of `truth` there.
double relativeError(const std::vector<float>& series, const std::vector<float>& truth,
                     const std::vector<unsigned char>& mask);

/// Names of the files written by writePhantom, inside the folder.
struct PhantomFiles {
    std::string phase;      ///< sub-phantom_phasediff.nii.gz (+ .json)
    std::string magnitude;  ///< sub-phantom_magnitude1.nii.gz
    std::string bold;       ///< sub-phantom_task-rest_bold.nii.gz (+ .json)
    std::string truth;      ///< sub-phantom_task-rest_desc-truth_bold.nii.gz
    std::string fieldmap;   ///< sub-phantom_fieldmap.nii.gz (+ .json, Units Hz)
    std::string anatomy;    ///< sub-phantom_T1w.nii.gz, when made
};

/// Writes the phantom as a BIDS-like set with sidecars. The phase difference is stored as
/// 16-bit integers in scanner units (-4096 … 4095 for -pi … pi), like data from a scanner.
PhantomFiles writePhantom(const Phantom& phantom, const std::string& folder, Reporter* reporter);

}  // namespace ondrift::cli

#endif
