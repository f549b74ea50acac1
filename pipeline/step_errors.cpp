#include "pipeline/step_errors.h"

#include <cstdarg>
#include <cstdio>

#include "binding/log.h"

namespace ondrift {

std::string formatMessage(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

void reportStepError(std::string* error, const std::string& message) {
    logText(message);
    if (error != nullptr) *error = message;
}

}  // namespace ondrift
