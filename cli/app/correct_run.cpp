// The phases of `ondrift correct` from the plug-in's run on: run, check the sign, export,
// summarise.
#include "cli/app/series_correction.h"

#include <algorithm>

#include "binding/host_parameters.h"
#include "cli/app/pair_fieldmap.h"
#include "cli/base/errors.h"
#include "cli/base/memory_budget.h"
#include "cli/base/reporter.h"
#include "cli/base/version.h"
#include "cli/bids/displacement_field.h"
#include "cli/bids/fieldmap_derivatives.h"
#include "cli/nifti/nifti_file.h"
#include "host/standin.h"
#include "host/workspace.h"

namespace ondrift::cli {

namespace fs = std::filesystem;
using nlohmann::json;

void SeriesCorrection::runPlugin() {
    const double runStart = reporter_.elapsed();
    plugin_.emplace(o_.plugin, reporter_);
    standin::session().clearRecords();
    setStartParameters();
    runStartCommand();
    runSeconds_ = reporter_.elapsed() - runStart;
}

void SeriesCorrection::setStartParameters() {
    const CorrectionSettings& s = settings_;
    auto& p = standin::session().parameters;
    p.setInt(parameter::kUnwrappingMethod, s.unwrappingMethod.value);
    p.setInt(parameter::kNrOfIterationsRelax, s.nrOfIterationsRelax.value);
    p.setFloat(parameter::kRegularisation, static_cast<float>(s.regularisation.value));
    p.setInt(parameter::kNrOfVCycles, s.nrOfVCycles.value);
    p.setInt(parameter::kNrOfIterations, s.nrOfIterations.value);
    p.setInt(parameter::kPhaseToRadians, s.phaseToRadians.value);
    p.setInt(parameter::kMaskLaplacian, s.maskLaplacian.value);
    p.setFloat(parameter::kBandWidthPE, static_cast<float>(s.bandWidthPE.value));
    p.setFloat(parameter::kEchoTimeDiff, static_cast<float>(s.echoTimeDiffMs.value));
    p.setInt(parameter::kPhaseEncodingDir, s.phaseEncodingDir.value);
    p.setInt(parameter::kApplyTwoPi, s.applyTwoPi.value);
    p.setInt(parameter::kMapFieldmapToFunctional, s.mapToFunctional.value);
    if (!s.documentedChain) {
        p.setInt(parameter::kCongruentUnwrapping, s.congruentUnwrapping.value);
        p.setInt(parameter::kResampleFieldmapToFunctional, s.resampleToFunctional.value);
        p.setInt(parameter::kFieldMapConditioning, s.fieldMapConditioning.value);
        p.setInt(parameter::kIntensityModulation, s.intensityModulation.value);
    }
    p.setString(parameter::kProcedure, startStepName(s.from));
    p.setInt(parameter::kPerformAllSteps, 1);
    if (blocks_) p.setInt(parameter::kKeepPixelShiftMap, 1);
}

// "Start" as the GUI script sends it, with the picking dialogs answered in the order the runner
// asks: start image, magnitude (Unwrap only), VMR (with mapping), EPI. Resampling asks for no
// VMR.
void SeriesCorrection::runStartCommand() {
    auto& session = standin::session();
    session.answers.clear();
    session.answers.push_back(standin::DialogAnswer::withNumber(phase_->index));
    if (magnitude_ != nullptr)
        session.answers.push_back(standin::DialogAnswer::withNumber(magnitude_->index));
    if (vmrIndex_ >= 0) session.answers.push_back(standin::DialogAnswer::withNumber(vmrIndex_));
    session.answers.push_back(standin::DialogAnswer::withNumber(epi_->index));
    reporter_.step("Running \"Start\" (" + std::string(startStepName(settings_.from)) +
                   " and all later steps)");
    CommandOutcome outcome;
    {
        // The plug-in writes its AMR slice images into the working directory: beside the
        // projects when they are kept, else into a scratch folder that goes with the staging.
        fs::path amrFolder = out_.staging();
        if (!o_.keepProjects) {
            amrFolder /= ".scratch";
            fs::create_directories(amrFolder);
        }
        WorkingDirectory inFolder(amrFolder);
        outcome = plugin_->execute("Start");
    }
    if (!outcome.ok) {
        throw ProcessingError(
            "the plug-in reported: " + outcome.errorMessage +
            (reporter_.verbosity() == Verbosity::Verbose ? "" : " (--verbose shows its log)"));
    }
}

// The polarity check: the mean functional image resampled with either sign against the
// magnitude image. With --pe-dir auto a clearly better opposite sign is used instead.
void SeriesCorrection::checkSign() {
    const double checkStart = reporter_.elapsed();
    reporter_.step("Checking the phase-encoding sign against the magnitude image");
    shiftMaps_ = savedShiftMaps(sources_);
    magnitudeEpi_ = magnitudeOnEpi(sources_);
    polarity_ = polarityOf(sources_, shiftMaps_, magnitudeEpi_, settings_.phaseEncodingDir.value);
    checkSeconds_ = reporter_.elapsed() - checkStart;
    auto& dir = settings_.phaseEncodingDir;
    if (settings_.autoSign && polarity_.verdict == PolarityCheck::Verdict::OppositeBetter) {
        reporter_.warning(polarityWarning(polarity_, true));
        const int better = polarity_.better();
        dir = {better, dir.source + ": " + bidsDirection(better) + " matched better"};
        rerunWithSign(better);
    } else if (settings_.autoSign) {
        releaseInputs();
        dir.source += ": " + bidsDirection(dir.value) +
                      (polarity_.verdict == PolarityCheck::Verdict::Consistent
                           ? " matched better"
                           : " kept (the check could not decide)");
    } else if (polarity_.verdict == PolarityCheck::Verdict::OppositeBetter) {
        reporter_.warning(polarityWarning(polarity_, false));
    }
}

// The whole chain again from fresh documents, with the sign turned round. Restarting from the
// saved field map would be shorter, but the chain carries it from step to step in double
// precision while a saved document holds single precision: the shifts, and so the corrected
// series, would differ in their last bits from a run given the right sign at once.
void SeriesCorrection::rerunWithSign(int better) {
    const double rerunStart = reporter_.elapsed();
    for (const auto& entry : fs::directory_iterator(out_.staging())) fs::remove_all(entry.path());
    openDocuments();
    releaseInputs();
    standin::session().parameters.setInt(parameter::kPhaseEncodingDir, better);
    runStartCommand();
    runSeconds_ += reporter_.elapsed() - rerunStart;
    shiftMaps_ = savedShiftMaps(sources_);
    polarity_ = polarityOf(sources_, shiftMaps_, magnitudeEpi_, better);
}

// Every project saved, once (a later save under the same name replaced the earlier one).
void SeriesCorrection::exportResults() {
    undistortedName_ = standin::session().parameters.getString(parameter::kNameUndistortedFile);
    if (undistortedName_.empty()) {
        throw ProcessingError(
            "the plug-in finished without an undistorted series (see the log "
            "with --verbose)");
    }
    const double exportStart = reporter_.elapsed();
    ExportSettings exportSettings;
    exportSettings.folder = out_.staging();
    exportSettings.extension = o_.outputType == "nii" ? ".nii" : ".nii.gz";
    exportSettings.projectsKept = o_.keepProjects;
    for (const Input* in : {phase_, magnitude_, epi_}) {
        if (in != nullptr) exportSettings.inputGeometry.emplace_back(in->index, in->image.geometry);
    }
    exported_ = exportSaves(standin::workspace(), exportSettings, reporter_);
    for (std::size_t i = 0; i < exported_.niftiNames.size(); ++i) {
        if (exported_.outputs[i]["project"] == fs::path(undistortedName_).filename().string()) {
            corrected_ = out_.folder() / exported_.niftiNames[i];
        }
    }
    if (o_.keepProjects) {
        for (const auto& entry : fs::directory_iterator(out_.staging())) {
            if (entry.path().extension() == ".amr")
                amr_.push_back(entry.path().filename().string());
        }
        std::sort(amr_.begin(), amr_.end());
    }
    exportSeconds_ = reporter_.elapsed() - exportStart;
}

// The same correction as a transform other tools apply, from the shift map it used, and the
// field map in Hz the shifts came from with the mask it was estimated in, by the names
// derivatives use.
// After the sign check, which reads the shift map the series was corrected with.
void SeriesCorrection::writeDerivatives() {
    const double start = reporter_.elapsed();
    const std::string extension = o_.outputType == "nii" ? ".nii" : ".nii.gz";
    transform_ = writeCorrectionTransform(
        out_.staging(), epi_->image.geometry, shiftMaps_.onEpi.values,
        settings_.phaseEncodingDir.value, settings_.intensityModulation.value == 1,
        niftiStem(epi_->image.path), extension, json::array({epiPath_}), reporter_);
    FieldMapOutputs fieldMap;
    for (const char* ending : {"_b0_smooth", "_b0"}) {
        for (const std::string& name : exported_.niftiNames) {
            if (fieldMap.fieldMap.empty() && name.ends_with(ending + extension))
                fieldMap.fieldMap = out_.staging() / name;
        }
    }
    if (settings_.from == StartStep::ComputePxshift) fieldMap.fieldMap = phasePath_;
    fieldMap.grid = phase_->image.geometry;
    if (magnitude_ != nullptr) {
        fieldMap.mask = magnitudeMask(sources_.magnitude.values, magScale_,
                                      static_cast<float>(kMagnitudeThreshold));
    }
    fieldMap.startStem = niftiStem(phase_->image.path);
    if (phase_->sidecar) {
        if (auto id = phase_->sidecar->text("B0FieldIdentifier"))
            fieldMap.identifiers.push_back(*id);
    }
    fieldMap.intendedFor = json::array({epiPath_});
    fieldMap.sources = json::array({phasePath_});
    if (magnitude_ != nullptr) fieldMap.sources.push_back(magnitudePath_);
    fieldMapFiles_ = writeFieldMapDerivatives(out_.staging(), fieldMap, extension, reporter_);
    exportSeconds_ += reporter_.elapsed() - start;
}

// What ondrift.json holds of the run up to its result.
json SeriesCorrection::summary() const {
    json s;
    s["command"] = "correct";
    s["version"] = kOndriftVersion;
    s["plugin"] = {{"path", plugin_->libraryPath()}, {"name", plugin_->pluginName()}};
    s["inputs"] = json::object();
    for (const auto& in : inputs_) s["inputs"][in.role] = inputJson(in);
    if (magnitude_ != nullptr) s["inputs"]["magnitude"]["scale"] = magScale_;
    if (lattice_) {
        s["inputs"]["anatomical"] = {
            {"samplingLattice", "the functional grid at half its voxel size"}};
    }
    s["parameters"] = settings_.toJson();
    if (!o_.fieldMapSource.is_null()) s["fieldMapSource"] = o_.fieldMapSource;
    s["result"] = {{parameter::kErrorNr, 0},
                   {parameter::kNameUndistortedFile, undistortedName_},
                   {"corrected", corrected_.filename().string()}};
    return s;
}

// The summary and the report, then every file moved into the output folder at once.
CorrectResult SeriesCorrection::summarise() {
    json summary = this->summary();
    const double reportStart = reporter_.elapsed();
    const std::string undistorted = fs::path(undistortedName_).filename().string();
    ReportContent report =
        reportContent(niftiStem(epi_->image.path), sources_, shiftMaps_, magnitudeEpi_,
                      blocks_ ? meanAfter_ : savedMean(undistorted, sources_.meanBefore), polarity_,
                      settings_.phaseEncodingDir.value);
    if (o_.pairField) report.pair = pairPictures(*o_.pairField);
    summary["polarityCheck"] = polarity_.toJson();
    summary["shifts"] = report.shifts.toJson();
    if (!o_.noReport) summary["report"] = reportFileName(report.title);
    summary["outputs"] = exported_.outputs;
    summary["displacementField"] = transform_;
    summary["fieldMapDerivatives"] = fieldMapFiles_;
    summary["amr"] = amr_;
    summary["log"] = plugin_->log();
    if (blocks_) summary["seriesStatistics"] = seriesStatistics_;
    summary["warnings"] = reporter_.warnings();
    summary["timings"] = {
        {"readSeconds", importStart_ - start_},  {"importSeconds", importSeconds_},
        {"pluginSeconds", runSeconds_},          {"exportSeconds", exportSeconds_},
        {"polarityCheckSeconds", checkSeconds_}, {"totalSeconds", reporter_.elapsed() - start_}};
    if (blocks_) summary["timings"]["blocksSeconds"] = blockSeconds_;
    fs::path reportPath;
    report.summary = summary;
    if (!o_.noReport) {
        reporter_.step("Writing the report " + reportFileName(report.title));
        reportPath = out_.folder() / writeReport(out_.staging(), report).filename();
        summary["timings"]["reportSeconds"] = reporter_.elapsed() - reportStart;
        summary["timings"]["totalSeconds"] = reporter_.elapsed() - start_;
    }
    // The peak up to here: the report and the summary add little beside the correction.
    summary["peakMemoryBytes"] = peakResidentBytes();
    writeFileAtomically(out_.staging() / "ondrift.json", summary.dump(2) + "\n");

    CorrectResult result;
    result.files = out_.commit();
    result.correctedNifti = corrected_;
    result.report = reportPath;
    result.polarity = polarity_;
    result.indexEntry = indexEntry(report, reportPath.filename().string());
    result.seconds = reporter_.elapsed() - start_;
    standin::workspace().clear();
    return result;
}

}  // namespace ondrift::cli
