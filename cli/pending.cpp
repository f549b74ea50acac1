#include <filesystem>

#include "cli/commands.h"
#include "cli/errors.h"
#include "cli/project_io.h"

namespace ondrift::cli {
void printProjectInfo(const std::string& path) { throw InputError(path + ": not yet"); }
int runScript(const RunOptions&, Reporter&) { throw ProcessingError("not yet"); }
}  // namespace ondrift::cli
