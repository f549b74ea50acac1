// Phase-encoding directions as BIDS writes them ("j-") and as the plug-in counts them (1…6).
#ifndef ONDRIFT_CLI_BASE_PHASE_ENCODING_H
#define ONDRIFT_CLI_BASE_PHASE_ENCODING_H

#include <string>

#include "binding/host_parameters.h"

namespace ondrift::cli {

// The codes' axis, sign and opposite, as the plug-in decodes them.
using ondrift::directionAxis;
using ondrift::isDirectionCode;
using ondrift::isPositiveDirection;
using ondrift::oppositeDirection;

/// BIDS PhaseEncodingDirection ("i", "i-", "j", "j-", "k", "k-") or a code "1"…"6" → the
/// plug-in's direction code 1…6. InputError for anything else; `what` names the origin.
int directionCode(const std::string& value, const std::string& what);
/// The BIDS text of a direction code ("j-" for 4).
std::string bidsDirection(int code);

}  // namespace ondrift::cli

#endif
