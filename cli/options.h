// The command line: subcommands and their options, defined once with CLI11,
// which both parses and prints --help.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace cli {

enum Command : unsigned {
    cmd_none = 0,
    cmd_list = 1u << 0,
    cmd_identify = 1u << 1,
    cmd_upgrade = 1u << 2,
    cmd_history = 1u << 3,
    cmd_verify = 1u << 4,
    cmd_check = 1u << 5,
    cmd_all = cmd_list | cmd_identify | cmd_upgrade | cmd_history | cmd_verify | cmd_check,
};

// The parsed command line (not the settings file).
struct CommandLine {
    Command command = cmd_none;
    bool json = false;
    bool help = false;
    bool version = false;
    bool identify = false;               // list --identify
    bool discover = false;               // list --discover: search the LAN once too
    std::vector<std::string> resources;  // positional arguments
    bool all = false;                    // upgrade --all
    std::vector<std::string> models;     // --model filter for --all, accepted models only
    // --all: instruments that do not answer or are not an accepted model do
    // not fail the batch.
    bool allow_missing = false;
    std::string release;
    std::vector<std::string> images;  // empty: every image the release offers
    bool yes = false;
    int jobs = 1;
    bool wait = false;
    int wait_timeout_s = 180;
    int limit = 0;  // history: the last N records; 0 for all
    // history filters; empty: any. A bare address given to --resource is
    // rewritten as RESOURCE is; --host holds the host part alone, lower-cased.
    std::string resource_filter;
    std::string serial_filter;
    std::string host_filter;
    // What a release must prove (upgrade, verify): the command line's part of
    // a workflow::VerifyPolicy, which load_run_policy (commands.h) completes
    // from the administrator's policy file.
    std::vector<std::string> keyrings;  // --keyring, made absolute when parsed
    bool require_signature = false;
    // upgrade --dry-run: everything check does, nothing more.
    bool dry_run = false;
    // upgrade, check: leave alone an instrument that already runs the
    // release's version (reported as skipped, not failed).
    bool skip_current = false;
    // -q: errors and the summary only; -v: also the VISA library's diagnostics.
    bool quiet = false;
    bool verbose = false;
};

// Parses argv into `command_line`. On a usage error returns false with the
// message in `error` ("unknown option '--x'"). --help and --version parse
// successfully and set their flags; the rest is then not checked. Flags take
// an optional value (--yes=no: yes/no, true/false, on/off, 1/0), short flags
// combine (-yw), and options follow their command (--json, --help and
// --version may also come before it).
bool parse_command_line(int argc, char** argv, CommandLine& command_line, std::string& error);

// The help text of `command` (cmd_none: the overview), from the same
// definition.
void print_help(std::FILE* out, Command command);

const char* command_name(Command command);

}  // namespace cli
