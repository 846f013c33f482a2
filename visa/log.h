#pragma once

#include <string>

#include "visa.h"

namespace visa {

// True when the environment asks for the library's diagnostics
// (FW_VISA_LOG=1). Read once; the library is silent otherwise.
bool log_enabled();

// printf-style line to stderr, prefixed "visa: ", only when enabled. Callers
// put in what only they know: resource, host:port, RPC call, errno text.
void log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Sends every line to `sink` as well (tests check the lines a user would
// need); nullptr stops that. Lines reach the sink whether or not logging is
// enabled.
using LogSink = void (*)(const char* line);
void set_log_sink(LogSink sink);

// Remembers, for this thread, a sentence that explains the last failure with
// `status` better than its standard text (which device node, what to do).
// viStatusDesc appends it to the standard text for that status.
void set_failure_detail(ViStatus status, std::string text);
// The sentence kept for `status` on this thread, or empty.
std::string failure_detail(ViStatus status);

}  // namespace visa
