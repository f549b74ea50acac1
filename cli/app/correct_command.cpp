#include "cli/app/series_correction.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "cli/base/errors.h"
#include "cli/base/reporter.h"
#include "cli/nifti/nifti_file.h"
#include "cli/session/document_import.h"
#include "cli/session/grid_checks.h"
#include "cli/session/scanner_position.h"
#include "host/standin.h"
#include "host/workspace.h"

namespace ondrift::cli {

namespace fs = std::filesystem;

void SeriesCorrection::read() {
    inputs_.push_back(readInput("phase", phasePath_, o_.nanToZero, reporter_, o_.phaseSidecar));
    if (!magnitudePath_.empty() && o_.flags.from == StartStep::Unwrap) {
        inputs_.push_back(
            readInput("magnitude", magnitudePath_, o_.nanToZero, reporter_, o_.magnitudeSidecar));
    }
    blocks_ = !o_.keepProjects;
    if (blocks_) {
        readSeriesStandIn();
    } else {
        inputs_.push_back(
            readInput("functional", epiPath_, o_.nanToZero, reporter_, o_.epiSidecar));
    }
    if (!anatPath_.empty()) {
        inputs_.push_back(readInput("anatomical", anatPath_, o_.nanToZero, reporter_));
    }
    // The list is complete: pointers into it stay valid.
    const auto find = [this](const std::string& role) -> Input* {
        for (auto& in : inputs_)
            if (in.role == role) return &in;
        return nullptr;
    };
    phase_ = find("phase");
    epi_ = find("functional");
    magnitude_ = find("magnitude");
    anat_ = find("anatomical");
}

void SeriesCorrection::checkInputs() {
    const NiftiGeometry& pg = phase_->image.geometry;
    const NiftiGeometry& eg = epi_->image.geometry;
    if (pg.nt() > 1) {
        throw InputError(phase_->image.path + ": has " + std::to_string(pg.nt()) +
                         " volumes; the start image must be a single volume");
    }
    if (magnitude_ != nullptr) {
        if (!magnitude_->image.geometry.sameGrid(pg)) {
            throw InputError(magnitude_->image.path + ": grid (" +
                             gridText(magnitude_->image.geometry) +
                             ") differs from the phase image's (" + gridText(pg) + ")");
        }
        if (magnitude_->image.geometry.nt() > 1) {
            reporter_.warning(magnitude_->image.path + ": has several volumes; the first is used");
        }
    }
    facts_.epiDims[0] = eg.nx();
    facts_.epiDims[1] = eg.ny();
    facts_.epiDims[2] = eg.nz();
    facts_.phaseDims[0] = pg.nx();
    facts_.phaseDims[1] = pg.ny();
    facts_.phaseDims[2] = pg.nz();
    const auto [lo, hi] = std::minmax_element(phase_->image.data.begin(), phase_->image.data.end());
    facts_.phaseMin = *lo;
    facts_.phaseMax = *hi;
    facts_.haveAnat = anat_ != nullptr;
    facts_.gridsDiffer = !eg.sameGrid(pg, 0.5);
    facts_.seriesIsPairImage = o_.seriesIsPairImage;
    facts_.haveMagnitude = !magnitudePath_.empty();
    const Sidecars sidecars{phase_->sidecar, magnitude_ ? magnitude_->sidecar : std::nullopt,
                            epi_->sidecar};
    settings_ = resolveSettings(o_.flags, sidecars, facts_, reporter_);
}

// Grids that differ are related by resampling the field map onto the functional grid in world
// coordinates, or, when asked for, through the mapping branch. Without an anatomical image that
// branch uses a sampling lattice of the host's own: the functional grid at half its voxel size
// (the plug-in only samples the anatomical grid, it never reads its voxels).
void SeriesCorrection::planGrids() {
    const NiftiGeometry& pg = phase_->image.geometry;
    const NiftiGeometry& eg = epi_->image.geometry;
    const bool sameDims = pg.nx() == eg.nx() && pg.ny() == eg.ny() && pg.nz() == eg.nz();
    resample_ = settings_.resampleToFunctional.value == 1;
    mapping_ = settings_.mapToFunctional.value == 1;
    lattice_ = mapping_ && anat_ == nullptr;
    if (!mapping_ && !resample_ && !sameDims) {
        throw InputError(epi_->image.path + ": grid (" + gridText(eg) +
                         ") differs from the field map's (" + gridText(pg) +
                         "); --no-map needs the same grid");
    }
    if (!mapping_ && !resample_ && facts_.gridsDiffer) {
        reporter_.warning(epi_->image.path +
                          ": placed differently from the field map in the world; "
                          "with --no-map the shift map is applied voxel by voxel");
    }
    if (lattice_) {
        reporter_.warning(
            "the field map and the functional image lie on different grids; the shift "
            "map is carried over through a sampling lattice at half the functional "
            "voxel size (--anat gives an anatomical image instead)");
    }
    if (resample_ && anat_ != nullptr) {
        reporter_.warning(anat_->image.path +
                          ": not used; the field map is resampled onto the functional grid in "
                          "scanner coordinates (--map carries the shift map through it instead)");
    }
    if (resample_ && facts_.gridsDiffer) {
        reporter_.detail("The field map is resampled onto the functional grid (" + gridText(eg) +
                         ")");
    }
    if (mapping_ && anat_ != nullptr) checkSamplingLattice(anat_->image.geometry, eg, reporter_);
    if (magnitude_ != nullptr)
        magScale_ = magnitudeScale(o_.magnitudeScale, *magnitude_, reporter_);
}

// The host's workspace, as the GUI would have it: the inputs open as documents.
void SeriesCorrection::import() {
    out_.create();
    if (o_.startImageIsOutput) {
        // A start image the command made (a field estimated from a pair) is a result too.
        const fs::path from(phasePath_);
        const fs::path sidecar = from.parent_path() / (niftiStem(phasePath_) + ".json");
        fs::copy_file(from, out_.staging() / from.filename());
        if (fs::exists(sidecar)) fs::copy_file(sidecar, out_.staging() / sidecar.filename());
    }
    importStart_ = reporter_.elapsed();
    reporter_.step("Opening the images as host documents");
    if (settings_.phaseToRadians.value == 0 && settings_.from == StartStep::Unwrap &&
        isZeroToTwoPi(facts_.phaseMin, facts_.phaseMax)) {
        constexpr float kPi = 3.14159265358979f;
        for (float& v : phase_->image.data) {
            if (v > kPi) v -= 2 * kPi;
        }
        reporter_.warning(phase_->image.path +
                          ": phase values lie in 0..2pi; wrapped into -pi..pi");
    }
    // What the report and the polarity check need of the inputs, taken before the documents
    // take over their values.
    const NiftiGeometry& pg = phase_->image.geometry;
    sources_.mapping = mapping_;
    sources_.resample = resample_;
    sources_.startIsShift = settings_.from == StartStep::Undistort;
    sources_.bandwidthPE = settings_.bandWidthPE.value;
    sources_.startImage = firstVolume(pg, phase_->image.data);
    // In blocks the mean was summed while the series was read.
    if (!blocks_) sources_.meanBefore = meanVolume(epi_->image.geometry, epi_->image.data);
    if (magnitude_ != nullptr) {
        sources_.magnitude = firstVolume(magnitude_->image.geometry, magnitude_->image.data);
    }
    openDocuments();
    importSeconds_ = reporter_.elapsed() - importStart_;
    // The documents hold the values now; only the geometry of the inputs is needed further on
    // (unless the sign may still turn round).
    if (!settings_.autoSign) releaseInputs();
}

// A second run (--pe-dir auto turning the sign round) starts again from fresh documents: the
// plug-in may change the documents it is given, and the series' values moved into its document
// are read from the file again.
void SeriesCorrection::openDocuments() {
    auto& ws = standin::workspace();
    ws.clear();
    ws.outputDirectory = out_.staging();
    // The plug-in's saves stay in the documents until it changes them again; project files are
    // written only when asked for.
    ws.keepSaveValues = false;
    ws.deferSaveValues = true;
    ws.deferredVolumes = [](const standin::SaveRecord& r) {
        return resultVolumes(r.fmrFileName, r.volumes);
    };
    ws.writeProjects = o_.keepProjects;
    ws.quiet = true;
    std::map<std::string, int> used;
    phase_->document = documentName(niftiStem(phase_->image.path), ".fmr", used);
    phase_->index = importFmr(phase_->image, phase_->document);
    if (magnitude_ != nullptr) {
        magnitude_->document = documentName(niftiStem(magnitude_->image.path), ".fmr", used);
        magnitude_->index = importFmr(magnitude_->image, magnitude_->document, 1, magScale_);
    }
    epi_->document = documentName(niftiStem(epi_->image.path), ".fmr", used);
    if (blocks_) {
        epi_->index = importFmr(standIn_, epi_->document, 1);
    } else {
        if (epi_->image.data.empty()) {
            epi_->image = readNifti(epiPath_, ReadOptions{o_.nanToZero}, nullptr);
        }
        epi_->index = adoptFmr(epi_->image, epi_->document);
    }
    if (anat_ != nullptr && mapping_) {
        anat_->document = documentName(niftiStem(anat_->image.path), ".vmr", used);
        anat_->index = vmrIndex_ = importVmr(anat_->image, anat_->document);
    } else if (lattice_) {
        vmrIndex_ = addSamplingLattice(
            epi_->image.geometry,
            documentName(niftiStem(epi_->image.path) + "_lattice", ".vmr", used));
    }
}

void SeriesCorrection::releaseInputs() {
    for (auto& in : inputs_) std::vector<float>().swap(in.image.data);
}

CorrectResult correctSeries(const CorrectOptions& options, Reporter& reporter) {
    return SeriesCorrection(options, reporter).run();
}

int runCorrect(const CorrectOptions& options, Reporter& reporter) {
    if (options.pair.empty() && options.phase.empty()) {
        throw InputError(
            "give the field map with --phase, or a reverse phase-encoding pair with --pair");
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
