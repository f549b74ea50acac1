// Outcome of one execute call: one status flag and one error text.
#ifndef ONDRIFT_PLUGIN_CALL_STATE_H
#define ONDRIFT_PLUGIN_CALL_STATE_H

#include <cstddef>
#include <string>

namespace ondrift {

/// The host's GUI script reads the error text from a 256-byte buffer.
inline constexpr std::size_t kErrorTextBytes = 256;
/// Buffers for "Command" and "Procedure", and for file-name parameters.
inline constexpr std::size_t kCommandBytes = 100;
inline constexpr std::size_t kFileNameBytes = 256;

struct CallState {
    bool status = true;
    std::string errorText = "An error occurred.";

    /// Marks the call failed; a message replaces the error text (the last one wins).
    void fail() { status = false; }
    void fail(const std::string& message) {
        status = false;
        errorText = message.substr(0, kErrorTextBytes - 1);
    }
};

/// Reads a string parameter that must fit a buffer of `capacity` bytes. A longer value is refused
/// (logged, call failed) instead of being cut, and false is returned.
bool readBoundedParameter(const char* name, std::size_t capacity, CallState& call,
                          std::string& value);

}  // namespace ondrift

#endif
