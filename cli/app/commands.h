// The subcommands of `ondrift`: their options and their entry points.
#ifndef ONDRIFT_CLI_COMMANDS_H
#define ONDRIFT_CLI_COMMANDS_H

#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/settings/correction_settings.h"

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace ondrift::cli {

class Reporter;
struct PairField;

struct CorrectOptions {
    std::string phase;
    std::string magnitude;
    std::string epi;
    std::string anat;
    std::string out;
    std::string plugin;          ///< plug-in library; empty: next to the executable
    std::string magnitudeScale;  ///< "auto", "none" or a factor
    CorrectionFlags flags;
    bool nanToZero = false;
    bool overwrite = false;
    std::string outputType = "nii.gz";  ///< "nii" or "nii.gz"
    bool keepProjects = false;          ///< also the host's project files and AMR images
    bool noReport = false;              ///< skip the HTML quality report
    /// Memory the run may take, MiB; it sets how many volumes are corrected at a time.
    /// 0: a quarter of the machine's memory.
    double memoryLimitMb = 0;
    /// Sidecars given by the caller instead of the X.json beside each input (a BIDS data set's
    /// sidecars with what they inherit from the levels above).
    std::optional<Sidecar> phaseSidecar;
    std::optional<Sidecar> magnitudeSidecar;
    std::optional<Sidecar> epiSidecar;
    /// Instead of a field map: two images (or series) taken with opposite phase-encoding
    /// directions, from which the field is estimated (their sidecars: given, or beside them).
    std::vector<std::string> pair;
    std::vector<std::optional<Sidecar>> pairSidecars;
    /// The start image was made by the command (a field estimated from a pair): it goes into
    /// the output folder with its sidecar, and `fieldMapSource` into ondrift.json.
    bool startImageIsOutput = false;
    nlohmann::json fieldMapSource;
    std::shared_ptr<const PairField> pairField;  ///< for the report's pictures of the pair
    /// The series is one of the pair's own images (the intensity modulation defaults on).
    bool seriesIsPairImage = false;
};

struct BidsOptions {
    std::string bidsDir;
    std::string outputDir;
    std::string analysisLevel;
    std::vector<std::string> participants;  ///< with or without "sub-"
    std::vector<std::string> tasks;
    std::vector<std::string> sessions;  ///< with or without "ses-"
    std::vector<std::string> bolds;     ///< only these functional runs
    int jobs = 0;                       ///< 0: the number of cores
    bool overwrite = false;
    bool skipValidation = false;
    bool strictValidation = false;  ///< validator errors refuse the data set
    bool keepProjects = false;
    std::string outputType = "nii.gz";
    std::string plugin;
    std::optional<bool> jacobian;  ///< --jacobian / --no-jacobian for every run
    double memoryLimitMb = 0;      ///< for all runs at once; 0: a quarter of the machine's memory
};

struct DemoOptions {
    std::string out;  ///< empty: a temporary folder, removed afterwards
    std::string size = "small";
    std::string plugin;
    std::string bidsOut;  ///< write a phantom BIDS data set here instead, and stop
    int subjects = 2;
};

struct RunOptions {
    std::string script;
    std::string plugin;
};

struct InfoOptions {
    std::string file;
};

int runCorrect(const CorrectOptions& options, Reporter& reporter);
int runBids(const BidsOptions& options, Reporter& reporter);
int runDemo(const DemoOptions& options, Reporter& reporter);
int runScript(const RunOptions& options, Reporter& reporter);
int runInfo(const InfoOptions& options, Reporter& reporter);

/// Registers the subcommands on the app and runs the one that was chosen.
class Commands {
public:
    void add(CLI::App& app);
    /// Call after parsing; the exit code.
    int run(Reporter& reporter);

private:
    void addCorrect(CLI::App& app);
    void addBids(CLI::App& app);
    void addDemo(CLI::App& app);
    void addRun(CLI::App& app);
    void addInfo(CLI::App& app);
    /// Completes CorrectionFlags from what was parsed.
    void collectCorrectFlags();

    CLI::App* correct_ = nullptr;
    CLI::App* bids_ = nullptr;
    CLI::App* demo_ = nullptr;
    CLI::App* run_ = nullptr;
    CLI::App* info_ = nullptr;
    CorrectOptions correctOptions_;
    BidsOptions bidsOptions_;
    DemoOptions demoOptions_;
    RunOptions runOptions_;
    InfoOptions infoOptions_;

    /// An on/off flag with a negated form, kept apart from its target until parsing is done.
    struct Switch {
        bool value = false;
        CLI::Option* option = nullptr;
        std::optional<bool>* target = nullptr;
    };
    CLI::Option* addSwitch(CLI::App* app, const std::string& names, std::optional<bool>& target,
                           const std::string& help);
    std::deque<Switch> switches_;  ///< stable addresses: CLI11 keeps pointers to their values
    std::string from_ = "Unwrap";
};

}  // namespace ondrift::cli

#endif
