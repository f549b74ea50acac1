#include "binding/log.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

#include "binding/host_api.h"

namespace ondrift {

void logMessage(const char* text, bool withPrefix) {
    // 64 KiB is too much for the stack of a host thread we do not own.
    std::vector<char> buffer(kLogEntryBytes);
    std::snprintf(buffer.data(), buffer.size(), withPrefix ? "ondrift > %s" : "%s",
                  text != nullptr ? text : "");
    host::logText(buffer.data());
}

void logText(const std::string& text) { logMessage(text.c_str(), false); }

void logFormat(const char* format, ...) {
    std::vector<char> buffer(kLogEntryBytes);
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    va_end(args);
    host::logText(buffer.data());
}

}  // namespace ondrift
