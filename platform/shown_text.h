// Text from outside (an instrument's reply, a file, the network) made safe to
// print on a terminal or as one line of a log.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// `text` with every control character written out, so that nothing printed
// from an instrument or a file can move the cursor, change colours, retitle
// the terminal or start a line of its own: "\n", "\r", "\t", other C0
// characters and DEL as "\xNN", C1 characters (U+0080 to U+009F) as
// "\u00NN", and bytes that are not UTF-8 as "\xNN". A backslash becomes "\\",
// so that what is shown reads back unambiguously. Printable UTF-8 passes
// unchanged.
std::string escape_controls(std::string_view text);

}  // namespace platform
