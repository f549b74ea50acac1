// The two ways a command can fail, and the exit codes they map to.
#ifndef ONDRIFT_CLI_ERRORS_H
#define ONDRIFT_CLI_ERRORS_H

#include <stdexcept>
#include <string>

namespace ondrift::cli {

enum ExitCode : int {
    kExitSuccess = 0,
    kExitFailed = 1,    ///< the input was fine but processing did not succeed
    kExitBadInput = 2,  ///< bad usage or bad input: nothing was written
};

/// Bad usage or input. The message is one line that names the file or flag at fault.
class InputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

/// Processing failed after the input was accepted (the plug-in reported an error, a file could
/// not be written).
class ProcessingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace ondrift::cli

#endif
