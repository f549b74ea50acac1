// Runs independent pieces of work in child processes, a given number at a time. Each child has
// its own copy of the host's workspace and its own log file, so a run that fails, crashes or
// runs out of memory takes no other run with it.
#ifndef ONDRIFT_CLI_RUN_POOL_H
#define ONDRIFT_CLI_RUN_POOL_H

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace ondrift::cli {

struct PoolTask {
    std::filesystem::path log;  ///< the child's standard error (and output) go here
    /// The work, in the child; its return value is the child's exit code. An exception's
    /// message is reported back; InputError ends the child with 2, anything else with 1.
    std::function<int()> work;
};

struct PoolOutcome {
    int exitCode = -1;    ///< -1 when the child ended by a signal
    int signal = 0;       ///< the signal that ended it
    std::string message;  ///< the exception's message, if any
    double seconds = 0;
};

/// Runs every task, at most `jobs` at once. `started` and `finished` are called in the parent
/// with the task's index as children start and end.
std::vector<PoolOutcome> runInProcesses(
    const std::vector<PoolTask>& tasks, int jobs, const std::function<void(std::size_t)>& started,
    const std::function<void(std::size_t, const PoolOutcome&)>& finished);

}  // namespace ondrift::cli

#endif
