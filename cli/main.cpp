// fwupgrade: the window's firmware upgrade for scripts, production lines and
// fleets. See fwupgrade(1).
#include <csignal>
#include <cstdio>
#include <string>

#include "commands.h"
#include "exit_codes.h"
#include "interrupt.h"
#include "options.h"
#include "output.h"
#include "visa/log.h"

#ifndef FWUPGRADE_VERSION
#define FWUPGRADE_VERSION "unknown"
#endif

namespace {

// With FW_VISA_LOG=1 the built-in VISA library's lines join the program's
// diagnostics (and its --json events) for as long as `out` lives.
class VisaLogRoute {
public:
    explicit VisaLogRoute(cli::Output& out) {
        if (!visa::log_enabled()) return;
        target_ = &out;
        visa::set_log_sink([](const char* line) { target_->diagnostic(line); });
    }
    ~VisaLogRoute() {
        if (target_ != nullptr) visa::set_log_sink(nullptr);
    }
    VisaLogRoute(const VisaLogRoute&) = delete;
    VisaLogRoute& operator=(const VisaLogRoute&) = delete;

private:
    static inline cli::Output* target_ = nullptr;
};

}  // namespace

int main(int argc, char** argv) {
    using namespace cli;
    // A reader that goes away (fwupgrade ... | head) must not end an upgrade
    // in the middle of an image: writes to it fail quietly instead.
    std::signal(SIGPIPE, SIG_IGN);
    interrupt::start();
    CommandLine settings;
    std::string error;
    const bool parsed = parse_command_line(argc, argv, settings, error);
    Output out(settings.json);
    VisaLogRoute visa_log(out);
    if (!parsed) {
        out.diagnostic("fwupgrade: " + error + "\nTry 'fwupgrade --help'.");
        out.event("finished", workflow::Json{{"command", command_name(settings.command)},
                                             {"result", result_word(exit_usage)},
                                             {"exit_code", exit_usage},
                                             {"message", error}});
        return exit_usage;
    }
    if (settings.help) {
        print_help(stdout, settings.command);
        return exit_ok;
    }
    if (settings.version) {
        std::printf("fwupgrade %s\n", FWUPGRADE_VERSION);
        return exit_ok;
    }
    switch (settings.command) {
        case cmd_list:
            return run_list(settings, out);
        case cmd_identify:
            return run_identify(settings, out);
        case cmd_upgrade:
            return run_upgrade(settings, out);
        case cmd_history:
            return run_history(settings, out);
        case cmd_verify:
            return run_verify(settings, out);
        default:
            return exit_usage;
    }
}
