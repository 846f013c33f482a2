// fwupgrade: the window's firmware upgrade for scripts, production lines and
// fleets. See fwupgrade(1).
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "commands.h"
#include "exit_codes.h"
#include "interrupt.h"
#include "options.h"
#include "output.h"
#include "progress.h"
#include "workflow/upgrade.h"
#include "workflow/visa_extension.h"

#ifndef FWUPGRADE_VERSION
#define FWUPGRADE_VERSION "unknown"
#endif

namespace {

// The VISA library this run uses, and each instrument named on the command
// line, checked before anything is sent. A usage error gives 2, a library
// that cannot be loaded 1; -1 when the run may go on, else `message` says why.
int check_before_contact(const cli::CommandLine& settings, std::string& message) {
    using namespace cli;
    if (settings.command != cmd_list && settings.command != cmd_identify &&
        settings.command != cmd_upgrade && settings.command != cmd_check)
        return -1;
    const workflow::VisaLibraryInUse library = workflow::LibraryInUse();
    if (!library.m_usable) {
        // The library's reason names it: its path and what is wrong.
        message = library.m_error + " (chosen by " + library.m_source + ")";
        return exit_error;
    }
    // A library of another maker may know kinds of resources that ours does
    // not: their names are its to judge.
    if (!library.m_builtin) return -1;
    for (const std::string& instrument : settings.resources) {
        const std::string resource = workflow::ResourceFromInstrumentText(instrument);
        if (!workflow::ParseResource(resource)) {
            message = "not a VISA resource string: \"" + instrument +
                      "\" (for example TCPIP0::192.0.2.7::INSTR, or an address)";
            return exit_usage;
        }
    }
    return -1;
}

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
    Output out(settings.json, quiet_output_fd(settings));
    // With FW_VISA_LOG=1 the library writes its own lines to standard error.
    if (!parsed) {
        out.diagnostic("fwupgrade: " + error);
        out.diagnostic("Try 'fwupgrade --help'.");
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
    set_verbosity(settings, out);
    if (const int code = check_before_contact(settings, error); code >= 0) {
        out.diagnostic("fwupgrade: " + error);
        out.event("finished", workflow::Json{{"command", command_name(settings.command)},
                                             {"result", result_word(code)},
                                             {"exit_code", code},
                                             {"message", error}});
        return code;
    }
    switch (settings.command) {
        case cmd_list:
            return run_list(settings, out);
        case cmd_identify:
            return run_identify(settings, out);
        case cmd_upgrade:
            return settings.dry_run ? run_check(settings, out) : run_upgrade(settings, out);
        case cmd_check:
            return run_check(settings, out);
        case cmd_history:
            return run_history(settings, out);
        case cmd_verify:
            return run_verify(settings, out);
        default:
            return exit_usage;
    }
}
