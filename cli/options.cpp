#include "options.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>

#include "platform/option_parser.h"
#include "workflow/accepted_models.h"
#include "workflow/identification.h"
#include "workflow/images.h"
#include "workflow/upgrade.h"
#include "workflow/visa_extension.h"

namespace cli {

namespace {

bool parse_count(const std::string& text, int low, int high, int& value) {
    if (text.empty() || text.size() > 9) return false;
    for (const char c : text)
        if (c < '0' || c > '9') return false;
    value = std::atoi(text.c_str());
    return value >= low && value <= high;
}

std::vector<std::string> split_list(const std::string& text) {
    std::vector<std::string> items;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t comma = text.find(',', start);
        const std::size_t end = comma == std::string::npos ? text.size() : comma;
        items.push_back(text.substr(start, end - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return items;
}

void set_images(CommandLine& s, const std::string& value) {
    s.images.clear();
    for (const std::string& id : split_list(value)) {
        bool known = false;
        for (const workflow::ImageInfo& image : workflow::kImages)
            known |= id == image.m_id;
        if (!known)
            throw platform::UsageError("unknown image '" + id +
                                       "' (images are HPAP, HREC, HBRM and HUBL)");
        bool repeated = false;
        for (const std::string& seen : s.images)
            repeated |= seen == id;
        if (!repeated) s.images.push_back(id);
    }
}

void add_models(CommandLine& s, const std::string& value) {
    for (const std::string& m : split_list(value)) {
        if (m.empty()) throw platform::UsageError("--model needs a model name");
        std::string model;
        if (!workflow::IsAcceptedModel(m, &model))
            throw platform::UsageError("unknown model '" + m + "' (models are " +
                                       workflow::AcceptedModelsText() + ")");
        if (std::find(s.models.begin(), s.models.end(), model) == s.models.end())
            s.models.push_back(model);
    }
}

// The host a --host value names: a bare host name or address, or the host
// part of a LAN resource string.
std::string host_of(const std::string& value) {
    const std::optional<workflow::ParsedResource> name =
        workflow::ParseResource(workflow::ResourceFromInstrumentText(value));
    if (!name || name->m_host.empty())
        throw platform::UsageError(
            "--host needs a host name or address, or a TCPIP resource; got '" + value + "'");
    return name->m_host;
}

void add_history(CLI::App& app, CommandLine& c) {
    platform::add_value(app, "-n,--limit", "N", "only the last N records",
                        [&c](const std::string& v) {
                            if (!parse_count(v, 1, 100000000, c.limit))
                                throw platform::UsageError("--limit needs a positive number");
                        });
    platform::add_value(app, "--resource", "RESOURCE",
                        "only records of this resource (a bare address is taken as "
                        "TCPIP0::<address>::INSTR)",
                        [&c](const std::string& v) {
                            if (v.empty())
                                throw platform::UsageError("--resource needs a resource");
                            c.resource_filter = workflow::ResourceFromInstrumentText(v);
                        });
    platform::add_value(app, "--serial", "SERIAL",
                        "only records of instruments with this serial number",
                        [&c](const std::string& v) {
                            if (v.empty())
                                throw platform::UsageError("--serial needs a serial number");
                            c.serial_filter = v;
                        });
    platform::add_value(app, "--host", "HOST",
                        "only records of LAN resources on this host name or address, whichever "
                        "protocol (VXI-11, HiSLIP, socket)",
                        [&c](const std::string& v) { c.host_filter = host_of(v); });
}

struct CommandInfo {
    Command command;
    const char* name;
    const char* synopsis;
    const char* summary;
};

constexpr CommandInfo kCommands[] = {
    {cmd_list, "list", "list [--identify] [--discover] [--json]",
     "list the instruments discovery finds (USB, configured LAN, the VISA library's own)"},
    {cmd_identify, "identify", "identify RESOURCE [--json]",
     "identify one instrument as the window's Upgrade does first"},
    {cmd_upgrade, "upgrade",
     "upgrade RESOURCE... | --all [--model M] [--allow-missing] --release DIR\n"
     "                   [--images LIST] [--yes] [-j N] [--wait] [--keyring FILE]...\n"
     "                   [--require-signature] [--json]",
     "write firmware images, as the window's Upgrade does"},
    {cmd_history, "history", "history [--limit N] [--resource R] [--serial S] [--host H] [--json]",
     "show the audit trail of upgrade attempts"},
    {cmd_verify, "verify",
     "verify --release DIR [--keyring FILE]... [--require-signature] [--json]",
     "check a release against its SHA256SUMS and signature, sending nothing"},
    {cmd_check, "check",
     "check RESOURCE... | --all [--model M] [--allow-missing] --release DIR\n"
     "                 [--images LIST] [-j N] [--skip-current] [--keyring FILE]...\n"
     "                 [--require-signature] [--json]",
     "check everything an upgrade checks before it writes, asking each instrument only who "
     "it is"},
};

const CommandInfo* command_info(const std::string& name) {
    for (const CommandInfo& info : kCommands)
        if (name == info.name) return &info;
    return nullptr;
}

// Help of a command opens with its synopsis, then what it does.
class HelpFormatter : public platform::HelpFormatter {
public:
    HelpFormatter() { label("Subcommands", "Commands"); }
    std::string make_description(const CLI::App* app) const override {
        const CommandInfo* info = app->get_parent() ? command_info(app->get_name()) : nullptr;
        if (info == nullptr) return platform::HelpFormatter::make_description(app);
        std::string summary = info->summary;
        summary[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(summary[0])));
        return std::string("usage: fwupgrade ") + info->synopsis + "\n\n" + summary + ".\n\n";
    }
};

// What every command takes, and the program before any command.
void add_common(CLI::App& app, CommandLine& c) {
    platform::add_flag(app, "--json",
                       "one JSON object per event on standard output (see fwupgrade(1))", c.json);
    platform::add_flag(app, "-h,--help", "show this help and exit", c.help);
    platform::add_flag(app, "--version", "show the version and exit", c.version);
}

// What a release must prove, for the commands that read one.
void add_release(CLI::App& app, CommandLine& c) {
    platform::add_value(app, "-r,--release", "DIR",
                        "the release directory, holding Firmware_Upgrade.txt and host/ (required)",
                        [&c](const std::string& v) {
                            if (v.empty())
                                throw platform::UsageError("--release needs a directory");
                            c.release = v;
                        });
}

void add_verification(CLI::App& app, CommandLine& c) {
    platform::add_value(app, "--keyring", "FILE",
                        "also trust the keys in FILE (a binary keyring or an armored key) for the "
                        "release's signature, besides those in /etc/firmware-update/trusted.gpg.d; "
                        "repeatable",
                        [&c](const std::string& v) {
                            if (v.empty()) throw platform::UsageError("--keyring needs a file");
                            // Absolute, so that it means the same file after the run
                            // changes directory and in a batch's child processes.
                            std::error_code error;
                            c.keyrings.push_back(std::filesystem::absolute(v, error).string());
                        });
    platform::add_flag(app, "--require-signature",
                       "refuse a release without SHA256SUMS and a good signature of it by a "
                       "trusted key",
                       c.require_signature);
}

// What upgrade and check share: the instruments, the release, the images.
void add_targets(CLI::App& app, CommandLine& c) {
    app.add_option("RESOURCE", c.resources, "a VISA resource string or a bare address")
        ->option_text("...");
    add_release(app, c);
    platform::add_value(app, "-i,--images", "LIST",
                        "comma-separated images to write, of HPAP,HREC,HBRM,HUBL (default: every "
                        "image the release offers); always written in that order",
                        [&c](const std::string& v) { set_images(c, v); });
    platform::add_flag(app, "--all",
                       "every instrument discovery finds that identifies as an accepted model",
                       c.all);
    platform::add_value(app, "-m,--model", "MODEL",
                        "with --all, only instruments of this model (" +
                            workflow::AcceptedModelList(", ") + "); repeatable",
                        [&c](const std::string& v) { add_models(c, v); });
    platform::add_flag(app, "--allow-missing",
                       "with --all, instruments that do not answer or are not an accepted model "
                       "do not fail the batch",
                       c.allow_missing);
    platform::add_value(app, "-j,--jobs", "N",
                        "work on at most N instruments at once (default 1); an upgrade runs each "
                        "in a process of its own",
                        [&c](const std::string& v) {
                            if (!parse_count(v, 1, 256, c.jobs))
                                throw platform::UsageError("--jobs needs a number from 1 to 256");
                        });
    platform::add_flag(app, "--skip-current",
                       "leave alone an instrument whose firmware is already the version the "
                       "release's Firmware_Upgrade.txt gives HPAP (skipped, not failed)",
                       c.skip_current);
    platform::add_flag(app, "-q,--quiet", "print only errors and the summary", c.quiet);
    platform::add_flag(app, "-v,--verbose", "also show the VISA library's diagnostics", c.verbose);
    add_verification(app, c);
}

void add_upgrade(CLI::App& app, CommandLine& c) {
    add_targets(app, c);
    platform::add_flag(app, "-y,--yes",
                       "answer yes to the warning that writing the Host application (HPAP) "
                       "erases the instrument's saved states",
                       c.yes);
    platform::add_flag(app, "--dry-run",
                       "check as 'fwupgrade check' does and write nothing (see check --help)",
                       c.dry_run);
    platform::add_flag(app, "-w,--wait",
                       "after the restart, wait until the instrument answers again and report "
                       "its firmware",
                       c.wait);
    platform::add_value(app, "--wait-timeout", "SECONDS", "how long --wait waits (default 180)",
                        [&c](const std::string& v) {
                            c.wait = true;
                            if (!parse_count(v, 1, 86400, c.wait_timeout_s))
                                throw platform::UsageError(
                                    "--wait-timeout needs a number of seconds from 1 to 86400");
                        });
}

// The whole command line: the program's own options, then one subcommand per
// command with its options. The same definition parses and prints --help.
void define(CLI::App& app, CommandLine& c) {
    app.name("fwupgrade");
    app.description("usage: fwupgrade COMMAND [options]\n\nUpgrades the firmware of " +
                    workflow::AcceptedModelList(" and ") +
                    " power sensors over VISA,\n"
                    "as the window does, for scripts, production lines and fleets.");
    app.footer(
        "RESOURCE is a VISA resource string (TCPIP0::192.0.2.7::inst0::INSTR,\n"
        "USB0::...::INSTR) or a bare address, taken as TCPIP0::<address>::INSTR.\n"
        "'fwupgrade COMMAND --help' lists a command's options. Flags take an optional\n"
        "value: --yes=no (yes/no, true/false, on/off, 1/0).\n\n"
        "Exit status: 0 success, 1 error, 2 usage, 3 instrument not found or not\n"
        "identified, 4 instrument locked by another session, 5 an image failed,\n"
        "6 interrupted, 7 warning declined, 8 not every instrument of several\n"
        "succeeded (with --all, also one found that did not answer or is not an\n"
        "accepted model), 9 no answer after the restart (--wait), 10 release\n"
        "verification failed, 11 the instrument came back with the firmware it had\n"
        "(--wait). See fwupgrade(1).");
    app.set_help_flag();
    app.formatter(std::make_shared<HelpFormatter>());
    // One command; a later word that names another is a RESOURCE.
    app.require_subcommand(0, 1);
    add_common(app, c);
    for (const CommandInfo& info : kCommands) {
        CLI::App* sub = app.add_subcommand(info.name, info.summary);
        sub->preparse_callback([&c, command = info.command](std::size_t) { c.command = command; });
        switch (info.command) {
            case cmd_list:
                platform::add_flag(*sub, "--identify",
                                   "ask each instrument for its model, serial number and firmware",
                                   c.identify);
                platform::add_flag(*sub, "--discover",
                                   "also search the LAN once (VXI-11 broadcast and mDNS) and list "
                                   "the instruments found after the others",
                                   c.discover);
                break;
            case cmd_identify:
                sub->add_option("RESOURCE", c.resources, "a VISA resource string or a bare address")
                    ->option_text(" ");
                break;
            case cmd_upgrade:
                add_upgrade(*sub, c);
                break;
            case cmd_check:
                add_targets(*sub, c);
                break;
            case cmd_history:
                add_history(*sub, c);
                break;
            case cmd_verify:
                add_release(*sub, c);
                add_verification(*sub, c);
                break;
            default:
                break;
        }
        add_common(*sub, c);
    }
}

// A word that no option of the command took: an option of another command,
// an unknown one, or a RESOURCE where the command takes none.
std::string judge_extra(CLI::App& app, const CommandLine& c, const std::vector<std::string>& args,
                        const std::string& word) {
    if (c.command == cmd_none) {
        if (!word.empty() && word[0] != '-') return "unknown command '" + word + "'";
        return platform::unknown_word(args, word);
    }
    if (word.size() > 1 && word[0] == '-') {
        const std::string name = word.substr(0, word.find('='));
        for (CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; }))
            if (sub->get_option_no_throw(name) != nullptr)
                return "option '" + sub->get_option_no_throw(name)->get_name() +
                       "' does not apply to '" + command_name(c.command) + "'";
        return platform::unknown_word(args, word);
    }
    if (c.command == cmd_identify) return "identify takes exactly one RESOURCE";
    return std::string("'") + command_name(c.command) + "' takes no RESOURCE, but got '" + word +
           "'";
}
// What upgrade and check need of their instruments and release; "" when
// the command line gives it.
std::string judge_targets(const CommandLine& c) {
    if (c.release.empty()) return std::string(command_name(c.command)) + " needs --release DIR";
    if (c.quiet && c.verbose) return "give either --quiet or --verbose, not both";
    if (c.all == !c.resources.empty())
        return c.all ? "give either RESOURCEs or --all, not both"
                     : std::string(command_name(c.command)) + " needs a RESOURCE (or --all)";
    if (!c.models.empty() && !c.all)
        return "--model filters --all; it does not apply to named resources";
    if (c.allow_missing && !c.all)
        return "--allow-missing applies to --all; a named resource must answer";
    for (const std::string& resource : c.resources)
        if (resource.empty()) return "an empty RESOURCE";
    return "";
}

}  // namespace

const char* command_name(Command command) {
    for (const CommandInfo& info : kCommands)
        if (info.command == command) return info.name;
    return "";
}

bool parse_command_line(int argc, char** argv, CommandLine& command_line, std::string& error) {
    CommandLine& c = command_line;
    CLI::App app;
    define(app, c);
    std::vector<std::string> args(argv + 1, argv + argc);
    // Options may come before the command; they are judged as the command's
    // own, as if they followed it.
    for (std::size_t i = 0; i < args.size() && args[i] != "--"; ++i) {
        if (command_info(args[i]) == nullptr) continue;
        std::rotate(args.begin(), args.begin() + static_cast<std::ptrdiff_t>(i),
                    args.begin() + static_cast<std::ptrdiff_t>(i) + 1);
        break;
    }
    std::vector<std::string> extras;
    error = platform::parse(app, args, &extras);
    if (error.empty() && !extras.empty()) error = judge_extra(app, c, args, extras.front());
    if (!error.empty()) return false;
    if (c.help || c.version) return true;
    switch (c.command) {
        case cmd_none:
            error = "no command given";
            return false;
        case cmd_identify:
            if (c.resources.size() != 1) {
                error = "identify takes exactly one RESOURCE";
                return false;
            }
            break;
        case cmd_upgrade:
        case cmd_check:
            error = judge_targets(c);
            if (!error.empty()) return false;
            break;
        case cmd_verify:
            if (c.release.empty()) {
                error = "verify needs --release DIR";
                return false;
            }
            break;
        default:
            break;
    }
    return true;
}

void print_help(std::FILE* out, Command command) {
    CommandLine scratch;
    CLI::App app;
    define(app, scratch);
    const std::string text =
        command == cmd_none ? app.help() : app.get_subcommand(command_name(command))->help();
    std::fputs(text.c_str(), out);
}

}  // namespace cli
