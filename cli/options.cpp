#include "options.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>

#include "workflow/images.h"

namespace cli {

namespace {

struct Option {
    const char* name;        // "--release"
    const char* short_name;  // "-j", or null
    const char* argument;    // "DIR", or null for a flag
    unsigned commands;       // where it is accepted
    const char* help;
    std::function<std::string(Settings&, const std::string&)> apply;  // "" or the error
};

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

std::string set_images(Settings& s, const std::string& value) {
    s.images.clear();
    for (const std::string& id : split_list(value)) {
        bool known = false;
        for (const workflow::ImageInfo& image : workflow::kImages)
            known |= id == image.m_id;
        if (!known) return "unknown image '" + id + "' (images are HPAP, HREC, HBRM and HUBL)";
        bool repeated = false;
        for (const std::string& seen : s.images)
            repeated |= seen == id;
        if (!repeated) s.images.push_back(id);
    }
    return {};
}

const std::vector<Option>& options() {
    static const std::vector<Option> table = {
        {"--json", nullptr, nullptr, cmd_all,
         "one JSON object per event on standard output (see fwupgrade(1))",
         [](Settings& s, const std::string&) {
             s.json = true;
             return std::string();
         }},
        {"--identify", nullptr, nullptr, cmd_list,
         "ask each instrument for its model, serial number and firmware",
         [](Settings& s, const std::string&) {
             s.identify = true;
             return std::string();
         }},
        {"--release", "-r", "DIR", cmd_upgrade | cmd_verify,
         "the release directory, holding Firmware_Upgrade.txt and host/ (required)",
         [](Settings& s, const std::string& v) {
             if (v.empty()) return std::string("--release needs a directory");
             s.release = v;
             return std::string();
         }},
        {"--images", "-i", "LIST", cmd_upgrade,
         "comma-separated images to write, of HPAP,HREC,HBRM,HUBL (default: every image "
         "the release offers); always written in that order",
         set_images},
        {"--yes", "-y", nullptr, cmd_upgrade,
         "answer yes to the warning that writing the Host application (HPAP) erases the "
         "instrument's saved states",
         [](Settings& s, const std::string&) {
             s.yes = true;
             return std::string();
         }},
        {"--all", nullptr, nullptr, cmd_upgrade,
         "every instrument discovery finds that identifies as an accepted model",
         [](Settings& s, const std::string&) {
             s.all = true;
             return std::string();
         }},
        {"--model", "-m", "MODEL", cmd_upgrade,
         "with --all, only instruments of this model (K7141HA, K7142HA, K7141B); repeatable",
         [](Settings& s, const std::string& v) {
             for (const std::string& m : split_list(v)) {
                 if (m.empty()) return std::string("--model needs a model name");
                 s.models.push_back(m);
             }
             return std::string();
         }},
        {"--jobs", "-j", "N", cmd_upgrade,
         "upgrade at most N instruments at once, each in a process of its own (default 1)",
         [](Settings& s, const std::string& v) {
             return parse_count(v, 1, 256, s.jobs) ? std::string()
                                                   : "--jobs needs a number from 1 to 256";
         }},
        {"--wait", "-w", nullptr, cmd_upgrade,
         "after the restart, wait until the instrument answers again and report its firmware",
         [](Settings& s, const std::string&) {
             s.wait = true;
             return std::string();
         }},
        {"--wait-timeout", nullptr, "SECONDS", cmd_upgrade, "how long --wait waits (default 180)",
         [](Settings& s, const std::string& v) {
             s.wait = true;
             return parse_count(v, 1, 86400, s.wait_timeout_s)
                        ? std::string()
                        : "--wait-timeout needs a number of seconds from 1 to 86400";
         }},
        {"--keyring", nullptr, "FILE", cmd_upgrade | cmd_verify,
         "also trust the keys in FILE (a binary keyring or an armored key) for the release's "
         "signature, besides those in /etc/firmware-update/trusted.gpg.d; repeatable",
         [](Settings& s, const std::string& v) {
             if (v.empty()) return std::string("--keyring needs a file");
             // Absolute, so that it means the same file after the run changes
             // directory and in a batch's child processes.
             std::error_code error;
             s.keyrings.push_back(std::filesystem::absolute(v, error).string());
             return std::string();
         }},
        {"--require-signature", nullptr, nullptr, cmd_upgrade | cmd_verify,
         "refuse a release without SHA256SUMS and a good signature of it by a trusted key",
         [](Settings& s, const std::string&) {
             s.require_signature = true;
             return std::string();
         }},
        {"--limit", "-n", "N", cmd_history, "only the last N records",
         [](Settings& s, const std::string& v) {
             return parse_count(v, 1, 100000000, s.limit) ? std::string()
                                                          : "--limit needs a positive number";
         }},
        {"--resource", nullptr, "RESOURCE", cmd_history, "only records of this resource",
         [](Settings& s, const std::string& v) {
             s.resource_filter = v;
             return std::string();
         }},
        {"--help", "-h", nullptr, cmd_all, "show this help and exit",
         [](Settings& s, const std::string&) {
             s.help = true;
             return std::string();
         }},
        {"--version", nullptr, nullptr, cmd_all, "show the version and exit",
         [](Settings& s, const std::string&) {
             s.version = true;
             return std::string();
         }},
    };
    return table;
}

struct CommandInfo {
    Command command;
    const char* name;
    const char* synopsis;
    const char* summary;
};

constexpr CommandInfo kCommands[] = {
    {cmd_list, "list", "list [--identify] [--json]",
     "list the instruments discovery finds (USB, configured LAN, the VISA library's own)"},
    {cmd_identify, "identify", "identify RESOURCE [--json]",
     "identify one instrument as the window's Upgrade does first"},
    {cmd_upgrade, "upgrade",
     "upgrade RESOURCE... | --all [--model M] --release DIR [--images LIST] [--yes]\n"
     "                   [-j N] [--wait] [--keyring FILE]... [--require-signature] [--json]",
     "write firmware images, as the window's Upgrade does"},
    {cmd_history, "history", "history [--limit N] [--resource R] [--json]",
     "show the audit trail of upgrade attempts"},
    {cmd_verify, "verify",
     "verify --release DIR [--keyring FILE]... [--require-signature] [--json]",
     "check a release against its SHA256SUMS and signature, sending nothing"},
};

const Option* find_option(const std::string& word) {
    for (const Option& option : options()) {
        if (word == option.name || (option.short_name && word == option.short_name)) return &option;
    }
    return nullptr;
}

}  // namespace

const char* command_name(Command command) {
    for (const CommandInfo& info : kCommands)
        if (info.command == command) return info.name;
    return "";
}

bool parse_command_line(int argc, char** argv, Settings& settings, std::string& error) {
    bool options_end = false;
    // Options may come before the command; whether they apply is judged once
    // the command is known.
    std::vector<const Option*> seen;
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (!options_end && word == "--") {
            options_end = true;
            continue;
        }
        if (options_end || word.empty() || word[0] != '-' || word == "-") {
            if (settings.command == cmd_none) {
                for (const CommandInfo& info : kCommands)
                    if (word == info.name) settings.command = info.command;
                if (settings.command == cmd_none) {
                    error = "unknown command '" + word + "'";
                    return false;
                }
            } else {
                settings.resources.push_back(word);
            }
            continue;
        }
        std::string value;
        bool has_value = false;
        if (const std::size_t eq = word.find('=');
            word.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = word.substr(eq + 1);
            word = word.substr(0, eq);
            has_value = true;
        } else if (word.size() > 2 && word[1] != '-') {
            // "-j8": a short option with its value attached.
            if (const Option* short_option = find_option(word.substr(0, 2));
                short_option && short_option->argument) {
                value = word.substr(2);
                word = word.substr(0, 2);
                has_value = true;
            }
        }
        const Option* option = find_option(word);
        if (!option) {
            error = "unknown option '" + word + "'";
            return false;
        }
        seen.push_back(option);
        if (option->argument && !has_value) {
            if (i + 1 >= argc) {
                error = std::string("option '") + option->name + "' needs " + option->argument;
                return false;
            }
            value = argv[++i];
        } else if (!option->argument && has_value) {
            error = std::string("option '") + option->name + "' takes no value";
            return false;
        }
        if (std::string why = option->apply(settings, value); !why.empty()) {
            error = why;
            return false;
        }
    }
    if (settings.help || settings.version) return true;
    for (const Option* option : seen) {
        if (settings.command != cmd_none && (option->commands & settings.command) == 0) {
            error = std::string("option '") + option->name + "' does not apply to '" +
                    command_name(settings.command) + "'";
            return false;
        }
    }
    switch (settings.command) {
        case cmd_none:
            error = "no command given";
            return false;
        case cmd_identify:
            if (settings.resources.size() != 1) {
                error = "identify takes exactly one RESOURCE";
                return false;
            }
            break;
        case cmd_upgrade:
            if (settings.release.empty()) {
                error = "upgrade needs --release DIR";
                return false;
            }
            if (settings.all == !settings.resources.empty()) {
                error = settings.all ? "give either RESOURCEs or --all, not both"
                                     : "upgrade needs a RESOURCE (or --all)";
                return false;
            }
            if (!settings.models.empty() && !settings.all) {
                error = "--model filters --all; it does not apply to named resources";
                return false;
            }
            for (const std::string& resource : settings.resources) {
                if (resource.empty()) {
                    error = "an empty RESOURCE";
                    return false;
                }
            }
            break;
        case cmd_verify:
            if (settings.release.empty()) {
                error = "verify needs --release DIR";
                return false;
            }
            [[fallthrough]];
        default:
            if (!settings.resources.empty()) {
                error = std::string("'") + command_name(settings.command) +
                        "' takes no RESOURCE, but got '" + settings.resources.front() + "'";
                return false;
            }
    }
    return true;
}

void print_help(std::FILE* out, Command command) {
    if (command == cmd_none) {
        std::fputs(
            "usage: fwupgrade COMMAND [options]\n\n"
            "Upgrades the firmware of K7141HA, K7142HA and K7141B power sensors over VISA,\n"
            "as the window does, for scripts, production lines and fleets.\n\n"
            "Commands:\n",
            out);
        for (const CommandInfo& info : kCommands)
            std::fprintf(out, "  %-10s %s\n", info.name, info.summary);
        std::fputs(
            "\nRESOURCE is a VISA resource string (TCPIP0::192.0.2.7::inst0::INSTR,\n"
            "USB0::...::INSTR) or a bare address, taken as TCPIP0::<address>::INSTR.\n"
            "'fwupgrade COMMAND --help' lists a command's options.\n\n"
            "Exit status: 0 success, 1 error, 2 usage, 3 instrument not found or not\n"
            "identified, 4 instrument locked by another session, 5 an image failed,\n"
            "6 interrupted, 7 warning declined, 8 not every instrument of several\n"
            "succeeded, 9 no answer after the restart (--wait), 10 release\n"
            "verification failed. See fwupgrade(1).\n",
            out);
        return;
    }
    for (const CommandInfo& info : kCommands) {
        if (info.command != command) continue;
        std::fprintf(out, "usage: fwupgrade %s\n\n%c%s.\n\nOptions:\n", info.synopsis,
                     info.summary[0] - 'a' + 'A', info.summary + 1);
    }
    for (const Option& option : options()) {
        if ((option.commands & command) == 0) continue;
        std::string left = option.short_name ? std::string(option.short_name) + ", " : "    ";
        left += option.name;
        if (option.argument) left += std::string(" ") + option.argument;
        // Wrap the help text under its own column.
        std::string help = option.help;
        std::fprintf(out, "  %-26s", left.c_str());
        if (left.size() > 25) std::fprintf(out, "\n  %-26s", "");
        std::size_t column = 0;
        std::size_t start = 0;
        while (start < help.size()) {
            std::size_t end = help.find(' ', start);
            if (end == std::string::npos) end = help.size();
            const std::string word = help.substr(start, end - start);
            if (column > 0 && column + 1 + word.size() > 50) {
                std::fprintf(out, "\n  %-26s", "");
                column = 0;
            }
            std::fprintf(out, "%s%s", column > 0 ? " " : "", word.c_str());
            column += (column > 0 ? 1 : 0) + word.size();
            start = end + 1;
        }
        std::fputc('\n', out);
    }
}

}  // namespace cli
