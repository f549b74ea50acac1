#include "cli/app/commands.h"

#include <CLI/CLI.hpp>

#include "binding/host_parameters.h"
#include "cli/base/errors.h"
#include "cli/base/reporter.h"

namespace ondrift::cli {

namespace {

const char* const kCorrectFooter = R"(Examples:
  ondrift correct --phase sub-01_phasediff.nii.gz --magnitude sub-01_magnitude1.nii.gz \
      --epi sub-01_task-rest_bold.nii.gz --out derivatives/ondrift/sub-01
  ondrift correct --phase fmap_phase.nii --magnitude fmap_mag.nii --epi bold.nii \
      --echo-time-diff 2.46 --effective-echo-spacing 0.00058 --pe-dir j- --out out
  ondrift correct --from ComputePxshift --phase sub-01_fieldmap.nii.gz \
      --epi sub-01_task-rest_bold.nii.gz --out out      # field map in Hz given
  ondrift correct --pair sub-01_dir-AP_epi.nii.gz sub-01_dir-PA_epi.nii.gz \
      --epi sub-01_task-rest_bold.nii.gz --out out      # field from a reverse-PE pair

Parameters come from flags, else from the BIDS sidecars X.json beside each X.nii[.gz]:
  EchoTimeDiff (ms)  <- EchoTime2 - EchoTime1 of the phase image's sidecar
  BandWidthPE (Hz)   <- 1 / (EffectiveEchoSpacing * N_PE), or
                        (N_PE - 1) / (TotalReadoutTime * N_PE), of the EPI's sidecar
  PhaseEncodingDir   <- PhaseEncodingDirection of the EPI's sidecar (i i- j j- k k- -> 1..6)
Outputs in OUT: every project the plug-in saved (.fmr/.stc), its AMR images, a NIfTI copy
<project stem>.nii.gz of each with the input's orientation (the corrected series is
<bold stem>_undistort.nii.gz), and ondrift.json (inputs, parameters and their sources, the
plug-in's log, statistics, timings).)";

const char* const kBidsFooter = R"(Examples:
  ondrift bids /data/ds001 /data/ds001/derivatives/ondrift participant
  ondrift bids ds out participant --participant-label 01 02 --task rest -j 4

Finds every functional run (func/*_bold.nii[.gz]) and the field map meant for it (IntendedFor,
or B0FieldSource matching B0FieldIdentifier): a phase difference with its magnitude, two phase
images, a field map in Hz, rad/s or T, or two epi images of opposite phase-encoding directions
(dir-…_epi), from which the field is estimated. Every parameter comes from the sidecars, with
values inherited from the data set's and the session's JSON files. Each run is corrected as
`ondrift correct` would, in a process of its own; OUTPUT_DIR becomes a BIDS derivatives data
set: sub-<L>/[ses-<S>/]func/..._desc-undistorted_bold.nii.gz with its sidecar, the per-run shift
map ..._desc-ondrift_pixelshift.nii.gz, and fmap/..._desc-ondrift_fieldmap.nii.gz (Hz). Logs of
each run are in OUTPUT_DIR/logs. A rerun skips the runs that are complete.
Exit codes: 0 every run with a field map was corrected (runs without one are skipped with a
note); 1 some run failed (the others are done); 2 bad usage or a data set that is not valid.)";

const char* const kDemoFooter = R"(Examples:
  ondrift demo                       # small phantom in a temporary folder, a few seconds
  ondrift demo --size large --out demo-large

Makes a head-like phantom with a known field shaped like scanner data (a shim gradient of two
phase cycles across the field of view, lobes beside the air cavities with signal dropout, phase
noise, noise outside the head), distorts a functional series by it, corrects the series through
the plug-in with the command's defaults and prints the error of the distorted and of the
corrected series against the truth, beside the ideal (resampling with the true shift map).
Exits 1 when the correction does not reduce the error at least fourfold.)";

const char* const kRunFooter = R"(Examples:
  ondrift run session.txt
  ondrift run - < session.txt

A session script is a text file of commands, one per line, run against the headless host
(open documents, set parameters, queue dialog answers, execute commands, export results).
See docs/cli.md for the language.)";

const char* const kInfoFooter = R"(Examples:
  ondrift info sub-01_task-rest_bold.nii.gz
  ondrift info out/sub-01_task-rest_bold_undistort.fmr)";

}  // namespace

void Commands::add(CLI::App& app) {
    addCorrect(app);
    addBids(app);
    addDemo(app);
    addRun(app);
    addInfo(app);
}

void Commands::addCorrect(CLI::App& app) {
    CorrectOptions& o = correctOptions_;
    CorrectionFlags& f = o.flags;
    correct_ = app.add_subcommand("correct", "Correct a functional series with a field map");
    auto* c = correct_;
    c->footer(kCorrectFooter);
    auto* phase = c->add_option("--phase", o.phase,
                                "Start image: the wrapped phase difference (with --from: the "
                                "unwrapped phase in cycles, the field map in Hz, or the pixel "
                                "shift map in voxels)")
                      ->type_name("FILE");
    c->add_option("--pair", o.pair,
                  "Instead of --phase: two images (or series) taken with opposite phase-encoding "
                  "directions, with sidecars giving PhaseEncodingDirection and TotalReadoutTime "
                  "(or EffectiveEchoSpacing); the field is estimated from them")
        ->expected(2)
        ->excludes(phase)
        ->type_name("FILE FILE");
    c->add_option("--magnitude", o.magnitude, "Magnitude image of the field map (needed to unwrap)")
        ->type_name("FILE");
    c->add_option("--epi", o.epi, "Functional series to correct (3-D or 4-D)")
        ->required()
        ->type_name("FILE");
    c->add_option("--anat", o.anat,
                  "Anatomical image through which the shift map is mapped into the EPI's geometry "
                  "(without it, grids that differ are related through a lattice of the host's own)")
        ->type_name("FILE");
    c->add_option("-o,--out", o.out, "Output folder (created when missing)")
        ->required()
        ->type_name("DIR");

    auto* acq = "Acquisition (override the sidecars)";
    c->add_option("--echo-time-diff", f.echoTimeDiffMs, "Echo-time difference of the field map, ms")
        ->group(acq)
        ->type_name("MS");
    c->add_option("--bandwidth-pe", f.bandWidthPE, "Bandwidth per pixel along phase encoding, Hz")
        ->group(acq)
        ->type_name("HZ");
    c->add_option("--effective-echo-spacing", f.effectiveEchoSpacing,
                  "Effective echo spacing of the EPI, s")
        ->group(acq)
        ->type_name("S");
    c->add_option("--total-readout-time", f.totalReadoutTime,
                  "Total readout time of the EPI (BIDS definition), s")
        ->group(acq)
        ->type_name("S");
    c->add_option("--pe-dir", f.peDirection,
                  "Phase-encoding direction: i, i-, j, j-, k, k- (or 1-6), or auto: the axis "
                  "from the sidecar, the sign that the polarity check finds better")
        ->group(acq)
        ->type_name("DIR");

    auto* proc = "Processing";
    c->add_option("--method", f.method, "Unwrapping: multigrid (default) or relaxation")
        ->group(proc)
        ->type_name("NAME");
    c->add_option("--vcycles", f.vcycles, "Multigrid: V-cycles per level (default 2)")
        ->group(proc)
        ->type_name("N");
    c->add_option("--iterations", f.iterations,
                  "Multigrid: relaxation iterations per cycle (default 4)")
        ->group(proc)
        ->type_name("N");
    c->add_option("--relax-iterations", f.iterationsRelax, "Relaxation: iterations (default 300)")
        ->group(proc)
        ->type_name("N");
    c->add_option("--regularisation", f.regularisation,
                  "Relaxation: regularisation weight (default 0)")
        ->group(proc)
        ->type_name("W");
    addSwitch(c, "--phase-to-radians,!--no-phase-to-radians", f.phaseToRadians,
              "Scale the phase to -pi..pi first (default: when its "
              "values lie outside -pi..pi)")
        ->group(proc);
    addSwitch(c, "--mask-laplacian,!--no-mask-laplacian", f.maskLaplacian,
              "Multigrid: weight the Laplacian with the magnitude mask "
              "(default on)")
        ->group(proc);
    addSwitch(c, "--apply-two-pi,!--no-apply-two-pi", f.applyTwoPi,
              "Divide the shift by 2 pi as well (field map in rad/s)")
        ->group(proc);
    addSwitch(c, "--map,!--no-map", f.map,
              "Carry the shift map into the EPI's geometry through --anat (or a sampling "
              "lattice) by the documented nearest-voxel mapping; --no-map applies it voxel by "
              "voxel")
        ->group(proc);
    addSwitch(c, "--resample,!--no-resample", f.resample,
              "Resample the field map onto the EPI's grid in scanner coordinates before the "
              "shifts are computed (default: when the grids differ, with or without --anat)")
        ->group(proc);
    addSwitch(c, "--congruent,!--no-congruent", f.congruent,
              "Make the unwrapped phase congruent with the measured phase (default on)")
        ->group(proc);
    addSwitch(c, "--jacobian,!--no-jacobian", f.jacobian,
              "Multiply each corrected voxel by the local stretch of the shift map along the "
              "phase-encoding axis, restoring the intensity the distortion piled up or thinned "
              "out (default off)")
        ->group(proc);
    c->add_option("--field-map-conditioning", f.conditioning,
                  "How the field map is smoothed: estimated (default: the smooth field that fits "
                  "the phase within its measured noise, in millimetres), quadratic (extrapolated "
                  "beyond the magnitude mask, then 7-point local quadratic fits along each axis), "
                  "box (one 3x3 pass inside the mask, then extrapolated), range (the same, "
                  "edge-preserving), none (extrapolation only), documented (the host's 3x3 slice "
                  "smoothing), or the plug-in's value as a number")
        ->group(proc)
        ->type_name("NAME");
    c->add_flag("--documented-chain", f.documentedChain,
                "Run exactly the host's documented chain (no congruent unwrapping, the "
                "documented smoothing), for the host's numbers")
        ->group(proc);
    c->add_option("--from", from_,
                  "First step: Unwrap (default), ComputeB0, ComputePxshift or Undistort")
        ->group(proc)
        ->type_name("STEP");
    c->add_option("--magnitude-scale", o.magnitudeScale,
                  "auto (default): rescale a magnitude whose brightest tissue lies below the "
                  "plug-in's fixed mask threshold of " +
                      std::to_string(static_cast<int>(kMagnitudeThreshold)) + "; none; or a factor")
        ->group(proc)
        ->type_name("auto|none|F");
    c->add_flag("--nan-to-zero", o.nanToZero, "Replace NaN/Inf input values by 0 (with a warning)")
        ->group(proc);
    c->add_flag("--force", f.force,
                "Go on despite values that look like the wrong unit (echo times, echo spacing, "
                "readout time, a phase that does not span a full turn)")
        ->group(proc);
    c->add_flag("--no-report", o.noReport, "Do not write the HTML quality report")->group(proc);
    c->add_flag("--overwrite", o.overwrite,
                "Replace results of an earlier run in the output folder")
        ->group(proc);
    c->add_option("--output-type", o.outputType,
                  "nii.gz (default, compressed on every core) or nii (uncompressed, faster)")
        ->group(proc)
        ->check(CLI::IsMember({"nii", "nii.gz"}))
        ->type_name("nii|nii.gz");
    c->add_flag("--keep-projects", o.keepProjects,
                "Also keep the host's project files (.fmr with .stc data) and the AMR slice "
                "images of every step")
        ->group(proc);
    c->add_option("--memory-limit", o.memoryLimitMb,
                  "Memory the correction may take, MiB (default: a quarter of the machine's); "
                  "the series is corrected that many volumes at a time")
        ->group(proc)
        ->check(CLI::Range(1.0, 1.0e9))
        ->type_name("MIB");
    c->add_option("--plugin", o.plugin,
                  "Plug-in library (default: next to the executable, or $ONDRIFT_PLUGIN)")
        ->group(proc)
        ->type_name("FILE");
}

void Commands::addBids(CLI::App& app) {
    BidsOptions& o = bidsOptions_;
    bids_ = app.add_subcommand("bids", "Correct every run of a BIDS data set (BIDS-App form)");
    bids_->footer(kBidsFooter);
    bids_->add_option("bids_dir", o.bidsDir, "The BIDS data set")
        ->required()
        ->type_name("BIDS_DIR");
    bids_->add_option("output_dir", o.outputDir, "The derivatives folder (created when missing)")
        ->required()
        ->type_name("OUTPUT_DIR");
    bids_->add_option("analysis_level", o.analysisLevel, "participant")
        ->required()
        ->check(CLI::IsMember({"participant"}))
        ->type_name("participant");
    bids_
        ->add_option("--participant-label,--participant_label", o.participants,
                     "Only these participants (01 or sub-01)")
        ->type_name("LABEL...");
    bids_->add_option("--task", o.tasks, "Only runs of these tasks")->type_name("TASK...");
    bids_->add_option("--session", o.sessions, "Only these sessions")->type_name("SES...");
    bids_
        ->add_option("--bold", o.bolds,
                     "Only these functional runs (file names, or paths from BIDS_DIR); one "
                     "node per run in a workflow engine")
        ->type_name("FILE...");
    bids_->add_option("-j,--jobs", o.jobs, "Runs at once (default: the number of cores)")
        ->check(CLI::Range(1, 1024))
        ->type_name("N");
    bids_->add_flag("--overwrite", o.overwrite, "Redo runs whose outputs are complete");
    bids_->add_flag("--skip-bids-validation", o.skipValidation,
                    "Do not check the data set with the BIDS validator first");
    bids_->add_flag("--strict-validation", o.strictValidation,
                    "Refuse the data set when the BIDS validator finds errors (default: warn "
                    "and correct every run that has what it needs)");
    bids_->add_flag("--keep-projects", o.keepProjects,
                    "Also keep the plug-in's projects (OUTPUT_DIR/projects)");
    addSwitch(bids_, "--jacobian,!--no-jacobian", o.jacobian,
              "Multiply each corrected voxel by the local stretch of the shift map (default off)");
    bids_->add_option("--output-type", o.outputType, "Images as nii.gz (default) or nii")
        ->check(CLI::IsMember({"nii", "nii.gz"}))
        ->type_name("nii|nii.gz");
    bids_
        ->add_option("--memory-limit", o.memoryLimitMb,
                     "Memory all runs at once may take, MiB (default: a quarter of the "
                     "machine's); each of the -j runs gets its share")
        ->check(CLI::Range(1.0, 1.0e9))
        ->type_name("MIB");
    bids_->add_option("--plugin", o.plugin, "Plug-in library")->type_name("FILE");
}

void Commands::addDemo(CLI::App& app) {
    demo_ = app.add_subcommand("demo", "Correct a synthetic phantom and check the result");
    demo_->footer(kDemoFooter);
    demo_
        ->add_option("-o,--out", demoOptions_.out,
                     "Keep inputs and results in DIR/input and DIR/output (an earlier demo there "
                     "is replaced)")
        ->type_name("DIR");
    demo_->add_option("--size", demoOptions_.size, "small (default, a few seconds) or large")
        ->check(CLI::IsMember({"small", "large"}));
    demo_->add_option("--plugin", demoOptions_.plugin, "Plug-in library")->type_name("FILE");
    demo_
        ->add_option("--bids", demoOptions_.bidsOut,
                     "Only write a small phantom BIDS data set to DIR (every field-map kind and "
                     "metadata style), for trying `ondrift bids`")
        ->type_name("DIR");
    demo_->add_option("--subjects", demoOptions_.subjects, "Subjects of the --bids data set")
        ->check(CLI::Range(1, 200))
        ->type_name("N");
}

void Commands::addRun(CLI::App& app) {
    run_ = app.add_subcommand("run", "Run a session script against the headless host");
    run_->footer(kRunFooter);
    run_->add_option("script", runOptions_.script, "Script file, or - for standard input")
        ->required()
        ->type_name("SCRIPT");
    run_->add_option("--plugin", runOptions_.plugin, "Plug-in library")->type_name("FILE");
}

void Commands::addInfo(CLI::App& app) {
    info_ = app.add_subcommand("info", "Print the header of an FMR, VMR or NIfTI file");
    info_->footer(kInfoFooter);
    info_->add_option("file", infoOptions_.file, "The file")->required()->type_name("FILE");
}

CLI::Option* Commands::addSwitch(CLI::App* app, const std::string& names,
                                 std::optional<bool>& target, const std::string& help) {
    Switch& s = switches_.emplace_back();
    s.target = &target;
    s.option = app->add_flag(names, s.value, help);
    return s.option;
}

void Commands::collectCorrectFlags() {
    // A switch that was not given must stay unset, so that its default can depend on the inputs.
    for (const Switch& s : switches_) {
        if (s.option->count() > 0) *s.target = s.value;
    }
    correctOptions_.flags.from = parseStartStep(from_);
    if (correctOptions_.magnitudeScale.empty()) correctOptions_.magnitudeScale = "auto";
}

int Commands::run(Reporter& reporter) {
    if (correct_ != nullptr && correct_->parsed()) {
        collectCorrectFlags();
        return runCorrect(correctOptions_, reporter);
    }
    if (bids_ != nullptr && bids_->parsed()) {
        // Its switches (--jacobian) are collected the same way.
        collectCorrectFlags();
        return runBids(bidsOptions_, reporter);
    }
    if (demo_ != nullptr && demo_->parsed()) return runDemo(demoOptions_, reporter);
    if (run_ != nullptr && run_->parsed()) return runScript(runOptions_, reporter);
    if (info_ != nullptr && info_->parsed()) return runInfo(infoOptions_, reporter);
    throw InputError("no command given");
}

}  // namespace ondrift::cli
