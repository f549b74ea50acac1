#include "cli/app/bids_run.h"

#include <fstream>

#include "cli/app/correct_command.h"
#include "cli/app/pair_fieldmap.h"
#include "cli/base/errors.h"
#include "cli/base/leftovers.h"
#include "cli/base/output_folder.h"
#include "cli/base/reporter.h"
#include "cli/bids/displacement_field.h"
#include "cli/bids/fieldmap_inputs.h"
#include "cli/bids/run_record.h"
#include "cli/nifti/nifti_file.h"
#include "host/disk_flush.h"

namespace ondrift::cli {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::optional<Sidecar> sidecarOf(const BidsFile& f) {
    if (f.sidecar.path.empty() && f.sidecar.fields.empty()) return std::nullopt;
    return f.sidecar;
}

double echoTime(const BidsFile& f) {
    const auto te = f.sidecar.number("EchoTime");
    if (!te) throw InputError(f.relative + ": its sidecar gives no EchoTime");
    if (!(*te > 0)) throw InputError(f.relative + ": EchoTime must be positive");
    return *te;
}

/// The phase difference of two phase images, as a file of the work folder with a sidecar
/// holding EchoTime1 and EchoTime2.
void prepareTwoPhases(const FieldMapSet& set, const RunOutputs& out, CorrectOptions& co,
                      Reporter& reporter) {
    double te1 = echoTime(set.phase);
    double te2 = echoTime(*set.phase2);
    if (te1 == te2) {
        throw InputError(set.phase2->relative + ": has the same EchoTime as " + set.phase.relative);
    }
    NiftiImage p1 = readNifti(set.phase.path.string(), {}, &reporter);
    NiftiImage p2 = readNifti(set.phase2->path.string(), {}, &reporter);
    if (p1.geometry.nt() > 1 || p2.geometry.nt() > 1) {
        throw InputError(set.phase.relative + ": phase images must be single volumes");
    }
    checkLooksLikePhase(p1, nullptr);
    checkLooksLikePhase(p2, nullptr);
    if (te2 < te1) {
        std::swap(p1, p2);
        std::swap(te1, te2);
    }
    const std::vector<float> difference = phaseDifference(p1, p2);
    BidsName name = set.phase.name;
    name.suffix = "phasediff";
    name.extension = ".nii.gz";
    const fs::path file = out.work / name.str();
    writeNifti(file.string(), p1.geometry, 1, difference, &reporter);
    Sidecar s = set.phase.sidecar;
    s.fields.erase("EchoTime");
    s.fields["EchoTime1"] = te1;
    s.fields["EchoTime2"] = te2;
    co.phase = file.string();
    co.phaseSidecar = s;
}

/// A field map in Hz: the source when it is in Hz, else a converted copy in the work folder.
void prepareFieldMap(const FieldMapSet& set, const RunOutputs& out, CorrectOptions& co,
                     Reporter& reporter) {
    const auto units = set.phase.sidecar.text("Units");
    if (!units) {
        throw InputError(set.phase.relative +
                         ": a field map needs Units (Hz, rad/s or T) in its sidecar");
    }
    const double factor = hertzPerUnit(*units, set.phase.relative);
    Sidecar s = set.phase.sidecar;
    s.fields["Units"] = "Hz";
    co.phaseSidecar = s;
    co.flags.from = StartStep::ComputePxshift;
    if (factor == 1.0) {
        co.phase = set.phase.path.string();
        return;
    }
    NiftiImage fm = readNifti(set.phase.path.string(), {}, &reporter);
    for (float& v : fm.data) v = static_cast<float>(v * factor);
    // In the output's format: it is copied into the derivatives as it is.
    const fs::path file = out.work / (niftiStem(set.phase.path.string()) +
                                      (co.outputType == "nii" ? ".nii" : ".nii.gz"));
    writeNifti(file.string(), fm.geometry, fm.geometry.nt(), fm.data, &reporter);
    co.phase = file.string();
}

/// Moves a finished file into place, flushed to the disk before its name appears there.
void moveInto(const fs::path& from, const fs::path& to) {
    fs::create_directories(to.parent_path());
    std::string error;
    if (!standin::flushFile(from, error)) throw ProcessingError(error);
    std::error_code ec;
    fs::rename(from, to, ec);
    if (ec) {
        // Another file system: copied beside the target, then renamed over it.
        const fs::path beside = temporaryFor(to);
        fs::copy_file(from, beside, fs::copy_options::overwrite_existing, ec);
        if (ec || !standin::flushFile(beside, error) || !standin::renameFile(beside, to, error)) {
            fs::remove(beside, ec);
            throw ProcessingError(to.string() + ": cannot write" +
                                  (error.empty() ? ": " + ec.message() : ": " + error));
        }
    }
    if (!standin::flushFolder(to.parent_path(), error)) throw ProcessingError(error);
}

/// The result of the correction whose name ends in `ending`; empty when none.
fs::path resultEnding(const std::vector<fs::path>& files, const std::string& ending) {
    for (const auto& f : files) {
        if (f.filename().string().ends_with(ending)) return f;
    }
    return {};
}

}  // namespace

CorrectOptions correctOptionsForRun(const BidsPlan& plan, const BoldRun& run, const RunOutputs& out,
                                    const BidsRunOptions& options, Reporter& reporter) {
    if (!run.error.empty()) throw InputError(run.error);
    if (run.fieldMap < 0) throw InputError(run.note);
    const FieldMapSet& set = plan.fieldMaps[static_cast<std::size_t>(run.fieldMap)];
    CorrectOptions co;
    co.epi = run.bold.path.string();
    co.epiSidecar = sidecarOf(run.bold);
    co.out = (out.work / "correct").string();
    co.plugin = options.plugin;
    co.magnitudeScale = "auto";
    co.overwrite = true;
    co.keepProjects = options.keepProjects;
    co.outputType = options.outputType;
    co.flags.jacobian = options.jacobian;
    co.memoryLimitMb = options.memoryLimitMb;
    switch (set.kind) {
        case FieldMapKind::PhaseDifference: {
            co.phase = set.phase.path.string();
            co.phaseSidecar = sidecarOf(set.phase);
            co.magnitude = set.magnitude->path.string();
            co.magnitudeSidecar = sidecarOf(*set.magnitude);
            const NiftiImage phase = readNifti(co.phase, {}, &reporter);
            const NiftiImage magnitude = readNifti(co.magnitude, {}, &reporter);
            checkLooksLikePhase(phase, &magnitude);
            break;
        }
        case FieldMapKind::TwoPhases:
            co.magnitude = set.magnitude->path.string();
            co.magnitudeSidecar = sidecarOf(*set.magnitude);
            prepareTwoPhases(set, out, co, reporter);
            break;
        case FieldMapKind::FieldMap: prepareFieldMap(set, out, co, reporter); break;
        case FieldMapKind::ReversePhaseEncoding:
            co.pair = {set.phase.path.string(), set.phase2->path.string()};
            co.pairSidecars = {sidecarOf(set.phase), sidecarOf(*set.phase2)};
            preparePairField(co, out.work, reporter);
            break;
    }
    return co;
}

void correctBidsRun(const BidsPlan& plan, const BoldRun& run, const BidsRunOptions& options,
                    Reporter& reporter) {
    const FieldMapSet* set =
        run.fieldMap >= 0 ? &plan.fieldMaps[static_cast<std::size_t>(run.fieldMap)] : nullptr;
    const std::string extension = options.outputType == "nii" ? ".nii" : ".nii.gz";
    const RunOutputs out = runOutputs(options.outputRoot, run, set, extension);
    std::error_code ec;
    // Made again: the earlier record goes first, so that a run stopped half way is never
    // taken as complete; what a killed earlier attempt left half-written goes too.
    fs::remove(out.record, ec);
    for (const auto* p :
         {&out.bold, &out.boldSidecar, &out.shiftMap, &out.shiftMapSidecar, &out.transform,
          &out.transformSidecar, &out.fieldMap, &out.fieldMapSidecar, &out.fieldMapMask,
          &out.summary, &out.record, &out.report}) {
        removeStaleTemporaries(*p);
    }
    fs::remove_all(out.work, ec);
    fs::create_directories(out.work);
    struct RemoveWork {
        fs::path path;
        ~RemoveWork() {
            std::error_code e;
            fs::remove_all(path, e);
            fs::remove(path.parent_path(), e);  // only when empty
        }
    } removeWork{out.work};

    const CorrectOptions co = correctOptionsForRun(plan, run, out, options, reporter);
    const CorrectResult result = correctSeries(co, reporter);

    json summary = json::object();
    const fs::path summaryFile = fs::path(co.out) / "ondrift.json";
    try {
        std::ifstream in(summaryFile);
        summary = json::parse(in);
    } catch (const json::exception&) {
        throw ProcessingError(summaryFile.string() + ": cannot read the run's summary");
    }
    fs::path fieldMap =
        set->kind == FieldMapKind::FieldMap || set->kind == FieldMapKind::ReversePhaseEncoding
            ? fs::path(co.phase)
            : resultEnding(result.files, "_b0_smooth" + extension);
    if (fieldMap.empty()) fieldMap = resultEnding(result.files, "_b0" + extension);
    // The shift map carried onto the functional grid when the grids differ, else the one on
    // the shared grid.
    fs::path shift = resultEnding(result.files, "_pixshiftInEPIres" + extension);
    if (shift.empty()) shift = resultEnding(result.files, "_pixshift" + extension);
    if (fieldMap.empty() || shift.empty() || result.correctedNifti.empty()) {
        throw ProcessingError(run.bold.relative +
                              ": the correction did not leave a field map, a shift map and a "
                              "corrected series");
    }

    // Field map first: runs that share it write the same values, each through a rename (an
    // earlier one may be damaged or stale, so it is always written anew).
    {
        const fs::path staged = out.work / ("fieldmap" + extension);
        if (fieldMap.parent_path() == out.work || fieldMap.parent_path() == fs::path(co.out)) {
            fs::copy_file(fieldMap, staged, fs::copy_options::overwrite_existing);
        } else {
            // A source field map already in Hz: written anew with its own geometry.
            const NiftiImage fm = readNifti(fieldMap.string(), {}, &reporter);
            writeNifti(staged.string(), fm.geometry, fm.geometry.nt(), fm.data, &reporter);
        }
        moveInto(staged, out.fieldMap);
    }
    fs::create_directories(out.fieldMapSidecar.parent_path());
    json fieldMapJson = fieldMapSidecar(plan, *set);
    if (summary.contains("fieldMapSource"))
        fieldMapJson["EstimatedFrom"] = summary["fieldMapSource"];
    writeFileAtomically(out.fieldMapSidecar, fieldMapJson.dump(2) + "\n");
    const fs::path mask = resultEnding(result.files, "_desc-brain_mask" + extension);
    if (!mask.empty()) moveInto(mask, out.fieldMapMask);
    moveInto(shift, out.shiftMap);
    writeFileAtomically(out.shiftMapSidecar, shiftMapSidecar(run, *set, summary).dump(2) + "\n");
    const fs::path transform =
        resultEnding(result.files, std::string(kTransformEntities) + extension);
    if (transform.empty()) {
        throw ProcessingError(run.bold.relative + ": the correction left no displacement field");
    }
    moveInto(transform, out.transform);
    writeFileAtomically(out.transformSidecar, transformSidecar(run, *set, summary).dump(2) + "\n");
    moveInto(result.correctedNifti, out.bold);
    std::vector<fs::path> outputs = {
        out.fieldMap,   out.fieldMapSidecar,  out.shiftMap, out.shiftMapSidecar,
        out.transform,  out.transformSidecar, out.bold,     out.summary,
        out.boldSidecar};
    if (!mask.empty()) outputs.push_back(out.fieldMapMask);
    fs::create_directories(out.summary.parent_path());
    if (!result.report.empty() && fs::exists(result.report, ec)) {
        fs::create_directories(out.report.parent_path());
        moveInto(result.report, out.report);
        outputs.push_back(out.report);
        // The index page of the data set is made after all runs, from their summaries.
        const IndexEntry& e = result.indexEntry;
        summary["reportIndexEntry"] = {{"title", run.bold.relative},
                                       {"verdict", e.verdict},
                                       {"warnings", e.warnings},
                                       {"alarm", e.alarm}};
        writeFileAtomically(out.summary, summary.dump(2) + "\n");
        fs::remove(summaryFile, ec);
    } else {
        moveInto(summaryFile, out.summary);
    }
    if (options.keepProjects) {
        fs::remove_all(out.projects, ec);
        fs::create_directories(out.projects);
        for (const auto& f : result.files) {
            if (!fs::exists(f, ec)) continue;
            moveInto(f, out.projects / f.filename());
            outputs.push_back(out.projects / f.filename());
        }
    }
    writeFileAtomically(out.boldSidecar, correctedSidecar(run, *set, summary).dump(2) + "\n");
    writeRunRecord(out.record, options.outputRoot, outputs,
                   runIdentity(run, *set, recordParameters(options)));
}

nlohmann::json recordParameters(const BidsRunOptions& options) {
    return {{"outputType", options.outputType},
            {"keepProjects", options.keepProjects},
            {"jacobian", options.jacobian ? nlohmann::json(*options.jacobian) : nlohmann::json()},
            {"plugin", options.plugin}};
}

void writeReportIndex(const BidsPlan& plan, const fs::path& outputRoot,
                      const std::string& extension) {
    std::vector<IndexEntry> entries;
    for (const BoldRun& run : plan.runs) {
        const FieldMapSet* set =
            run.fieldMap >= 0 ? &plan.fieldMaps[static_cast<std::size_t>(run.fieldMap)] : nullptr;
        const RunOutputs out = runOutputs(outputRoot, run, set, extension);
        std::error_code ec;
        if (!fs::exists(out.report, ec)) continue;
        IndexEntry e;
        e.title = run.bold.relative;
        e.link = out.report.filename().string();
        try {
            std::ifstream in(out.summary);
            const json summary = json::parse(in);
            const json& j = summary.at("reportIndexEntry");
            e.verdict = j.value("verdict", "");
            e.warnings = j.value("warnings", std::size_t{0});
            e.alarm = j.value("alarm", false);
        } catch (const json::exception&) {
            e.verdict = "(the run's summary could not be read)";
        }
        entries.push_back(std::move(e));
    }
    if (entries.empty()) return;
    writeFileAtomically(outputRoot / "reports" / "index.html",
                        renderIndex("ondrift: " + plan.root.filename().string(), entries));
}

}  // namespace ondrift::cli
