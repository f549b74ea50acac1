// `ondrift run SCRIPT`: a small line-based language that plays the host's GUI script against
// the headless host (language reference: docs/cli.md).
#ifndef ONDRIFT_CLI_SESSION_SCRIPT_H
#define ONDRIFT_CLI_SESSION_SCRIPT_H

#include <filesystem>
#include <istream>
#include <string>
#include <vector>

namespace ondrift::cli {

class Reporter;

/// Longest script line accepted (names, values and paths fit with room to spare).
inline constexpr std::size_t kMaxScriptLineBytes = 64 * 1024;

/// Splits a script line into words: blanks separate, "double quotes" group (a backslash escapes
/// a quote or a backslash inside), # outside quotes starts a comment. InputError on an open quote.
std::vector<std::string> splitScriptLine(const std::string& line);

/// Runs the script read from `in`. Relative paths are taken in `baseFolder`. `name` labels
/// error messages ("session.txt:12: ..."). Throws InputError for a script that cannot run
/// (syntax, missing files) and ProcessingError when a command failed or an expectation did not
/// hold; returns normally when the script ran to its end.
void runSessionScript(std::istream& in, const std::string& name,
                      const std::filesystem::path& baseFolder, const std::string& pluginPath,
                      Reporter& reporter);

}  // namespace ondrift::cli

#endif
