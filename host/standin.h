// The stand-in host: a headless implementation of every host function the plug-in uses.
//
// One process-wide instance serves the exported vx functions. Tests and the command-line tool
// configure it (version, parameters, dialog answers, documents) and read back what the plug-in
// did (log, message boxes, dialogs shown, parameters written). It knows the plug-in only through
// the binary interface.
#ifndef ONDRIFT_HOST_STANDIN_H
#define ONDRIFT_HOST_STANDIN_H

#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace ondrift::standin {

/// One dialog the plug-in opened, as the host saw it.
struct DialogRecord {
    enum class Kind { IntegerInput, OpenFileName } kind;
    std::string text;    ///< HTML prompt or dialog title
    std::string filter;  ///< file filter (open-file dialogs)
    int defaultValue = 0;
    int minimum = 0;
    int maximum = 0;
};

/// A scripted answer: a number for integer inputs, a path for file dialogs, or a cancel.
struct DialogAnswer {
    enum class Kind { Number, Path, Cancel } kind = Kind::Cancel;
    int number = 0;
    std::string path;

    static DialogAnswer withNumber(int n) { return {Kind::Number, n, {}}; }
    static DialogAnswer withPath(std::string p) { return {Kind::Path, 0, std::move(p)}; }
    static DialogAnswer cancel() { return {}; }
};

/// How dialogs are answered when the script queue is empty.
enum class DialogMode {
    Scripted,     ///< an empty queue cancels the dialog
    Interactive,  ///< ask on the terminal
};

class ParameterStore {
public:
    void setString(const std::string& name, std::string value) {
        strings_[name] = std::move(value);
    }
    void setInt(const std::string& name, int value) { ints_[name] = value; }
    void setFloat(const std::string& name, float value) { floats_[name] = value; }
    /// A name never set gives "", 0 or 0.0f; the three stores are separate.
    std::string getString(const std::string& name) const;
    int getInt(const std::string& name) const;
    float getFloat(const std::string& name) const;
    bool hasString(const std::string& name) const { return strings_.count(name) != 0; }
    bool hasInt(const std::string& name) const { return ints_.count(name) != 0; }
    bool hasFloat(const std::string& name) const { return floats_.count(name) != 0; }
    void clear();

    const std::map<std::string, std::string>& strings() const { return strings_; }
    const std::map<std::string, int>& ints() const { return ints_; }
    const std::map<std::string, float>& floats() const { return floats_; }

private:
    std::map<std::string, std::string> strings_;
    std::map<std::string, int> ints_;
    std::map<std::string, float> floats_;
};

struct Version {
    int major = 2;
    int minor = 6;
    int release = 0;
};

/// Everything about the host that is not a document.
class Session {
public:
    ParameterStore parameters;
    Version version;

    std::vector<std::string> log;           ///< every vxLogText entry, in order
    std::vector<std::string> messageBoxes;  ///< every vxMessageBox text
    std::vector<DialogRecord> dialogs;      ///< every dialog shown
    std::deque<DialogAnswer> answers;       ///< scripted answers, taken front first
    DialogMode dialogMode = DialogMode::Scripted;

    int busyShown = 0;      ///< vxShowBusyCursor calls
    int busyStopped = 0;    ///< vxStopBusyCursor calls
    int logTabShown = 0;    ///< vxShowLogTab calls
    int windowUpdates = 0;  ///< vxUpdateActiveWindow calls

    /// Called with each new log entry (the command-line tool prints progress with it).
    std::function<void(const std::string&)> onLog;
    /// Echo log entries to standard error as they arrive.
    bool echoLog = false;

    /// Forgets log, messages, dialogs, answers, counters and parameters; keeps version and mode.
    void clearRecords();
    /// The next answer for a dialog: from the queue, the terminal, or a cancel.
    DialogAnswer nextAnswer(const DialogRecord& dialog);
};

/// The process-wide session served by the exported host functions.
Session& session();

/// A clean host: clears the session's records and closes every workspace document (workspace.h).
void clearAll();

}  // namespace ondrift::standin

#endif
