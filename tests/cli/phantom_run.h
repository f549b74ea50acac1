// Runs `ondrift correct` on a phantom written to disk and measures the corrected series against
// the phantom's truth: the part that the command's accuracy tests share.
#ifndef ONDRIFT_TESTS_CLI_PHANTOM_RUN_H
#define ONDRIFT_TESTS_CLI_PHANTOM_RUN_H

#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "cli/nifti/nifti_file.h"
#include "cli/phantom/phantom.h"
#include "cli_test_support.h"

namespace ondrift::testing {

/// The name the command gives the corrected series of a phantom.
inline constexpr const char* kPhantomCorrected = "sub-phantom_task-rest_bold_undistort.nii.gz";

struct PhantomRun {
    CommandRun run;
    std::filesystem::path folder;  ///< the output folder
    cli::NiftiImage corrected;     ///< read only when the command succeeded
    double before = 0;             ///< relative error of the distorted series
    double after = 0;              ///< relative error of the corrected series
    double ideal = 0;              ///< relative error with the true shift map, when asked for

    /// Error of the distorted series over the corrected one's (and over the ideal's).
    double reduction() const { return before / after; }
    double idealReduction() const { return before / ideal; }
    nlohmann::json summary() const {
        return nlohmann::json::parse(readText(folder / "ondrift.json"));
    }
};

/// Where the run starts: the phase difference with its magnitude, or the field map in Hz.
enum class PhantomStart { Phase, FieldMap };

struct PhantomRunOptions {
    std::string extra;  ///< further arguments of the command
    PhantomStart start = PhantomStart::Phase;
    bool withIdeal = false;  ///< also measure the resampling with the true shift map
};

/// Corrects the phantom's `files` into "<name>-out" of the scratch folder.
inline PhantomRun correctPhantomFiles(const cli::Phantom& p, const cli::PhantomFiles& files,
                                      const ScratchFolder& scratch, const std::string& name,
                                      const PhantomRunOptions& options = {}) {
    PhantomRun r;
    r.folder = scratch.path() / (name + "-out");
    const std::string start =
        options.start == PhantomStart::FieldMap
            ? "--from ComputePxshift --phase \"" + files.fieldmap + "\""
            : "--phase \"" + files.phase + "\" --magnitude \"" + files.magnitude + "\"";
    r.run = runOndrift("correct -q " + start + " --epi \"" + files.bold + "\" --out \"" +
                           r.folder.string() + "\" " + options.extra,
                       scratch);
    if (r.run.exitCode != 0) return r;
    r.corrected = cli::readNifti((r.folder / kPhantomCorrected).string(), {}, nullptr);
    r.before = cli::relativeError(p.distorted, p.truth, p.evaluationMask);
    r.after = cli::relativeError(r.corrected.data, p.truth, p.evaluationMask);
    if (options.withIdeal) r.ideal = cli::relativeError(p.idealSeries(), p.truth, p.evaluationMask);
    return r;
}

/// Writes the phantom into "<name>-in" of the scratch folder and corrects it into "<name>-out".
inline PhantomRun correctPhantom(const cli::Phantom& p, const ScratchFolder& scratch,
                                 const std::string& name, const PhantomRunOptions& options = {}) {
    const cli::PhantomFiles files = cli::writePhantom(p, scratch / (name + "-in"), nullptr);
    return correctPhantomFiles(p, files, scratch, name, options);
}

}  // namespace ondrift::testing

#endif
