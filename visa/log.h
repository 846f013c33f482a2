#pragma once

namespace visa {

// True when the environment asks for the library's diagnostics
// (FW_VISA_LOG=1). Read once; the library is silent otherwise.
bool log_enabled();

// printf-style line to stderr, prefixed "visa: ", only when enabled. Callers
// put in what only they know: resource, host:port, RPC call, errno text.
void log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace visa
