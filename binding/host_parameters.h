// The host parameters through which a host and the plug-in talk, and the values they agree on.
//
// A host sets these parameters before a command and reads the plug-in's answers from them, so a
// name spelled differently on one side is a parameter the other never sees. Both sides include
// this header (the plug-in, the stand-in host's command), as they do host_abi.h. Constants only:
// it includes nothing, so every layer may use it.
#ifndef ONDRIFT_BINDING_HOST_PARAMETERS_H
#define ONDRIFT_BINDING_HOST_PARAMETERS_H

namespace ondrift {

namespace parameter {

// Every command.
inline constexpr char kCommand[] = "Command";
inline constexpr char kErrorNr[] = "ErrorNr";
inline constexpr char kErrorMsg[] = "ErrorMsg";

// What "Start" reads.
inline constexpr char kProcedure[] = "Procedure";
inline constexpr char kPerformAllSteps[] = "PerformAllSteps";
inline constexpr char kUnwrappingMethod[] = "UnwrappingMethod";
inline constexpr char kNrOfIterationsRelax[] = "NrOfIterationsRelax";
inline constexpr char kRegularisation[] = "Regularisation";
inline constexpr char kNrOfVCycles[] = "NrOfVCycles";
inline constexpr char kNrOfIterations[] = "NrOfIterations";
inline constexpr char kPhaseToRadians[] = "PhaseToRadians";
inline constexpr char kMaskLaplacian[] = "MaskLaplacian";
inline constexpr char kBandWidthPE[] = "BandWidthPE";
inline constexpr char kEchoTimeDiff[] = "EchoTimeDiff";
inline constexpr char kPhaseEncodingDir[] = "PhaseEncodingDir";
inline constexpr char kApplyTwoPi[] = "ApplyTwoPi";
inline constexpr char kMapFieldmapToFunctional[] = "mapFieldmapToFunctional";
// Beyond the documented chain: absent or 0 keeps it as documented.
inline constexpr char kCongruentUnwrapping[] = "CongruentUnwrapping";
inline constexpr char kResampleFieldmapToFunctional[] = "ResampleFieldmapToFunctional";
inline constexpr char kFieldMapConditioning[] = "FieldMapConditioning";
inline constexpr char kIntensityModulation[] = "IntensityModulation";
// 1: the chain keeps the shift map it undistorts with (in double precision) for later calls;
// 2 with "Procedure" "Undistort": the picked EPI is undistorted with that kept map, no start
// image is asked for. A host corrects a long series in blocks of volumes this way, with the
// very shifts of a whole-series run.
inline constexpr char kKeepPixelShiftMap[] = "KeepPixelShiftMap";
// 1, with "KeepPixelShiftMap" 2: the undistortion saves and names its project as always but
// logs no statistics texts (of the EPI picked, distorted or undistorted) and saves no AMR slice
// images, which a host correcting in blocks would only throw away: it sums the whole series'
// figures itself.
inline constexpr char kLeanUndistortion[] = "LeanUndistortion";

// The values of "Procedure": the step "Start" begins with.
namespace procedure {
inline constexpr char kUnwrap[] = "Unwrap";
inline constexpr char kComputeB0[] = "ComputeB0";
inline constexpr char kComputePxshift[] = "ComputePxshift";
inline constexpr char kUndistort[] = "Undistort";
}  // namespace procedure

// What "Start" sets.
inline constexpr char kNameUndistortedFile[] = "NameUndistortedFile";

}  // namespace parameter

/// The magnitude (scanner units) above which a voxel is inside every mask of the chain: the
/// unwrapping's, the conditioning's and the resampling's. A host whose magnitude lies below it
/// loses the field map, so it must scale such images up.
inline constexpr double kMagnitudeThreshold = 200.0;

/// The values of "FieldMapConditioning": how the unwrapped phase becomes a field map.
enum class Conditioning {
    Documented = 0,    ///< the 3×3 slice smoothing, then twice more on the field map
    MaskedBox = 1,     ///< one 3×3 pass inside the mask, normalised; extrapolated beyond
    MaskedRange = 2,   ///< the same, range-weighted (edge preserving); extrapolated beyond
    Extrapolated = 3,  ///< no smoothing; extrapolated beyond the mask
    Quadratic = 4,     ///< extrapolated beyond the mask, then local quadratic fits in 3-D
    Estimated = 5      ///< the smooth field that fits the measurement within its noise
};

/// The name a host shows for each conditioning, in the order of the codes.
inline constexpr const char* kConditioningNames[] = {"documented", "box",       "range",
                                                     "none",       "quadratic", "estimated"};

// The values of "PhaseEncodingDir": 1…6 for +x, −x, +y, −y, +z, −z of the voxel grid (x the
// first index). A positive direction moves a voxel's source by +shift along its axis.

/// True for the direction codes 1…6.
constexpr bool isDirectionCode(int code) { return code >= 1 && code <= 6; }
/// The voxel axis of a direction code: 0 (x), 1 (y) or 2 (z).
constexpr int directionAxis(int code) { return (code - 1) / 2; }
/// True for the positive directions (codes 1, 3, 5).
constexpr bool isPositiveDirection(int code) { return code % 2 == 1; }
/// The opposite direction on the same axis (1 ↔ 2, 3 ↔ 4, 5 ↔ 6).
constexpr int oppositeDirection(int code) {
    return isPositiveDirection(code) ? code + 1 : code - 1;
}

}  // namespace ondrift

#endif
