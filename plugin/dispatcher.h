// The command dispatcher behind execute().
#ifndef ONDRIFT_PLUGIN_DISPATCHER_H
#define ONDRIFT_PLUGIN_DISPATCHER_H

namespace ondrift {

/// Runs the command named by the "Command" parameter and reports its outcome in "ErrorNr" and
/// "ErrorMsg". Always returns true; nothing escapes to the host.
bool executeCommand();

}  // namespace ondrift

#endif
