#pragma once

#include <string>

#include "fwvisa_ext.h"
#include "visa.h"

namespace visa {

// True when the environment asks for the library's diagnostics
// (FW_VISA_LOG=1). Read once; the library is silent otherwise.
bool log_enabled();

// True when a line logged now would go anywhere (enabled, or a sink set):
// for callers that must work to find out what to say.
bool log_active();

// How much a line matters (the values of fwvisa_ext.h's FWVISA_LOG_*):
// error, a call failed; warning, something odd was ignored or worked
// around; info, what was set up; debug, the details.
enum class Level { error = 0, warning = 1, info = 2, debug = 3 };

// One printf-style line, prefixed with the module that writes it
// ("visa.vxi11: ..."): to the sink if one is set, else to stderr when enabled.
// Callers put in what only they know: resource, host:port, RPC call, errno
// text. Each file names its module once, in a `log_module` constant.
// log() is the info level's.
void log_error(const char* module, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void log_warning(const char* module, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void log(const char* module, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void log_debug(const char* module, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Hands every line, prefix included, to `sink` instead of stderr (the
// application's log, or a test checking the lines a user would need);
// nullptr goes back to stderr. Lines reach the sink whether or not
// FW_VISA_LOG is set: the sink's owner decides what to show. A sink gets the
// line as made, which may hold what a peer sent; one that prints it writes
// its control characters out (platform::escape_controls), as stderr does.
using LogSink = void (*)(const char* line);
void set_log_sink(LogSink sink);

// The same with each line's level, for the lines at `least` or more severe
// (fwvisa_set_log_callback). Replaces any sink.
void set_log_callback(fwvisa_log_fn callback, void* user, Level least);

// Remembers, for this thread, a sentence that explains the last failure with
// `status` better than its standard text (which device node, what to do).
// viStatusDesc appends it to the standard text for that status.
void set_failure_detail(ViStatus status, std::string text);
// The sentence kept for `status` on this thread, or empty.
std::string failure_detail(ViStatus status);

}  // namespace visa
