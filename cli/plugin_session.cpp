#include "cli/plugin_session.h"

#include "cli/errors.h"
#include "cli/reporter.h"
#include "host/standin.h"

namespace ondrift::cli {

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
    s.parameters.setString("Command", command);
    s.parameters.setInt("ErrorNr", -1);
    const std::size_t dialogsBefore = s.dialogs.size();
    loader_.execute();
    CommandOutcome outcome;
    outcome.ok = s.parameters.getInt("ErrorNr") == 0;
    if (!outcome.ok) outcome.errorMessage = s.parameters.getString("ErrorMsg");
    outcome.dialogsShown = static_cast<int>(s.dialogs.size() - dialogsBefore);
    outcome.answersLeft = static_cast<int>(s.answers.size());
    return outcome;
}

std::vector<std::string> PluginSession::log() const { return standin::session().log; }

}  // namespace ondrift::cli
