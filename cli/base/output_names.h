// Names of the files the command writes that more than one of its parts must agree on.
#ifndef ONDRIFT_CLI_BASE_OUTPUT_NAMES_H
#define ONDRIFT_CLI_BASE_OUTPUT_NAMES_H

#include <string>

namespace ondrift::cli {

/// The name of the report of a functional series: "<stem>_report.html".
inline std::string reportFileName(const std::string& boldStem) { return boldStem + "_report.html"; }

}  // namespace ondrift::cli

#endif
