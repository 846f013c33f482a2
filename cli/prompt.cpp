#include "prompt.h"

#include <cerrno>

#include <poll.h>
#include <unistd.h>

#include "interrupt.h"
#include "platform/write_all.h"

namespace cli {

namespace {

// Longer than any answer; a line past it is no answer we know.
constexpr std::size_t max_answer = 64;

}  // namespace

Answer ask_yes_no(const std::string& question) {
    const std::string prompt = question + " [y/N] ";
    platform::write_all(2, prompt);  // no terminal to show it on: the answer is still read
    std::string answer;
    for (;;) {
        pollfd fds[2] = {{0, POLLIN, 0}, {interrupt::wake_fd(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return Answer::no;
        }
        if (interrupt::requested()) return Answer::interrupted;
        char c = 0;
        const ssize_t n = ::read(0, &c, 1);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n != 1 || c == '\n') break;
        if (answer.size() <= max_answer) answer += c;
    }
    const bool yes = answer == "y" || answer == "Y" || answer == "yes" || answer == "Yes";
    return yes ? Answer::yes : Answer::no;
}

}  // namespace cli
