#include "cli/base/phase_encoding.h"

#include "cli/base/errors.h"

namespace ondrift::cli {

namespace {

// In the order of the codes.
constexpr const char* kBids[] = {"i", "i-", "j", "j-", "k", "k-"};

}  // namespace

int directionCode(const std::string& value, const std::string& what) {
    for (int c = 1; c <= 6; ++c) {
        if (value == kBids[c - 1]) return c;
    }
    if (value.size() == 1 && isDirectionCode(value[0] - '0')) return value[0] - '0';
    throw InputError(what + ": phase-encoding direction \"" + value +
                     "\" is not one of i, i-, j, j-, k, k- (or 1-6)");
}

std::string bidsDirection(int code) { return isDirectionCode(code) ? kBids[code - 1] : "?"; }

}  // namespace ondrift::cli
