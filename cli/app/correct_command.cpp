#include "cli/app/correct_command.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <optional>

#include <nlohmann/json.hpp>

#include "binding/host_parameters.h"
#include "cli/app/correction_report.h"
#include "cli/app/pair_fieldmap.h"
#include "cli/base/errors.h"
#include "cli/base/output_folder.h"
#include "cli/base/reporter.h"
#include "cli/nifti/nifti_file.h"
#include "cli/session/document_import.h"
#include "cli/session/grid_checks.h"
#include "cli/session/plugin_session.h"
#include "cli/session/result_export.h"
#include "cli/session/scanner_position.h"
#include "host/project_files.h"
#include "host/standin.h"
#include "host/workspace.h"

namespace ondrift::cli {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// The plug-in masks the unwrapped phase where the magnitude is at most kMagnitudeThreshold (a
// fixed threshold in scanner units). A magnitude whose bright tissue lies below this would lose
// its whole field map, so `--magnitude-scale auto` brings the 98th percentile well above it.
constexpr float kAutoScaleBelow = 2.0f * static_cast<float>(kMagnitudeThreshold);
constexpr float kAutoScaleTarget = 1000.0f;

struct Input {
    std::string role;
    NiftiImage image;
    std::optional<Sidecar> sidecar;
    std::string document;  ///< name of its host document
    int index = -1;        ///< workspace index
    double seconds = 0;
};

std::string absolute(const std::string& p) {
    return p.empty() ? p : fs::absolute(p).lexically_normal().string();
}

std::string gridText(const NiftiGeometry& g) {
    char text[160];
    std::snprintf(text, sizeof text, "%dx%dx%d voxels of %.3gx%.3gx%.3g mm", g.nx(), g.ny(), g.nz(),
                  g.voxelSize()[0], g.voxelSize()[1], g.voxelSize()[2]);
    return text;
}

Input readInput(const std::string& role, const std::string& path, bool nanToZero,
                Reporter& reporter, const std::optional<Sidecar>& given = std::nullopt) {
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

/// A unique document name per input: its stem with ".fmr" / ".vmr".
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

}  // namespace

CorrectResult correctSeries(const CorrectOptions& o, Reporter& reporter) {
    const double start = reporter.elapsed();
    const std::string phasePath = absolute(o.phase);
    const std::string magnitudePath = absolute(o.magnitude);
    const std::string epiPath = absolute(o.epi);
    const std::string anatPath = absolute(o.anat);

    // Everything is read and checked before anything is written.
    OutputFolder out(o.out, o.overwrite, {phasePath, magnitudePath, epiPath, anatPath});
    std::vector<Input> inputs;
    inputs.push_back(readInput("phase", phasePath, o.nanToZero, reporter, o.phaseSidecar));
    const bool unwrap = o.flags.from == StartStep::Unwrap;
    if (!magnitudePath.empty() && unwrap) {
        inputs.push_back(
            readInput("magnitude", magnitudePath, o.nanToZero, reporter, o.magnitudeSidecar));
    }
    inputs.push_back(readInput("functional", epiPath, o.nanToZero, reporter, o.epiSidecar));
    if (!anatPath.empty())
        inputs.push_back(readInput("anatomical", anatPath, o.nanToZero, reporter));
    auto find = [&inputs](const std::string& role) -> Input* {
        for (auto& in : inputs)
            if (in.role == role) return &in;
        return nullptr;
    };
    Input& phase = *find("phase");
    Input& epi = *find("functional");
    Input* magnitude = find("magnitude");
    Input* anat = find("anatomical");

    if (phase.image.geometry.nt() > 1) {
        throw InputError(phase.image.path + ": has " + std::to_string(phase.image.geometry.nt()) +
                         " volumes; the start image must be a single volume");
    }
    if (magnitude != nullptr) {
        if (!magnitude->image.geometry.sameGrid(phase.image.geometry)) {
            throw InputError(
                magnitude->image.path + ": grid (" + gridText(magnitude->image.geometry) +
                ") differs from the phase image's (" + gridText(phase.image.geometry) + ")");
        }
        if (magnitude->image.geometry.nt() > 1) {
            reporter.warning(magnitude->image.path + ": has several volumes; the first is used");
        }
    }
    const NiftiGeometry& pg = phase.image.geometry;
    const NiftiGeometry& eg = epi.image.geometry;
    const bool sameDims = pg.nx() == eg.nx() && pg.ny() == eg.ny() && pg.nz() == eg.nz();
    const bool gridsDiffer = !eg.sameGrid(pg, 0.5);

    CorrectionFlags flags = o.flags;
    InputFacts facts;
    facts.epiDims[0] = eg.nx();
    facts.epiDims[1] = eg.ny();
    facts.epiDims[2] = eg.nz();
    facts.phaseDims[0] = pg.nx();
    facts.phaseDims[1] = pg.ny();
    facts.phaseDims[2] = pg.nz();
    const auto [lo, hi] = std::minmax_element(phase.image.data.begin(), phase.image.data.end());
    facts.phaseMin = *lo;
    facts.phaseMax = *hi;
    facts.haveAnat = anat != nullptr;
    facts.gridsDiffer = gridsDiffer;
    facts.haveMagnitude = !magnitudePath.empty();
    Sidecars sidecars{phase.sidecar, magnitude ? magnitude->sidecar : std::nullopt, epi.sidecar};
    CorrectionSettings settings = resolveSettings(flags, sidecars, facts, reporter);

    // Grids that differ are related by resampling the field map onto the functional grid, or,
    // when asked for, through the mapping branch. Without an anatomical image that branch uses
    // a sampling lattice of the host's own: the functional grid at half its voxel size (the
    // plug-in only samples the anatomical grid, it never reads its voxels).
    const bool resample = settings.resampleToFunctional.value == 1;
    const bool mapping = settings.mapToFunctional.value == 1;
    const bool lattice = mapping && anat == nullptr;
    if (!mapping && !resample && !sameDims) {
        throw InputError(epi.image.path + ": grid (" + gridText(eg) +
                         ") differs from the field map's (" + gridText(pg) +
                         "); --no-map needs the same grid");
    }
    if (!mapping && !resample && gridsDiffer) {
        reporter.warning(epi.image.path +
                         ": placed differently from the field map in the world; "
                         "with --no-map the shift map is applied voxel by voxel");
    }
    if (lattice) {
        reporter.warning(
            "the field map and the functional image lie on different grids; the shift "
            "map is carried over through a sampling lattice at half the functional "
            "voxel size (--anat gives an anatomical image instead)");
    }
    if (resample && anat != nullptr) {
        reporter.warning(anat->image.path +
                         ": not used; the field map is resampled onto the functional grid in "
                         "scanner coordinates (--map carries the shift map through it instead)");
    }
    if (resample && gridsDiffer) {
        reporter.detail("The field map is resampled onto the functional grid (" + gridText(eg) +
                        ")");
    }
    if (mapping && anat != nullptr) checkSamplingLattice(anat->image.geometry, eg, reporter);
    const float magScale =
        magnitude != nullptr ? magnitudeScale(o.magnitudeScale, *magnitude, reporter) : 1.0f;

    // The host's workspace, as the GUI would have it: the inputs open as documents.
    out.create();
    if (o.startImageIsOutput) {
        // A start image the command made (a field estimated from a pair) is a result too.
        const fs::path from(phasePath);
        const fs::path sidecar = from.parent_path() / (niftiStem(phasePath) + ".json");
        fs::copy_file(from, out.staging() / from.filename());
        if (fs::exists(sidecar)) fs::copy_file(sidecar, out.staging() / sidecar.filename());
    }
    auto& ws = standin::workspace();
    const double importStart = reporter.elapsed();
    reporter.step("Opening the images as host documents");
    if (settings.phaseToRadians.value == 0 && settings.from == StartStep::Unwrap &&
        isZeroToTwoPi(facts.phaseMin, facts.phaseMax)) {
        constexpr float kPi = 3.14159265358979f;
        for (float& v : phase.image.data) {
            if (v > kPi) v -= 2 * kPi;
        }
        reporter.warning(phase.image.path + ": phase values lie in 0..2pi; wrapped into -pi..pi");
    }
    // What the report and the polarity check need of the inputs, taken before the documents
    // take over their values.
    ReportSources sources;
    sources.mapping = mapping;
    sources.resample = resample;
    sources.startIsShift = settings.from == StartStep::Undistort;
    sources.bandwidthPE = settings.bandWidthPE.value;
    sources.startImage = firstVolume(pg, phase.image.data);
    sources.meanBefore = meanVolume(eg, epi.image.data);
    if (magnitude != nullptr) {
        sources.magnitude = firstVolume(magnitude->image.geometry, magnitude->image.data);
    }
    int vmrIndex = -1;
    // A second run (--pe-dir auto turning the sign round) starts again from fresh documents:
    // the plug-in may change the documents it is given, and the series' values moved into its
    // document are read from the file again.
    const auto openDocuments = [&]() {
        ws.clear();
        ws.outputDirectory = out.staging();
        // The plug-in's saves stay in the documents until it changes them again; project
        // files are written only when asked for.
        ws.keepSaveValues = false;
        ws.deferSaveValues = true;
        ws.deferredVolumes = [](const standin::SaveRecord& r) {
            return resultVolumes(r.fmrFileName, r.volumes);
        };
        ws.writeProjects = o.keepProjects;
        ws.quiet = true;
        std::map<std::string, int> used;
        phase.document = documentName(niftiStem(phase.image.path), ".fmr", used);
        phase.index = importFmr(phase.image, phase.document);
        if (magnitude != nullptr) {
            magnitude->document = documentName(niftiStem(magnitude->image.path), ".fmr", used);
            magnitude->index = importFmr(magnitude->image, magnitude->document, 1, magScale);
        }
        if (epi.image.data.empty()) {
            epi.image = readNifti(epiPath, ReadOptions{o.nanToZero}, nullptr);
        }
        epi.document = documentName(niftiStem(epi.image.path), ".fmr", used);
        epi.index = adoptFmr(epi.image, epi.document);
        if (anat != nullptr && mapping) {
            anat->document = documentName(niftiStem(anat->image.path), ".vmr", used);
            anat->index = vmrIndex = importVmr(anat->image, anat->document);
        } else if (lattice) {
            vmrIndex = addSamplingLattice(
                eg, documentName(niftiStem(epi.image.path) + "_lattice", ".vmr", used));
        }
    };
    openDocuments();
    const double importSeconds = reporter.elapsed() - importStart;
    // The documents hold the values now; only the geometry of the inputs is needed further on
    // (unless the sign may still turn round).
    const auto releaseInputs = [&inputs]() {
        for (auto& in : inputs) std::vector<float>().swap(in.image.data);
    };
    if (!settings.autoSign) releaseInputs();

    // "Start" as the GUI script sends it, with the picking dialogs answered in the order the
    // runner asks: start image, magnitude (Unwrap only), VMR (with mapping), EPI. Resampling
    // asks for no VMR.
    const double runStart = reporter.elapsed();
    PluginSession plugin(o.plugin, reporter);
    auto& session = standin::session();
    session.clearRecords();
    auto& p = session.parameters;
    p.setInt(parameter::kUnwrappingMethod, settings.unwrappingMethod.value);
    p.setInt(parameter::kNrOfIterationsRelax, settings.nrOfIterationsRelax.value);
    p.setFloat(parameter::kRegularisation, static_cast<float>(settings.regularisation.value));
    p.setInt(parameter::kNrOfVCycles, settings.nrOfVCycles.value);
    p.setInt(parameter::kNrOfIterations, settings.nrOfIterations.value);
    p.setInt(parameter::kPhaseToRadians, settings.phaseToRadians.value);
    p.setInt(parameter::kMaskLaplacian, settings.maskLaplacian.value);
    p.setFloat(parameter::kBandWidthPE, static_cast<float>(settings.bandWidthPE.value));
    p.setFloat(parameter::kEchoTimeDiff, static_cast<float>(settings.echoTimeDiffMs.value));
    p.setInt(parameter::kPhaseEncodingDir, settings.phaseEncodingDir.value);
    p.setInt(parameter::kApplyTwoPi, settings.applyTwoPi.value);
    p.setInt(parameter::kMapFieldmapToFunctional, settings.mapToFunctional.value);
    if (!settings.documentedChain) {
        p.setInt(parameter::kCongruentUnwrapping, settings.congruentUnwrapping.value);
        p.setInt(parameter::kResampleFieldmapToFunctional, settings.resampleToFunctional.value);
        p.setInt(parameter::kFieldMapConditioning, settings.fieldMapConditioning.value);
    }
    p.setString(parameter::kProcedure, startStepName(settings.from));
    p.setInt(parameter::kPerformAllSteps, 1);
    const auto runStartCommand = [&]() {
        session.answers.clear();
        session.answers.push_back(standin::DialogAnswer::withNumber(phase.index));
        if (magnitude != nullptr)
            session.answers.push_back(standin::DialogAnswer::withNumber(magnitude->index));
        if (vmrIndex >= 0) session.answers.push_back(standin::DialogAnswer::withNumber(vmrIndex));
        session.answers.push_back(standin::DialogAnswer::withNumber(epi.index));
        reporter.step("Running \"Start\" (" + std::string(startStepName(settings.from)) +
                      " and all later steps)");
        CommandOutcome outcome;
        {
            // The plug-in writes its AMR slice images into the working directory: beside the
            // projects when they are kept, else into a scratch folder that goes with the
            // staging.
            fs::path amrFolder = out.staging();
            if (!o.keepProjects) {
                amrFolder /= ".scratch";
                fs::create_directories(amrFolder);
            }
            WorkingDirectory inFolder(amrFolder);
            outcome = plugin.execute("Start");
        }
        if (!outcome.ok) {
            throw ProcessingError(
                "the plug-in reported: " + outcome.errorMessage +
                (reporter.verbosity() == Verbosity::Verbose ? "" : " (--verbose shows its log)"));
        }
    };
    runStartCommand();
    double runSeconds = reporter.elapsed() - runStart;

    // The polarity check: the mean functional image resampled with either sign against the
    // magnitude image. With --pe-dir auto a clearly better opposite sign is used instead.
    const double checkStart = reporter.elapsed();
    reporter.step("Checking the phase-encoding sign against the magnitude image");
    ShiftMaps shiftMaps = savedShiftMaps(sources);
    const Volume magnitudeEpi = magnitudeOnEpi(sources);
    PolarityCheck polarity =
        polarityOf(sources, shiftMaps, magnitudeEpi, settings.phaseEncodingDir.value);
    const double checkSeconds = reporter.elapsed() - checkStart;
    if (settings.autoSign && polarity.verdict == PolarityCheck::Verdict::OppositeBetter) {
        reporter.warning(polarityWarning(polarity, true));
        const int better = polarity.better();
        settings.phaseEncodingDir = {better, settings.phaseEncodingDir.source + ": " +
                                                 bidsDirection(better) + " matched better"};
        const double rerunStart = reporter.elapsed();
        for (const auto& entry : fs::directory_iterator(out.staging())) {
            fs::remove_all(entry.path());
        }
        openDocuments();
        releaseInputs();
        p.setInt(parameter::kPhaseEncodingDir, better);
        runStartCommand();
        runSeconds += reporter.elapsed() - rerunStart;
        shiftMaps = savedShiftMaps(sources);
        polarity = polarityOf(sources, shiftMaps, magnitudeEpi, better);
    } else if (settings.autoSign) {
        releaseInputs();
        settings.phaseEncodingDir.source += ": " + bidsDirection(settings.phaseEncodingDir.value) +
                                            (polarity.verdict == PolarityCheck::Verdict::Consistent
                                                 ? " matched better"
                                                 : " kept (the check could not decide)");
    } else if (polarity.verdict == PolarityCheck::Verdict::OppositeBetter) {
        reporter.warning(polarityWarning(polarity, false));
    }
    const std::string undistortedName =
        session.parameters.getString(parameter::kNameUndistortedFile);
    if (undistortedName.empty()) {
        throw ProcessingError(
            "the plug-in finished without an undistorted series (see the log "
            "with --verbose)");
    }

    // Every project saved, once (a later save under the same name replaced the earlier one).
    const double exportStart = reporter.elapsed();
    ExportSettings exportSettings;
    exportSettings.folder = out.staging();
    exportSettings.extension = o.outputType == "nii" ? ".nii" : ".nii.gz";
    exportSettings.projectsKept = o.keepProjects;
    for (const Input* in : {&phase, magnitude, &epi}) {
        if (in != nullptr) exportSettings.inputGeometry.emplace_back(in->index, in->image.geometry);
    }
    const ExportedResults exported = exportSaves(ws, exportSettings, reporter);
    fs::path corrected;
    for (std::size_t i = 0; i < exported.niftiNames.size(); ++i) {
        if (exported.outputs[i]["project"] == fs::path(undistortedName).filename().string()) {
            corrected = out.folder() / exported.niftiNames[i];
        }
    }
    json amr = json::array();
    if (o.keepProjects) {
        for (const auto& entry : fs::directory_iterator(out.staging())) {
            if (entry.path().extension() == ".amr") amr.push_back(entry.path().filename().string());
        }
        std::sort(amr.begin(), amr.end());
    }
    const double exportSeconds = reporter.elapsed() - exportStart;

    json summary;
    summary["command"] = "correct";
    summary["version"] = "1.1.0";
    summary["plugin"] = {{"path", plugin.libraryPath()}, {"name", plugin.pluginName()}};
    summary["inputs"] = json::object();
    for (const auto& in : inputs) summary["inputs"][in.role] = inputJson(in);
    if (magnitude != nullptr) summary["inputs"]["magnitude"]["scale"] = magScale;
    if (lattice) {
        summary["inputs"]["anatomical"] = {
            {"samplingLattice", "the functional grid at half its voxel size"}};
    }
    summary["parameters"] = settings.toJson();
    if (!o.fieldMapSource.is_null()) summary["fieldMapSource"] = o.fieldMapSource;
    summary["result"] = {{parameter::kErrorNr, 0},
                         {parameter::kNameUndistortedFile, undistortedName},
                         {"corrected", corrected.filename().string()}};
    const double reportStart = reporter.elapsed();
    ReportContent report =
        reportContent(niftiStem(epi.image.path), sources, shiftMaps, magnitudeEpi,
                      savedMean(fs::path(undistortedName).filename().string(), sources.meanBefore),
                      polarity, settings.phaseEncodingDir.value);
    if (o.pairField) report.pair = pairPictures(*o.pairField);
    summary["polarityCheck"] = polarity.toJson();
    summary["shifts"] = report.shifts.toJson();
    if (!o.noReport) summary["report"] = reportFileName(report.title);
    summary["outputs"] = exported.outputs;
    summary["amr"] = amr;
    summary["log"] = plugin.log();
    summary["warnings"] = reporter.warnings();
    summary["timings"] = {
        {"readSeconds", importStart - start},   {"importSeconds", importSeconds},
        {"pluginSeconds", runSeconds},          {"exportSeconds", exportSeconds},
        {"polarityCheckSeconds", checkSeconds}, {"totalSeconds", reporter.elapsed() - start}};
    fs::path reportPath;
    report.summary = summary;
    if (!o.noReport) {
        reporter.step("Writing the report " + reportFileName(report.title));
        reportPath = out.folder() / writeReport(out.staging(), report).filename();
        summary["timings"]["reportSeconds"] = reporter.elapsed() - reportStart;
        summary["timings"]["totalSeconds"] = reporter.elapsed() - start;
    }
    writeFileAtomically(out.staging() / "ondrift.json", summary.dump(2) + "\n");

    CorrectResult result;
    result.files = out.commit();
    result.correctedNifti = corrected;
    result.report = reportPath;
    result.polarity = polarity;
    result.indexEntry = indexEntry(report, reportPath.filename().string());
    result.seconds = reporter.elapsed() - start;
    ws.clear();
    return result;
}

int runCorrect(const CorrectOptions& options, Reporter& reporter) {
    if (options.pair.empty() && options.phase.empty()) {
        throw InputError(
            "give the field map with --phase, or a reverse phase-encoding pair with "
            "--pair");
    }
    const CorrectResult result = options.pair.empty() ? correctSeries(options, reporter)
                                                      : correctWithPair(options, reporter);
    reporter.step("Done: " + std::to_string(result.files.size()) + " files in " + options.out);
    if (reporter.verbosity() != Verbosity::Quiet) {
        std::printf("%s\n", result.correctedNifti.string().c_str());
    }
    return kExitSuccess;
}

}  // namespace ondrift::cli
