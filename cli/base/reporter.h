// Progress, warnings and the plug-in's log on standard error.
//
// Normal output is one line per step with the elapsed time, so that a long run on a cluster
// leaves a readable trace; --verbose adds the plug-in's full log, --quiet keeps only warnings
// and errors. Progress bars are drawn only when standard error is a terminal.
#ifndef ONDRIFT_CLI_REPORTER_H
#define ONDRIFT_CLI_REPORTER_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace ondrift::cli {

enum class Verbosity { Quiet, Normal, Verbose };

class Reporter {
public:
    explicit Reporter(Verbosity verbosity = Verbosity::Normal);

    Verbosity verbosity() const { return verbosity_; }
    /// Seconds since the reporter was made.
    double elapsed() const;

    /// A step of the command's own work ("Reading BOLD.nii.gz").
    void step(const std::string& text);
    /// Detail shown with --verbose only.
    void detail(const std::string& text);
    /// Always shown, and kept for the summary.
    void warning(const std::string& text);
    /// One entry of the plug-in's log: entries that announce a step (ending in "...") become
    /// progress lines; the rest is shown with --verbose.
    void pluginLog(const std::string& entry);

    /// Draws or updates a progress bar (terminal only); done == total ends it.
    void progress(const std::string& label, std::uint64_t done, std::uint64_t total);

    const std::vector<std::string>& warnings() const { return warnings_; }

private:
    void line(const std::string& text);

    Verbosity verbosity_;
    bool terminal_;
    bool barOpen_ = false;
    int lastPercent_ = -1;
    std::chrono::steady_clock::time_point start_;
    std::vector<std::string> warnings_;
};

}  // namespace ondrift::cli

#endif
