// FMR and VMR projects of the stand-in host, as the command reads and prints them.
#ifndef ONDRIFT_CLI_PROJECT_IO_H
#define ONDRIFT_CLI_PROJECT_IO_H

#include <string>

#include "binding/host_abi.h"

namespace ondrift::cli {

/// Prints a position record, one field group per line.
void printPosition(const ScannerPositionHeader& position);

/// Prints the header of an FMR or VMR project file; InputError for other files.
void printProjectInfo(const std::string& path);

}  // namespace ondrift::cli

#endif
