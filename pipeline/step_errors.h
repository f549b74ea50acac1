// How a step that refuses its input or cannot save its result tells its caller why.
#ifndef ONDRIFT_PIPELINE_STEP_ERRORS_H
#define ONDRIFT_PIPELINE_STEP_ERRORS_H

#include <string>

#include "binding/log.h"

namespace ondrift {

/// printf-style text, cut at 1023 characters.
std::string formatMessage(const char* format, ...) ONDRIFT_PRINTF_FORMAT(1, 2);

/// Logs `message` and, when the caller asked for it, hands it over in `*error`.
void reportStepError(std::string* error, const std::string& message);

}  // namespace ondrift

#endif
