// A yes/no question on the terminal.
#pragma once

#include <string>

namespace cli {

enum class Answer { yes, no, interrupted };

// Writes "<question> [y/N] " to standard error and reads one line from
// standard input: "y" or "yes" (either case of the first letter) is yes,
// anything else, the end of input or a read error is no. A stop request
// (interrupt::wake_fd) ends the wait at once, on the first signal.
Answer ask_yes_no(const std::string& question);

}  // namespace cli
