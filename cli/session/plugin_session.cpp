#include "cli/session/plugin_session.h"

#include "binding/host_parameters.h"
#include "cli/base/errors.h"
#include "cli/base/reporter.h"
#include "host/standin.h"
#include "host/workspace.h"

namespace ondrift::cli {

namespace {

constexpr const char* kAmrWriteError = "Error while writing AMR file";

}  // namespace

PluginSession::PluginSession(const std::string& libraryPath, Reporter& reporter)
    : path_(libraryPath.empty() ? standin::PluginLoader::defaultLibraryPath() : libraryPath) {
    auto& s = standin::session();
    s.dialogMode = standin::DialogMode::Scripted;
    s.echoLog = false;
    s.onLog = [&reporter](const std::string& entry) { reporter.pluginLog(entry); };
    if (!loader_.open(path_)) throw ProcessingError(loader_.error());
    if (!loader_.create()) throw ProcessingError(path_ + ": " + loader_.error());
}

PluginSession::~PluginSession() {
    loader_.close();
    standin::session().onLog = nullptr;
}

std::string PluginSession::pluginName() const {
    const char* name = loader_.pluginName();
    return name != nullptr ? name : "";
}

CommandOutcome PluginSession::execute(const std::string& command) {
    auto& s = standin::session();
    s.parameters.setString(parameter::kCommand, command);
    s.parameters.setInt(parameter::kErrorNr, -1);
    const std::size_t dialogsBefore = s.dialogs.size();
    const std::size_t savesBefore = standin::workspace().saves().size();
    const std::size_t logBefore = s.log.size();
    loader_.execute();
    CommandOutcome outcome;
    outcome.ok = s.parameters.getInt(parameter::kErrorNr) == 0;
    if (!outcome.ok) outcome.errorMessage = s.parameters.getString(parameter::kErrorMsg);
    // The plug-in goes on when a save of an intermediate image fails; for a user that is still
    // a lost file (a full disk, say), so the command counts it as a failure.
    const auto& saves = standin::workspace().saves();
    for (std::size_t i = savesBefore; i < saves.size() && outcome.ok; ++i) {
        if (saves[i].result > 0) continue;
        outcome.ok = false;
        outcome.errorMessage = "the host could not save " + saves[i].fmrFileName +
                               (saves[i].error.empty() ? std::string() : ": " + saves[i].error);
    }
    // The plug-in writes its AMR images itself and logs this line when one could not be written.
    for (std::size_t i = logBefore; i < s.log.size() && outcome.ok; ++i) {
        if (s.log[i] != kAmrWriteError) continue;
        outcome.ok = false;
        outcome.errorMessage = "the plug-in could not write an AMR image (" + s.log[i] + ")";
    }
    outcome.dialogsShown = static_cast<int>(s.dialogs.size() - dialogsBefore);
    outcome.answersLeft = static_cast<int>(s.answers.size());
    return outcome;
}

std::vector<std::string> PluginSession::log() const { return standin::session().log; }

}  // namespace ondrift::cli
