// Listing the instruments the VISA library can reach.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace workflow {

class Operator;

// What one discovery run found: the instrument resources the VISA library
// lists, in its order, serial ports ("ASRL...") left out; or why it could
// not search.
struct FoundInstruments {
    std::vector<std::string> m_resources;
    bool m_searched = true;  // false: the resource manager could not be opened
    long m_status = 0;       // viOpenDefaultRM's status when it failed
    std::string m_error;     // that failure in plain words, "" when none
};

// One discovery run, shown in the log and progress bar of `op` (ending with
// an empty bar). Any status of viOpenDefaultRM but success, warnings
// included, counts as failure: no search is made.
// `expression` is the window's unless given: the command line also lists
// raw sockets, which only a configuration line names.
inline constexpr const char* kFindInstruments = "?*INSTR";
inline constexpr const char* kFindInstrumentsAndSockets = "?*INSTR|?*SOCKET";
FoundInstruments FindInstruments(Operator& op, const char* expression = kFindInstruments);

// Size of the resource list text one discovery run fills, terminator included.
inline constexpr std::size_t kResourceListSize = 100000;
// Longest line taken from the resource list; longer lines are cut here.
inline constexpr std::size_t kResourceLineSize = 1024;

// The window's drop-down list text of FindInstruments: into `out` (room for
// `outSize` bytes, at least 1) one line per resource, each ending in "\n";
// or, when it could not search, the single line "viOpenDefaultRM failed\n",
// which the window lists as an entry; or nothing. Lines that no longer fit
// are left out whole: the text always ends with a complete line.
void DiscoverInstruments(Operator& op, char* out, std::size_t outSize);

// The lines of a resource list text without their "\n"; text after the last
// "\n" is not a line. Each is cut to kResourceLineSize - 1 characters.
std::vector<std::string> SplitResourceList(const char* text);

}  // namespace workflow
