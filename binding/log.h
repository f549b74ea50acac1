// Writing entries to the host's log pane.
#ifndef ONDRIFT_BINDING_LOG_H
#define ONDRIFT_BINDING_LOG_H

#include <cstddef>
#include <string>

// The C++ runtime of the Windows cross build formats in the C99 way (%zu included), but the
// plain printf checker there knows only the older Microsoft forms.
#if defined(__MINGW32__)
#define ONDRIFT_PRINTF_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define ONDRIFT_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#endif

namespace ondrift {

/// Scratch size of one formatted log entry; longer entries are cut, never overflowed.
inline constexpr std::size_t kLogEntryBytes = 65536;

/// One log entry: "ondrift > <text>" with the prefix, "<text>" without; cut at 65,535 bytes.
void logMessage(const char* text, bool withPrefix);

/// One log entry, passed to the host unchanged (no prefix, no cut beyond the entry bound).
void logText(const std::string& text);

/// printf-style entry formatted into the 65,536-byte scratch buffer.
void logFormat(const char* format, ...) ONDRIFT_PRINTF_FORMAT(1, 2);

}  // namespace ondrift

#endif
