// Listing the instruments the VISA library can reach.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace workflow {

class Operator;

// Size of the resource list text one discovery run fills, terminator included.
inline constexpr std::size_t kResourceListSize = 100000;
// Longest line taken from the resource list; longer lines are cut here.
inline constexpr std::size_t kResourceLineSize = 1024;

// Writes into `out` (room for `outSize` bytes, at least 1) one line per
// instrument resource the VISA library finds, each ending in "\n", in the
// library's order, serial ports ("ASRL...") left out; or the single line
// "viOpenDefaultRM failed\n"; or nothing. Lines that no longer fit are left
// out whole: the text always ends with a complete line. Shows the run in the
// log and progress bar of `op`, ending with an empty bar.
// `expression` is the window's unless given: the command line also lists
// raw sockets, which only a configuration line names.
inline constexpr const char* kFindInstruments = "?*INSTR";
inline constexpr const char* kFindInstrumentsAndSockets = "?*INSTR|?*SOCKET";
void DiscoverInstruments(Operator& op, char* out, std::size_t outSize,
                         const char* expression = kFindInstruments);

// The lines of a resource list text without their "\n"; text after the last
// "\n" is not a line. Each is cut to kResourceLineSize - 1 characters.
std::vector<std::string> SplitResourceList(const char* text);

}  // namespace workflow
