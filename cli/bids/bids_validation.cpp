#include "cli/bids/bids_validation.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "cli/base/errors.h"
#include "cli/base/reporter.h"

namespace ondrift::cli {

namespace fs = std::filesystem;

namespace {

std::string shellQuote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// The report can be long (one entry per file at fault); the error shows its start.
constexpr std::size_t kReportShown = 6000;

}  // namespace

std::string findBidsValidator() {
    if (const char* given = std::getenv("ONDRIFT_BIDS_VALIDATOR"); given && *given) {
        return ::access(given, X_OK) == 0 ? std::string(given) : std::string();
    }
    const char* path = std::getenv("PATH");
    if (path == nullptr) return {};
    std::stringstream dirs(path);
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (dir.empty()) continue;
        const fs::path candidate = fs::path(dir) / "bids-validator";
        if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
    }
    return {};
}

void validateBidsDataset(const fs::path& root, bool strict, Reporter& reporter) {
    const std::string validator = findBidsValidator();
    if (validator.empty()) {
        reporter.warning(
            "the BIDS validator is not installed, so the data set was not validated "
            "(scripts/install-deps.sh installs the npm package bids-validator; "
            "--skip-bids-validation silences this)");
        return;
    }
    reporter.step("Validating the data set with " + validator);
    const std::string command =
        shellQuote(validator) + " --ignoreWarnings " + shellQuote(root.string()) + " 2>&1";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) throw ProcessingError("cannot run the BIDS validator " + validator);
    std::string report;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) report.append(buffer, n);
    const int status = ::pclose(pipe);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (code == 0) {
        reporter.detail(report);
        return;
    }
    if (code == 126 || code == 127 || code < 0) {
        throw ProcessingError("the BIDS validator " + validator + " could not run (" + report +
                              ")");
    }
    if (report.size() > kReportShown) report = report.substr(0, kReportShown) + "\n…";
    if (strict) {
        throw InputError(root.string() +
                         ": the BIDS validator found errors (--skip-bids-validation "
                         "runs all the same):\n" +
                         report);
    }
    // Most validator errors concern files or metadata that a correction never reads; each run
    // still stops on its own when something it needs is wrong or missing.
    reporter.warning(root.string() +
                     ": the BIDS validator found errors; going on with every run that has what "
                     "it needs (--strict-validation stops here instead):\n" +
                     report);
}

}  // namespace ondrift::cli
