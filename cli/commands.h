// The subcommands of `ondrift`: their options and their entry points.
#ifndef ONDRIFT_CLI_COMMANDS_H
#define ONDRIFT_CLI_COMMANDS_H

#include <string>

#include "cli/correction_settings.h"

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace ondrift::cli {

class Reporter;

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
};

struct DemoOptions {
    std::string out;  ///< empty: a temporary folder, removed afterwards
    std::string size = "small";
    std::string plugin;
};

struct RunOptions {
    std::string script;
    std::string plugin;
};

struct InfoOptions {
    std::string file;
};

int runCorrect(const CorrectOptions& options, Reporter& reporter);
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
    void addDemo(CLI::App& app);
    void addRun(CLI::App& app);
    void addInfo(CLI::App& app);
    /// Turns the raw flag values into the optional fields of CorrectionFlags.
    void collectCorrectFlags();

    CLI::App* correct_ = nullptr;
    CLI::App* demo_ = nullptr;
    CLI::App* run_ = nullptr;
    CLI::App* info_ = nullptr;
    CorrectOptions correctOptions_;
    DemoOptions demoOptions_;
    RunOptions runOptions_;
    InfoOptions infoOptions_;

    struct RawFlags {
        double echoTimeDiffMs = 0, bandWidthPE = 0, effectiveEchoSpacing = 0, totalReadoutTime = 0;
        std::string peDirection, method, from = "Unwrap";
        int iterationsRelax = 0, vcycles = 0, iterations = 0;
        double regularisation = 0;
        bool phaseToRadians = false, maskLaplacian = false, applyTwoPi = false, map = false;
    } raw_;
    struct RawOptions {
        CLI::Option *echoTimeDiffMs, *bandWidthPE, *effectiveEchoSpacing, *totalReadoutTime,
            *peDirection, *method, *iterationsRelax, *regularisation, *vcycles, *iterations,
            *phaseToRadians, *maskLaplacian, *applyTwoPi, *map;
    } opts_{};
};

}  // namespace ondrift::cli

#endif
