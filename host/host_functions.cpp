// The exported host functions that do not touch documents: version, log, dialogs, cursor and
// the parameter store.
#include <algorithm>
#include <cstring>
#include <iostream>

#include "binding/host_abi.h"
#include "host/standin.h"

using ondrift::standin::DialogAnswer;
using ondrift::standin::DialogRecord;
using ondrift::standin::session;

namespace {

std::string textOrEmpty(const char* text) {
    return text != nullptr ? std::string(text) : std::string();
}

}  // namespace

extern "C" {

void vxGetVersionOfVelmora(int* major, int* minor, int* release) {
    const auto& v = session().version;
    if (major != nullptr) *major = v.major;
    if (minor != nullptr) *minor = v.minor;
    if (release != nullptr) *release = v.release;
}

void vxShowLogTab(void) { ++session().logTabShown; }

void vxLogText(const char* text) {
    auto& s = session();
    s.log.push_back(textOrEmpty(text));
    if (s.echoLog) std::cerr << s.log.back() << "\n";
    if (s.onLog) s.onLog(s.log.back());
}

void vxMessageBox(const char* text) {
    auto& s = session();
    s.messageBoxes.push_back(textOrEmpty(text));
    if (s.echoLog) std::cerr << "[message] " << s.messageBoxes.back() << "\n";
}

void vxShowBusyCursor(void) { ++session().busyShown; }
void vxStopBusyCursor(void) { ++session().busyStopped; }
void vxUpdateActiveWindow(void) { ++session().windowUpdates; }

int vxGetIntegerInput(const char* htmlPrompt, int defaultValue, int minimum, int maximum) {
    auto& s = session();
    DialogRecord record{DialogRecord::Kind::IntegerInput,
                        textOrEmpty(htmlPrompt),
                        {},
                        defaultValue,
                        minimum,
                        maximum};
    s.dialogs.push_back(record);
    const DialogAnswer a = s.nextAnswer(record);
    return a.kind == DialogAnswer::Kind::Number ? a.number : -1;
}

int vxGetOpenFileName(const char* title, const char* /*initialPath*/, const char* filter,
                      char* pathOut) {
    auto& s = session();
    DialogRecord record{
        DialogRecord::Kind::OpenFileName, textOrEmpty(title), textOrEmpty(filter), 0, 0, 0};
    s.dialogs.push_back(record);
    const DialogAnswer a = s.nextAnswer(record);
    if (a.kind != DialogAnswer::Kind::Path || pathOut == nullptr) return 0;
    // The plug-in's buffer holds 501 bytes: at most 500 characters and the NUL.
    const std::size_t n = std::min<std::size_t>(a.path.size(), kHostOpenFileNameBytes - 1);
    std::memcpy(pathOut, a.path.data(), n);
    pathOut[n] = '\0';
    return 1;
}

void vxGetStringParameter(const char* name, char* valueOut) {
    if (valueOut == nullptr) return;
    const std::string value = session().parameters.getString(textOrEmpty(name));
    const std::size_t n = std::min<std::size_t>(value.size(), kHostStringParameterBytes - 1);
    std::memcpy(valueOut, value.data(), n);
    valueOut[n] = '\0';
}

int vxGetIntParameter(const char* name) { return session().parameters.getInt(textOrEmpty(name)); }

float vxGetFloatParameter(const char* name) {
    return session().parameters.getFloat(textOrEmpty(name));
}

void vxSetStringParameter(const char* name, const char* value) {
    session().parameters.setString(textOrEmpty(name), textOrEmpty(value));
}

void vxSetIntParameter(const char* name, int value) {
    session().parameters.setInt(textOrEmpty(name), value);
}

}  // extern "C"
