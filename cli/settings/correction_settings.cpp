#include "cli/settings/correction_settings.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include "binding/host_parameters.h"

#include "cli/base/errors.h"
#include "cli/base/reporter.h"

namespace ondrift::cli {

namespace {

// Defaults for a user who gives only the data: multigrid unwrapping with the quality mask,
// field maps in cycles (no extra 2π).
constexpr int kDefaultVCycles = 2;
constexpr int kDefaultIterations = 4;
constexpr int kDefaultIterationsRelax = 300;
constexpr double kDefaultRegularisation = 0.0;
constexpr double kPi = 3.14159265358979;
// Echo-time differences of field maps lie within this range (ms); anything else is almost
// certainly a unit mistake (s or µs).
constexpr double kEchoTimeDiffMinMs = 0.5;
constexpr double kEchoTimeDiffMaxMs = 20.0;
// An effective echo spacing above 5 ms (or a readout above half a second) is no EPI readout:
// the value was given in ms where seconds belong.
constexpr double kMaxEchoSpacing = 0.005;
constexpr double kMaxReadoutTime = 0.5;
// A wrapped phase difference spans -pi..pi wherever there is noise; less than this share of
// the full turn means the image is something else.
constexpr double kMinPhaseSpan = 0.75;
// Two sidecar values that should be equal are taken as equal within this relative tolerance.
constexpr double kRelativeTolerance = 0.01;

std::string sidecarName(const Sidecar& s) {
    return std::filesystem::path(s.path).filename().string();
}

std::string fromSidecar(const Sidecar& s, const std::string& keys) {
    return "sidecar " + sidecarName(s) + " (" + keys + ")";
}

// Values that are plausible only in another unit stop the run, unless the user insists.
void unitProblem(const std::string& message, bool force, Reporter& reporter) {
    if (force) {
        reporter.warning(message + " (going on: --force)");
        return;
    }
    throw InputError(message + "; --force goes on anyway");
}

std::string number(double value) {
    char text[48];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

void requireRange(const std::string& flag, double value, double low, double high) {
    if (!std::isfinite(value) || value < low || value > high) {
        throw InputError(flag + " must lie between " + std::to_string(low) + " and " +
                         std::to_string(high));
    }
}

Setting<int> flagOr(const std::optional<bool>& flag, const std::string& name, int fallback) {
    if (flag) return {*flag ? 1 : 0, "flag " + name};
    return {fallback, "default"};
}

void resolveMethod(const CorrectionFlags& f, CorrectionSettings& s, Reporter& reporter) {
    if (f.method) {
        if (*f.method == "multigrid") {
            s.unwrappingMethod = {1, "flag --method"};
        } else if (*f.method == "relaxation") {
            s.unwrappingMethod = {0, "flag --method"};
        } else {
            throw InputError("--method must be multigrid or relaxation, not \"" + *f.method + "\"");
        }
    } else {
        s.unwrappingMethod = {1, "default"};
    }
    const bool multigrid = s.unwrappingMethod.value != 0;
    if (f.vcycles) requireRange("--vcycles", *f.vcycles, 0, 1000);
    if (f.iterations) requireRange("--iterations", *f.iterations, 0, 100000);
    if (f.iterationsRelax) requireRange("--relax-iterations", *f.iterationsRelax, 0, 10000000);
    if (f.regularisation) requireRange("--regularisation", *f.regularisation, 0, 1e12);
    s.nrOfVCycles = f.vcycles ? Setting<int>{*f.vcycles, "flag --vcycles"}
                              : Setting<int>{kDefaultVCycles, "default"};
    s.nrOfIterations = f.iterations ? Setting<int>{*f.iterations, "flag --iterations"}
                                    : Setting<int>{kDefaultIterations, "default"};
    s.nrOfIterationsRelax = f.iterationsRelax
                                ? Setting<int>{*f.iterationsRelax, "flag --relax-iterations"}
                                : Setting<int>{kDefaultIterationsRelax, "default"};
    s.regularisation = f.regularisation
                           ? Setting<double>{*f.regularisation, "flag --regularisation"}
                           : Setting<double>{kDefaultRegularisation, "default"};
    s.maskLaplacian = flagOr(f.maskLaplacian, "--mask-laplacian", 1);
    if (s.from != StartStep::Unwrap) return;
    if (multigrid && (f.iterationsRelax || f.regularisation)) {
        reporter.warning(
            "--relax-iterations and --regularisation apply to --method relaxation only");
    }
    if (!multigrid && (f.vcycles || f.iterations || f.maskLaplacian)) {
        reporter.warning(
            "--vcycles, --iterations and --mask-laplacian apply to --method multigrid only");
    }
}

// The axis from the sidecar; the sign there (or + when only the axis is given) is the first
// guess, which the polarity check may turn round.
void resolveAutoDirection(const Sidecars& sc, CorrectionSettings& s) {
    s.autoSign = true;
    if (sc.epi) {
        if (auto v = sc.epi->text("PhaseEncodingDirection")) {
            s.phaseEncodingDir = {directionCode(*v, sc.epi->path),
                                  "--pe-dir auto: axis from " +
                                      fromSidecar(*sc.epi, "PhaseEncodingDirection") +
                                      ", sign from the polarity check"};
            return;
        }
        if (auto v = sc.epi->text("PhaseEncodingAxis")) {
            s.phaseEncodingDir = {directionCode(*v, sc.epi->path),
                                  "--pe-dir auto: axis from " +
                                      fromSidecar(*sc.epi, "PhaseEncodingAxis") +
                                      ", sign from the polarity check"};
            return;
        }
    }
    throw InputError(
        "--pe-dir auto needs the phase-encoding axis: PhaseEncodingDirection or "
        "PhaseEncodingAxis in the functional image's sidecar (or give --pe-dir i, i-, j, j-, k "
        "or k-)");
}

void resolveDirection(const CorrectionFlags& f, const Sidecars& sc, CorrectionSettings& s,
                      Reporter& reporter) {
    std::optional<int> fromFile;
    if (sc.epi) {
        if (auto v = sc.epi->text("PhaseEncodingDirection")) {
            fromFile = directionCode(*v, sc.epi->path);
        } else if (!f.peDirection && sc.epi->text("PhaseEncodingAxis")) {
            throw InputError(sc.epi->path +
                             ": PhaseEncodingAxis gives no polarity; give --pe-dir "
                             "(i, i-, j, j-, k or k-)");
        }
    }
    if (f.peDirection && *f.peDirection == "auto") {
        resolveAutoDirection(sc, s);
    } else if (f.peDirection) {
        s.phaseEncodingDir = {directionCode(*f.peDirection, "--pe-dir"), "flag --pe-dir"};
        if (fromFile && *fromFile != s.phaseEncodingDir.value) {
            reporter.warning("--pe-dir " + bidsDirection(s.phaseEncodingDir.value) +
                             " overrides PhaseEncodingDirection " + bidsDirection(*fromFile) +
                             " of " + sc.epi->path);
        }
    } else if (fromFile) {
        s.phaseEncodingDir = {*fromFile, fromSidecar(*sc.epi, "PhaseEncodingDirection")};
    } else {
        throw InputError(
            "missing phase-encoding direction: give --pe-dir (i, i-, j, j-, k, k-) or "
            "PhaseEncodingDirection in the functional image's sidecar");
    }
}

void resolveEchoTime(const CorrectionFlags& f, const Sidecars& sc, CorrectionSettings& s,
                     Reporter& reporter, bool needed) {
    std::optional<double> fromFile;
    if (sc.phase) {
        const auto te1 = sc.phase->number("EchoTime1");
        const auto te2 = sc.phase->number("EchoTime2");
        if (te1.has_value() != te2.has_value()) {
            throw InputError(sc.phase->path + ": has only one of EchoTime1 and EchoTime2");
        }
        if (te1) {
            if (!(*te2 > *te1)) {
                throw InputError(sc.phase->path + ": EchoTime2 must be larger than EchoTime1");
            }
            fromFile = (*te2 - *te1) * 1000.0;
        }
    }
    if (f.echoTimeDiffMs) {
        requireRange("--echo-time-diff", *f.echoTimeDiffMs, 1e-6, 1e6);
        s.echoTimeDiffMs = {*f.echoTimeDiffMs, "flag --echo-time-diff"};
        if (fromFile && std::fabs(*fromFile - *f.echoTimeDiffMs) > 1e-6 * *fromFile) {
            reporter.warning("--echo-time-diff overrides the echo times of " + sc.phase->path);
        }
        if (!needed)
            reporter.warning("--echo-time-diff is not used when starting from a field map");
    } else if (fromFile) {
        s.echoTimeDiffMs = {*fromFile, fromSidecar(*sc.phase, "EchoTime2 - EchoTime1")};
    } else if (needed) {
        throw InputError(
            "missing echo-time difference: give --echo-time-diff MS or EchoTime1 and "
            "EchoTime2 in the phase image's sidecar");
    } else {
        s.echoTimeDiffMs = {0.0, "not used"};
        return;
    }
    const double te = s.echoTimeDiffMs.value;
    if (needed && (te < kEchoTimeDiffMinMs || te > kEchoTimeDiffMaxMs)) {
        const bool flag = f.echoTimeDiffMs.has_value();
        std::string hint;
        if (te > kEchoTimeDiffMaxMs) {
            hint = flag ? "--echo-time-diff takes milliseconds; was it given in microseconds?"
                        : "EchoTime1 and EchoTime2 must be in seconds; were they given in "
                          "milliseconds?";
        } else {
            hint = flag ? "--echo-time-diff takes milliseconds; was it given in seconds?"
                        : "EchoTime1 and EchoTime2 must be in seconds; were they given in "
                          "another unit, or are they the same echo?";
        }
        unitProblem("the echo-time difference of " + number(te) + " ms (" +
                        s.echoTimeDiffMs.source + ") lies outside " + number(kEchoTimeDiffMinMs) +
                        " to " + number(kEchoTimeDiffMaxMs) + " ms: " + hint,
                    f.force, reporter);
    }
}

void checkEchoSpacing(double seconds, const std::string& source, bool force, Reporter& reporter) {
    if (seconds <= kMaxEchoSpacing) return;
    unitProblem("the effective echo spacing of " + number(seconds) + " s (" + source +
                    ") is above 5 ms: it was probably given in milliseconds; BIDS and the flag "
                    "take seconds (" +
                    number(seconds / 1000.0) + ")",
                force, reporter);
}

void checkReadoutTime(double seconds, const std::string& source, bool force, Reporter& reporter) {
    if (seconds <= kMaxReadoutTime) return;
    unitProblem("the total readout time of " + number(seconds) + " s (" + source +
                    ") is above 0.5 s: it was probably given in milliseconds; BIDS and the flag "
                    "take seconds (" +
                    number(seconds / 1000.0) + ")",
                force, reporter);
}

// Where there is noise (outside the head) a wrapped phase difference takes every angle, so
// its values span a full turn: -pi..pi in radians, or the scanner's whole range, which the
// plug-in maps onto -pi..pi. A narrower span means another kind of image.
void checkPhaseSpan(const InputFacts& facts, const CorrectionSettings& s, bool force,
                    Reporter& reporter) {
    const double span = double(facts.phaseMax) - double(facts.phaseMin);
    const double full = s.phaseToRadians.value != 0 ? std::max(0.0, double(facts.phaseMax)) -
                                                          std::min(0.0, double(facts.phaseMin))
                                                    : 2 * kPi;
    if (!(full > 0) || span >= kMinPhaseSpan * full) return;
    unitProblem("the phase difference spans " + number(span) + " (" + number(facts.phaseMin) +
                    " to " + number(facts.phaseMax) + "), " + number(100.0 * span / full) +
                    " % of a full turn; a wrapped phase difference spans about 2 pi. Is it "
                    "already unwrapped (--from ComputeB0), a field map in Hz (--from "
                    "ComputePxshift), or not a phase image?",
                force, reporter);
}

void resolveBandwidth(const CorrectionFlags& f, const Sidecars& sc, const InputFacts& facts,
                      CorrectionSettings& s, Reporter& reporter, bool needed) {
    const int given =
        (f.bandWidthPE ? 1 : 0) + (f.effectiveEchoSpacing ? 1 : 0) + (f.totalReadoutTime ? 1 : 0);
    if (given > 1) {
        throw InputError(
            "give only one of --bandwidth-pe, --effective-echo-spacing and "
            "--total-readout-time");
    }
    const int axis = directionAxis(s.phaseEncodingDir.value);
    const int nPE = facts.epiDims[axis];
    const std::string nText = "N_PE = " + std::to_string(nPE);
    if (f.bandWidthPE) {
        requireRange("--bandwidth-pe", *f.bandWidthPE, 1e-6, 1e9);
        s.bandWidthPE = {*f.bandWidthPE, "flag --bandwidth-pe"};
    } else if (f.effectiveEchoSpacing) {
        requireRange("--effective-echo-spacing", *f.effectiveEchoSpacing, 1e-9, 10);
        checkEchoSpacing(*f.effectiveEchoSpacing, "flag --effective-echo-spacing", f.force,
                         reporter);
        s.bandWidthPE = {bandwidthFromEchoSpacing(*f.effectiveEchoSpacing, nPE),
                         "derived from flag --effective-echo-spacing, " + nText};
    } else if (f.totalReadoutTime) {
        requireRange("--total-readout-time", *f.totalReadoutTime, 1e-9, 10);
        checkReadoutTime(*f.totalReadoutTime, "flag --total-readout-time", f.force, reporter);
        if (nPE < 2)
            throw InputError("--total-readout-time needs at least 2 voxels along phase encoding");
        s.bandWidthPE = {bandwidthFromReadoutTime(*f.totalReadoutTime, nPE),
                         "derived from flag --total-readout-time, " + nText};
    } else if (sc.epi &&
               (sc.epi->number("EffectiveEchoSpacing") || sc.epi->number("TotalReadoutTime"))) {
        const auto ees = sc.epi->number("EffectiveEchoSpacing");
        const auto trt = sc.epi->number("TotalReadoutTime");
        if (ees && !(*ees > 0))
            throw InputError(sc.epi->path + ": EffectiveEchoSpacing must be positive");
        if (trt && !(*trt > 0))
            throw InputError(sc.epi->path + ": TotalReadoutTime must be positive");
        if (ees) {
            checkEchoSpacing(*ees, fromSidecar(*sc.epi, "EffectiveEchoSpacing"), f.force, reporter);
        }
        if (trt) {
            checkReadoutTime(*trt, fromSidecar(*sc.epi, "TotalReadoutTime"), f.force, reporter);
        }
        // BIDS counts N_PE - 1 echo spacings in the readout; some tools count N_PE. Either
        // agrees; the bandwidth then comes from the echo spacing.
        const auto agrees = [&](int n) {
            return std::fabs(*ees * n - *trt) <= kRelativeTolerance * *trt;
        };
        if (ees && trt && !agrees(nPE - 1) && !agrees(nPE)) {
            unitProblem(sc.epi->path + ": EffectiveEchoSpacing " + number(*ees) +
                            " s and TotalReadoutTime " + number(*trt) + " s disagree for " + nText +
                            " (TotalReadoutTime should be EffectiveEchoSpacing * (N_PE - 1) = " +
                            number(*ees * (nPE - 1)) +
                            " s): is one in the wrong unit, or the image cropped or "
                            "interpolated along phase encoding? Give --bandwidth-pe, or --force to "
                            "use EffectiveEchoSpacing",
                        f.force, reporter);
        }
        if (ees) {
            s.bandWidthPE = {
                bandwidthFromEchoSpacing(*ees, nPE),
                "derived from " + fromSidecar(*sc.epi, "EffectiveEchoSpacing") + ", " + nText};
        } else {
            if (nPE < 2)
                throw InputError(sc.epi->path + ": TotalReadoutTime needs N_PE of at least 2");
            s.bandWidthPE = {
                bandwidthFromReadoutTime(*trt, nPE),
                "derived from " + fromSidecar(*sc.epi, "TotalReadoutTime") + ", " + nText};
        }
        if (auto recon = sc.epi->number("ReconMatrixPE");
            recon && static_cast<int>(*recon) != nPE) {
            reporter.warning(sc.epi->path + ": ReconMatrixPE " +
                             std::to_string(static_cast<int>(*recon)) +
                             " differs from the image's " + nText + "; the image's size is used");
        }
    } else if (needed) {
        throw InputError(
            "missing bandwidth: give --bandwidth-pe HZ, --effective-echo-spacing S or "
            "--total-readout-time S, or EffectiveEchoSpacing/TotalReadoutTime in the "
            "functional image's sidecar");
    } else {
        s.bandWidthPE = {0.0, "not used"};
        return;
    }
    if (!needed && given > 0)
        reporter.warning("the bandwidth is not used when starting from a pixel shift map");
    if (!std::isfinite(s.bandWidthPE.value) || !(s.bandWidthPE.value > 0)) {
        throw InputError("the bandwidth per pixel is not a positive number");
    }
}

}  // namespace

bool isZeroToTwoPi(float minimum, float maximum) {
    return minimum >= -1e-3 && maximum > kPi + 1e-3 && maximum <= 2 * kPi + 1e-3;
}

StartStep parseStartStep(const std::string& text) {
    namespace step = parameter::procedure;
    if (text == step::kUnwrap) return StartStep::Unwrap;
    if (text == step::kComputeB0) return StartStep::ComputeB0;
    if (text == step::kComputePxshift) return StartStep::ComputePxshift;
    if (text == step::kUndistort) return StartStep::Undistort;
    throw InputError("--from must be Unwrap, ComputeB0, ComputePxshift or Undistort, not \"" +
                     text + "\"");
}

const char* startStepName(StartStep step) {
    switch (step) {
        case StartStep::Unwrap: return parameter::procedure::kUnwrap;
        case StartStep::ComputeB0: return parameter::procedure::kComputeB0;
        case StartStep::ComputePxshift: return parameter::procedure::kComputePxshift;
        case StartStep::Undistort: return parameter::procedure::kUndistort;
    }
    return parameter::procedure::kUnwrap;
}

CorrectionSettings resolveSettings(const CorrectionFlags& flags, const Sidecars& sidecars,
                                   const InputFacts& facts, Reporter& reporter) {
    CorrectionSettings s;
    s.from = flags.from;
    const bool unwrap = s.from == StartStep::Unwrap;
    const bool fieldMap = s.from == StartStep::Unwrap || s.from == StartStep::ComputeB0;
    const bool shifts = s.from != StartStep::Undistort;

    if (unwrap && !facts.haveMagnitude) {
        throw InputError("missing --magnitude: unwrapping needs the magnitude image");
    }
    if (!unwrap && facts.haveMagnitude) {
        reporter.warning("--magnitude is not used when starting from " +
                         std::string(startStepName(s.from)));
    }
    if (flags.map && *flags.map && !facts.haveAnat && !facts.gridsDiffer) {
        throw InputError(
            "--map needs an anatomical image (--anat): the field map and the "
            "functional image share their grid");
    }
    if (flags.map && !*flags.map && facts.haveAnat) {
        throw InputError("--anat and --no-map contradict each other");
    }
    if (flags.resample && *flags.resample && flags.map) {
        throw InputError(std::string("--resample and ") + (*flags.map ? "--map" : "--no-map") +
                         " contradict each other");
    }
    // Grids that differ are related by resampling the field map in scanner coordinates unless
    // the user asks for the anatomical mapping (--map) or for none (--no-map).
    if (flags.documentedChain && flags.resample && *flags.resample) {
        throw InputError(
            "--documented-chain runs the host's chain as documented; it cannot be combined "
            "with --resample");
    }
    if (flags.documentedChain) {
        s.resampleToFunctional = {0, "flag --documented-chain"};
    } else if (flags.resample) {
        s.resampleToFunctional = {*flags.resample ? 1 : 0,
                                  *flags.resample ? "flag --resample" : "flag --no-resample"};
    } else if (facts.gridsDiffer && !flags.map) {
        s.resampleToFunctional = {
            1, "derived: the field map and the functional image lie on different grids"};
    } else {
        s.resampleToFunctional = {
            0, flags.map ? (*flags.map ? "flag --map" : "flag --no-map") : "default: same grid"};
    }
    if (s.resampleToFunctional.value == 1) {
        s.mapToFunctional = {0, "not used: the field map is resampled onto the functional grid"};
    } else if (facts.haveAnat) {
        s.mapToFunctional = {1, flags.map ? "flag --map" : "derived: --anat given"};
    } else if (facts.gridsDiffer && !(flags.map && !*flags.map)) {
        s.mapToFunctional = {
            1, "derived: the field map and the functional image lie on different grids"};
    } else {
        s.mapToFunctional = {0, flags.map ? "flag --no-map" : "default"};
    }

    // A field map given instead of a phase difference (BIDS "fieldmap" images carry Units).
    if (sidecars.phase) {
        if (const auto units = sidecars.phase->text("Units")) {
            const bool hertz = *units == "Hz";
            const bool radPerSecond = *units == "rad/s";
            if ((hertz || radPerSecond) &&
                (s.from == StartStep::Unwrap || s.from == StartStep::ComputeB0)) {
                throw InputError(sidecars.phase->path + ": the start image is a field map in " +
                                 *units + "; give --from ComputePxshift" +
                                 (radPerSecond ? " (with --apply-two-pi)" : ""));
            }
            if (radPerSecond && s.from == StartStep::ComputePxshift && !flags.applyTwoPi) {
                s.applyTwoPi = {1, "derived: " + sidecars.phase->path + " has Units rad/s"};
            }
        }
    }
    resolveMethod(flags, s, reporter);
    if (flags.phaseToRadians) {
        s.phaseToRadians = {*flags.phaseToRadians ? 1 : 0, "flag --phase-to-radians"};
    } else if (isZeroToTwoPi(facts.phaseMin, facts.phaseMax)) {
        s.phaseToRadians = {0, "derived: phase values in 0..2pi, wrapped into -pi..pi on import"};
    } else if (facts.phaseMin < -kPi - 1e-3 || facts.phaseMax > kPi + 1e-3) {
        s.phaseToRadians = {1, "derived: phase values outside -pi..pi"};
    } else {
        s.phaseToRadians = {0, "derived: phase values within -pi..pi"};
    }
    if (s.applyTwoPi.source.empty()) s.applyTwoPi = flagOr(flags.applyTwoPi, "--apply-two-pi", 0);
    resolveDirection(flags, sidecars, s, reporter);
    if (unwrap) checkPhaseSpan(facts, s, flags.force, reporter);
    resolveEchoTime(flags, sidecars, s, reporter, fieldMap);
    resolveBandwidth(flags, sidecars, facts, s, reporter, shifts);
    resolveAccuracy(flags, facts, s, reporter);
    return s;
}

nlohmann::json CorrectionSettings::toJson() const {
    nlohmann::json j = nlohmann::json::object();
    auto put = [&j](const char* name, const auto& setting) {
        j[name] = {{"value", setting.value}, {"source", setting.source}};
    };
    j[parameter::kProcedure] = {{"value", startStepName(from)}, {"source", "--from"}};
    j[parameter::kPerformAllSteps] = {{"value", 1}, {"source", "fixed"}};
    put(parameter::kUnwrappingMethod, unwrappingMethod);
    put(parameter::kNrOfIterationsRelax, nrOfIterationsRelax);
    put(parameter::kRegularisation, regularisation);
    put(parameter::kNrOfVCycles, nrOfVCycles);
    put(parameter::kNrOfIterations, nrOfIterations);
    put(parameter::kPhaseToRadians, phaseToRadians);
    put(parameter::kMaskLaplacian, maskLaplacian);
    put(parameter::kBandWidthPE, bandWidthPE);
    put(parameter::kEchoTimeDiff, echoTimeDiffMs);
    put(parameter::kPhaseEncodingDir, phaseEncodingDir);
    put(parameter::kApplyTwoPi, applyTwoPi);
    put(parameter::kMapFieldmapToFunctional, mapToFunctional);
    if (!documentedChain) {
        put(parameter::kCongruentUnwrapping, congruentUnwrapping);
        put(parameter::kResampleFieldmapToFunctional, resampleToFunctional);
        put(parameter::kFieldMapConditioning, fieldMapConditioning);
    }
    return j;
}

}  // namespace ondrift::cli
