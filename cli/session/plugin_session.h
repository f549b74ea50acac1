// The plug-in loaded into this process, driven like the host's GUI script drives it: write
// parameters, queue the answers of the picking dialogs, execute one command, read the outcome.
#ifndef ONDRIFT_CLI_PLUGIN_SESSION_H
#define ONDRIFT_CLI_PLUGIN_SESSION_H

#include <string>
#include <vector>

#include "host/plugin_loader.h"

namespace ondrift::cli {

class Reporter;

struct CommandOutcome {
    bool ok = false;           ///< "ErrorNr" was 0
    std::string errorMessage;  ///< "ErrorMsg" when not ok
    int dialogsShown = 0;      ///< dialogs the command opened
    int answersLeft = 0;       ///< queued answers it did not take
};

class PluginSession {
public:
    /// Opens the library (empty path: next to the executable or $ONDRIFT_PLUGIN), creates and
    /// initialises the plug-in. Throws ProcessingError when that fails. The plug-in's log is
    /// passed to the reporter from here on.
    PluginSession(const std::string& libraryPath, Reporter& reporter);
    ~PluginSession();
    PluginSession(const PluginSession&) = delete;
    PluginSession& operator=(const PluginSession&) = delete;

    const std::string& libraryPath() const { return path_; }
    std::string pluginName() const;

    /// Sets "Command" and runs it; the parameters and queued answers must be in place.
    CommandOutcome execute(const std::string& command);

    /// Every log entry of the plug-in so far.
    std::vector<std::string> log() const;

private:
    std::string path_;
    standin::PluginLoader loader_;
};

}  // namespace ondrift::cli

#endif
