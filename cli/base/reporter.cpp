#include "cli/base/reporter.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <sstream>

namespace ondrift::cli {

Reporter::Reporter(Verbosity verbosity)
    : verbosity_(verbosity),
      terminal_(isatty(STDERR_FILENO) == 1),
      start_(std::chrono::steady_clock::now()) {}

double Reporter::elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void Reporter::line(const std::string& text) {
    if (barOpen_) {
        std::cerr << "\n";
        barOpen_ = false;
    }
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "[%7.2fs] ", elapsed());
    std::cerr << stamp << text << "\n";
}

void Reporter::step(const std::string& text) {
    if (verbosity_ != Verbosity::Quiet) line(text);
}

void Reporter::detail(const std::string& text) {
    if (verbosity_ == Verbosity::Verbose) line(text);
}

void Reporter::warning(const std::string& text) {
    warnings_.push_back(text);
    if (barOpen_) {
        std::cerr << "\n";
        barOpen_ = false;
    }
    std::cerr << "ondrift: warning: " << text << "\n";
}

void Reporter::pluginLog(const std::string& entry) {
    static const std::string kWarning = "Warning: ";
    if (entry.compare(0, kWarning.size(), kWarning) == 0) {
        warning("plug-in: " + entry.substr(kWarning.size()));
    }
    if (verbosity_ == Verbosity::Verbose) {
        // Multi-line entries (statistics, matrices) keep their layout under one time stamp.
        std::istringstream lines(entry);
        std::string first;
        std::getline(lines, first);
        line("  plug-in: " + first);
        for (std::string rest; std::getline(lines, rest);)
            std::cerr << "            " << rest << "\n";
        return;
    }
    if (entry.size() > 3 && entry.compare(entry.size() - 3, 3, "...") == 0 &&
        entry.find('\n') == std::string::npos) {
        step("  " + entry);
    }
}

void Reporter::progress(const std::string& label, std::uint64_t done, std::uint64_t total) {
    if (!terminal_ || verbosity_ == Verbosity::Quiet || total == 0) return;
    const int percent = static_cast<int>(done * 100 / total);
    if (percent == lastPercent_ && done < total) return;
    lastPercent_ = percent;
    constexpr int kWidth = 30;
    const int filled = percent * kWidth / 100;
    std::cerr << "\r" << label << " [" << std::string(static_cast<std::size_t>(filled), '#')
              << std::string(static_cast<std::size_t>(kWidth - filled), ' ') << "] " << percent
              << "%" << std::flush;
    barOpen_ = true;
    if (done >= total) {
        std::cerr << "\r\033[K" << std::flush;  // clear the bar; the step line stays
        barOpen_ = false;
        lastPercent_ = -1;
    }
}

}  // namespace ondrift::cli
