// The command's version, as its outputs and records name it.
#ifndef ONDRIFT_CLI_VERSION_H
#define ONDRIFT_CLI_VERSION_H

namespace ondrift::cli {

inline constexpr const char* kOndriftVersion = "1.1.0";

}  // namespace ondrift::cli

#endif
