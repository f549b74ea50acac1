// The quality report of one correction: a single HTML file with everything embedded (pictures
// as PNG data: URIs, plots as inline SVG, styles inline, no script), so that it opens in any
// browser without a server and loads nothing from the network. And an index page over several.
#ifndef ONDRIFT_CLI_REPORT_HTML_REPORT_H
#define ONDRIFT_CLI_REPORT_HTML_REPORT_H

#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli/base/output_names.h"
#include "cli/report/pair_section.h"
#include "cli/report/polarity_check.h"
#include "cli/report/report_figures.h"
#include "cli/report/shift_figures.h"

namespace ondrift::cli {

struct ReportContent {
    std::string title;       ///< the functional series' stem
    nlohmann::json summary;  ///< what ondrift.json holds (inputs, parameters, warnings, log …)
    ReportImages images;
    PolarityCheck polarity;
    ShiftFigures shifts;
    PairPictures pair;  ///< a field estimated from a reverse phase-encoding pair (else empty)
};

/// The page. Never throws for odd images: what cannot be shown is said in its section.
std::string renderReport(const ReportContent& content);

struct IndexEntry {
    std::string title;    ///< e.g. the run's name
    std::string link;     ///< the report, relative to the index page
    std::string verdict;  ///< the polarity check's verdict
    std::size_t warnings = 0;
    bool alarm = false;  ///< the opposite sign matched better
};

/// A page listing the reports of several runs, with their polarity verdicts.
std::string renderIndex(const std::string& title, const std::vector<IndexEntry>& entries);

/// The entry of the index page for a report written by `renderReport`.
IndexEntry indexEntry(const ReportContent& content, const std::string& link);

}  // namespace ondrift::cli

#endif
