// `ondrift bids`: every run of a BIDS data set corrected with its field map, in parallel, into a
// BIDS derivatives data set.
#include <unistd.h>

#include <cstdio>
#include <thread>

#include <nlohmann/json.hpp>

#include "cli/app/bids_run.h"
#include "cli/app/commands.h"
#include "cli/base/errors.h"
#include "cli/base/leftovers.h"
#include "cli/base/memory_budget.h"
#include "cli/base/output_folder.h"
#include "cli/base/reporter.h"
#include "cli/base/run_pool.h"
#include "cli/bids/bids_derivatives.h"
#include "cli/bids/bids_layout.h"
#include "cli/bids/bids_validation.h"
#include "cli/bids/run_record.h"

namespace ondrift::cli {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::vector<std::string> withoutPrefix(const std::vector<std::string>& labels,
                                       const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& l : labels)
        out.push_back(l.rfind(prefix, 0) == 0 ? l.substr(prefix.size()) : l);
    return out;
}

bool inside(const fs::path& inner, const fs::path& outer) {
    const auto rel = inner.lexically_relative(outer);
    return !rel.empty() && *rel.begin() != "..";
}

struct RunStatus {
    std::string run;
    std::string status;  ///< corrected, complete, skipped, failed
    std::string message;
    double seconds = 0;
};

}  // namespace

int runBids(const BidsOptions& options, Reporter& reporter) {
    const fs::path source = fs::absolute(options.bidsDir).lexically_normal();
    const fs::path output = fs::absolute(options.outputDir).lexically_normal();
    std::error_code ec;
    if (!fs::is_directory(source, ec)) throw InputError(options.bidsDir + ": not a folder");
    if (source == output || inside(source, output)) {
        throw InputError(options.outputDir + ": the output folder would hold the data set itself");
    }
    if (fs::exists(output, ec) && !fs::is_directory(output, ec)) {
        throw InputError(options.outputDir + ": exists and is not a folder");
    }
    if (!fs::exists(source / "dataset_description.json", ec)) {
        reporter.warning(options.bidsDir + ": has no dataset_description.json");
    }
    if (!options.skipValidation) validateBidsDataset(source, options.strictValidation, reporter);

    BidsFilter filter;
    filter.participants = withoutPrefix(options.participants, "sub-");
    filter.tasks = withoutPrefix(options.tasks, "task-");
    filter.sessions = withoutPrefix(options.sessions, "ses-");
    filter.bolds = options.bolds;
    reporter.step("Reading the data set " + source.string());
    const BidsPlan plan = planBidsDataset(source, filter);
    for (const auto& note : plan.notes) reporter.warning(note);

    BidsRunOptions runOptions;
    runOptions.outputRoot = output;
    runOptions.plugin = options.plugin;
    runOptions.overwrite = options.overwrite;
    runOptions.keepProjects = options.keepProjects;
    runOptions.outputType = options.outputType;
    runOptions.jacobian = options.jacobian;
    const std::string extension = options.outputType == "nii" ? ".nii" : ".nii.gz";

    std::vector<RunStatus> statuses(plan.runs.size());
    std::vector<std::size_t> todo;
    for (std::size_t r = 0; r < plan.runs.size(); ++r) {
        const BoldRun& run = plan.runs[r];
        RunStatus& s = statuses[r];
        s.run = run.bold.relative;
        const FieldMapSet* set =
            run.fieldMap >= 0 ? &plan.fieldMaps[static_cast<std::size_t>(run.fieldMap)] : nullptr;
        if (!run.error.empty()) {
            s = {run.bold.relative, "failed", run.error, 0};
            reporter.warning(run.bold.relative + ": failed: " + run.error);
        } else if (set == nullptr) {
            s = {run.bold.relative, "skipped", run.note, 0};
            reporter.warning(run.bold.relative + ": skipped: " + run.note);
        } else {
            // Complete only when its record matches the outputs, inputs and parameters now.
            const RunOutputs outputs = runOutputs(output, run, set, extension);
            std::error_code missing;
            const std::string why =
                options.overwrite
                    ? "--overwrite"
                    : recordMismatch(outputs.record, output,
                                     runIdentity(run, *set, recordParameters(runOptions)));
            if (why.empty()) {
                // A run killed after its record was written leaves its scratch folder behind.
                std::error_code scratch;
                fs::remove_all(outputs.work, scratch);
                s = {run.bold.relative, "complete", "outputs complete from an earlier run", 0};
                reporter.step(run.bold.relative + ": complete already (--overwrite redoes it)");
                continue;
            }
            if (!options.overwrite &&
                (fs::exists(outputs.record, missing) || fs::exists(outputs.bold, missing) ||
                 fs::exists(outputs.shiftMap, missing))) {
                s.message = "made again: " + why;
                reporter.warning(run.bold.relative + ": made again: " + why);
            }
            if (!run.note.empty()) reporter.warning(run.bold.relative + ": " + run.note);
            todo.push_back(r);
        }
    }

    for (const char* file : {"dataset_description.json", ".bidsignore", "reports/index.html"}) {
        removeStaleTemporaries(output / file);
    }
    writeDatasetFiles(output, source);
    fs::create_directories(output / "logs");
    int jobs = options.jobs;
    if (jobs <= 0) jobs = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    // The runs at once share the memory the data set may take.
    const double limitMb = options.memoryLimitMb > 0
                               ? options.memoryLimitMb
                               : static_cast<double>(defaultMemoryLimitBytes() >> 20);
    runOptions.memoryLimitMb = limitMb / jobs;
    reporter.step("Correcting " + std::to_string(todo.size()) + " of " +
                  std::to_string(plan.runs.size()) + " runs, " + std::to_string(jobs) +
                  " at a time (logs in " + (output / "logs").string() + ")");

    std::vector<PoolTask> tasks;
    const Verbosity childVerbosity = reporter.verbosity();
    for (std::size_t r : todo) {
        const BoldRun& run = plan.runs[r];
        const FieldMapSet* set = &plan.fieldMaps[static_cast<std::size_t>(run.fieldMap)];
        PoolTask t;
        t.log = runOutputs(output, run, set, extension).log;
        t.work = [&plan, &run, &runOptions, childVerbosity]() {
            Reporter child(childVerbosity);
            correctBidsRun(plan, run, runOptions, child);
            return 0;
        };
        tasks.push_back(std::move(t));
    }
    std::size_t done = 0;
    runInProcesses(
        tasks, jobs,
        [&](std::size_t i) { reporter.detail(plan.runs[todo[i]].bold.relative + ": started"); },
        [&](std::size_t i, const PoolOutcome& o) {
            RunStatus& s = statuses[todo[i]];
            ++done;
            const std::string count =
                "[" + std::to_string(done) + "/" + std::to_string(todo.size()) + "] ";
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%.1f s", o.seconds);
            s.seconds = o.seconds;
            if (o.exitCode == 0) {
                s.status = "corrected";
                reporter.step(count + s.run + ": corrected in " + seconds);
            } else {
                s.status = "failed";
                s.message = o.message.empty() ? "failed without a message" : o.message;
                reporter.warning(count + s.run + ": failed: " + s.message +
                                 " (log: " + tasks[i].log.string() + ")");
            }
        });

    int corrected = 0, complete = 0, skipped = 0, failed = 0;
    json runs = json::array();
    for (const auto& s : statuses) {
        corrected += s.status == "corrected";
        complete += s.status == "complete";
        skipped += s.status == "skipped";
        failed += s.status == "failed";
        runs.push_back(
            {{"run", s.run}, {"status", s.status}, {"message", s.message}, {"seconds", s.seconds}});
    }
    // Jobs of a cluster that each take some participants or runs keep summaries of their own.
    std::string summaryName = "ondrift_bids";
    for (const auto& p : filter.participants) summaryName += "_sub-" + p;
    for (const auto& b : filter.bolds) summaryName += "_" + fs::path(b).filename().string();
    if (summaryName.size() > 200) summaryName = summaryName.substr(0, 200);
    writeFileAtomically(output / "logs" / (summaryName + ".json"),
                        json({{"source", source.string()}, {"runs", runs}}).dump(2) + "\n");
    fs::remove(output / ".work", ec);  // only when empty
    writeReportIndex(plan, output, extension);
    char line[200];
    std::snprintf(line, sizeof line,
                  "%d runs: %d corrected, %d complete already, %d skipped, %d failed",
                  static_cast<int>(statuses.size()), corrected, complete, skipped, failed);
    reporter.step(line);
    if (reporter.verbosity() != Verbosity::Quiet) std::printf("%s\n", output.string().c_str());
    if (corrected + complete == 0 && failed == 0) {
        reporter.warning("no run of the data set has a field map meant for it; nothing corrected");
    }
    return failed > 0 ? kExitFailed : kExitSuccess;
}

}  // namespace ondrift::cli
