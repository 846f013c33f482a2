// The command line: what parses, what is refused and how it is said, and the
// help text that the same table prints.
#include "options.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine_streams.h"
#include "update.h"

namespace {

using namespace cli;

bool Parse(std::vector<std::string> words, CommandLine& settings, std::string& error) {
    words.insert(words.begin(), "fwupgrade");
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    return parse_command_line(static_cast<int>(argv.size()), argv.data(), settings, error);
}

TEST(OptionsTest, AcceptsEachCommandsOwnOptionsInAnyOrder) {
    CommandLine s;
    std::string error;
    ASSERT_TRUE(Parse({"--json", "upgrade", "192.0.2.7", "TCPIP0::192.0.2.8::INSTR", "-r", "/rel",
                       "--images=HUBL,HREC,HUBL", "-y", "-j", "8", "--wait-timeout", "30"},
                      s, error))
        << error;
    EXPECT_EQ(s.command, cmd_upgrade);
    EXPECT_TRUE(s.json);
    EXPECT_EQ(s.resources, (std::vector<std::string>{"192.0.2.7", "TCPIP0::192.0.2.8::INSTR"}));
    EXPECT_EQ(s.release, "/rel");
    EXPECT_EQ(s.images, (std::vector<std::string>{"HUBL", "HREC"}));  // repeats dropped
    EXPECT_TRUE(s.yes);
    EXPECT_EQ(s.jobs, 8);
    EXPECT_TRUE(s.wait);
    EXPECT_EQ(s.wait_timeout_s, 30);

    CommandLine all;
    ASSERT_TRUE(Parse({"upgrade", "--all", "--model", "K7141HA,k7142ha", "-m", "K7141B", "-m",
                       "K7141HA", "--allow-missing", "--release", "/rel"},
                      all, error))
        << error;
    // Spelled as the instruments spell them, once each.
    EXPECT_EQ(all.models, (std::vector<std::string>{"K7141HA", "K7142HA", "K7141B"}));
    EXPECT_TRUE(all.allow_missing);

    CommandLine listing;
    ASSERT_TRUE(Parse({"list", "--discover", "--identify"}, listing, error)) << error;
    EXPECT_TRUE(listing.discover);
    EXPECT_TRUE(listing.identify);

    CommandLine attached;
    ASSERT_TRUE(Parse({"upgrade", "x", "-r/rel", "-j8"}, attached, error)) << error;
    EXPECT_EQ(attached.jobs, 8);
    EXPECT_EQ(attached.release, "/rel");

    CommandLine history;
    ASSERT_TRUE(Parse({"history", "-n", "5", "--resource", "192.0.2.7", "--serial", "S1", "--host",
                       "TCPIP0::Lab-3::hislip0::INSTR"},
                      history, error))
        << error;
    EXPECT_EQ(history.limit, 5);
    EXPECT_EQ(history.resource_filter, "TCPIP0::192.0.2.7::INSTR");
    EXPECT_EQ(history.serial_filter, "S1");
    EXPECT_EQ(history.host_filter, "lab-3");

    // Keyrings are kept absolute: the run changes directory, and batch
    // children get them on their own command lines.
    CommandLine verify;
    ASSERT_TRUE(Parse({"verify", "-r", "/rel", "--keyring", "lab.gpg", "--keyring=/k/b.asc",
                       "--require-signature"},
                      verify, error))
        << error;
    EXPECT_EQ(verify.command, cmd_verify);
    ASSERT_EQ(verify.keyrings.size(), 2u);
    EXPECT_EQ(verify.keyrings[0].front(), '/');
    EXPECT_NE(verify.keyrings[0].find("/lab.gpg"), std::string::npos);
    EXPECT_EQ(verify.keyrings[1], "/k/b.asc");
    EXPECT_TRUE(verify.require_signature);

    // A resource that looks like an option can follow "--".
    CommandLine odd;
    ASSERT_TRUE(Parse({"identify", "--", "-strange"}, odd, error)) << error;
    EXPECT_EQ(odd.resources.front(), "-strange");
}

TEST(OptionsTest, RefusesWithAMessageNamingWhatIsWrong) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "no command given"},
        {{"flash"}, "unknown command 'flash'"},
        {{"list", "--bogus"}, "unknown option '--bogus'"},
        {{"list", "--yes"}, "option '--yes' does not apply to 'list'"},
        {{"identify"}, "identify takes exactly one RESOURCE"},
        {{"identify", "a", "b"}, "identify takes exactly one RESOURCE"},
        {{"upgrade", "192.0.2.7"}, "upgrade needs --release DIR"},
        {{"upgrade", "--release", "/r"}, "upgrade needs a RESOURCE (or --all)"},
        {{"upgrade", "--all", "192.0.2.7", "--release", "/r"}, "not both"},
        {{"upgrade", "x", "--model", "K7141HA", "--release", "/r"}, "--model filters --all"},
        {{"upgrade", "--all", "--model", "K9999", "--release", "/r"},
         "unknown model 'K9999' (models are K7141HA, K7142HA or K7141B)"},
        {{"upgrade", "x", "--allow-missing", "--release", "/r"},
         "--allow-missing applies to --all"},
        {{"history", "--host", "USB0::1::2::3::INSTR"}, "--host needs a host name or address"},
        {{"history", "--serial", ""}, "--serial needs a serial number"},
        {{"upgrade", "x", "--release", "/r", "--images", "HPAP,BOOT"}, "unknown image 'BOOT'"},
        {{"upgrade", "x", "--release", "/r", "--images", ""}, "unknown image ''"},
        {{"upgrade", "x", "--release", "/r", "-j", "0"}, "--jobs needs a number from 1 to 256"},
        {{"upgrade", "x", "--release", "/r", "-j", "4x"}, "--jobs needs a number"},
        {{"upgrade", "x", "--release"}, "option '--release' needs DIR"},
        {{"upgrade", "x", "--release", "/r", "--yes=maybe"},
         "option '--yes' takes yes/no, true/false, on/off or 1/0, not 'maybe'"},
        {{"upgrade", "x", "--release", "/r", "-yes"}, "unknown option '-e' in '-yes'"},
        {{"upgrade", "x", "--release", "/r", "-j"}, "option '--jobs' needs N"},
        {{"upgrade", "x", "--release", "/r", "--wait-timeout=0"}, "--wait-timeout needs"},
        {{"list", "--identify=2"}, "option '--identify' takes yes/no"},
        {{"--bogus", "list"}, "unknown option '--bogus'"},
        {{"history", "extra"}, "'history' takes no RESOURCE"},
        {{"upgrade", "", "--release", "/r"}, "an empty RESOURCE"},
        {{"verify"}, "verify needs --release DIR"},
        {{"verify", "x", "-r", "/r"}, "'verify' takes no RESOURCE"},
        {{"list", "--require-signature"}, "does not apply to 'list'"},
        {{"identify", "x", "--discover"}, "option '--discover' does not apply to 'identify'"},
        {{"verify", "-r", "/r", "--keyring", ""}, "--keyring needs a file"},
        {{"check", "x"}, "check needs --release DIR"},
        {{"check", "-r", "/r"}, "check needs a RESOURCE (or --all)"},
        {{"check", "x", "-r", "/r", "--yes"}, "option '--yes' does not apply to 'check'"},
        {{"upgrade", "x", "-r", "/r", "-q", "-v"}, "either --quiet or --verbose"},
    };
    for (const auto& [words, expected] : cases) {
        CommandLine s;
        std::string error;
        EXPECT_FALSE(Parse(words, s, error)) << expected;
        EXPECT_NE(error.find(expected), std::string::npos) << error;
    }
    // --help wins over what is missing.
    CommandLine help;
    std::string error;
    EXPECT_TRUE(Parse({"upgrade", "--help"}, help, error));
    EXPECT_TRUE(help.help);
}

// Flags and values are read alike wherever they stand: combined short flags,
// --flag=value with a yes/no value, --option=value as --option value, and
// options before the command as after it.
TEST(OptionsTest, FlagsCombineAndTakeValuesAsEveryProgramDoes) {
    std::string error;
    CommandLine combined;
    ASSERT_TRUE(Parse({"upgrade", "x", "-r", "/r", "-yw"}, combined, error)) << error;
    EXPECT_TRUE(combined.yes);
    EXPECT_TRUE(combined.wait);

    CommandLine valued;
    ASSERT_TRUE(Parse({"upgrade", "x", "--release=/r", "--yes", "--yes=no", "--wait=1",
                       "--json=off", "--require-signature=true"},
                      valued, error))
        << error;
    EXPECT_EQ(valued.release, "/r");
    EXPECT_FALSE(valued.yes);  // the later one holds
    EXPECT_TRUE(valued.wait);
    EXPECT_FALSE(valued.json);
    EXPECT_TRUE(valued.require_signature);

    CommandLine before;
    ASSERT_TRUE(Parse({"-j", "4", "--yes", "upgrade", "--json", "x", "-r", "/r"}, before, error))
        << error;
    EXPECT_EQ(before.jobs, 4);
    EXPECT_TRUE(before.yes);
    EXPECT_TRUE(before.json);
    EXPECT_EQ(before.resources, std::vector<std::string>{"x"});

    // A word naming a command, after the command, is a RESOURCE.
    CommandLine named;
    ASSERT_TRUE(Parse({"upgrade", "list", "-r", "/r"}, named, error)) << error;
    EXPECT_EQ(named.resources, std::vector<std::string>{"list"});
}

std::string Help(Command command) {
    char* text = nullptr;
    std::size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    print_help(out, command);
    std::fclose(out);
    std::string help(text, size);
    std::free(text);
    return help;
}

TEST(OptionsTest, HelpListsEveryOptionOfTheCommandFromTheTable) {
    const std::vector<std::pair<Command, std::vector<const char*>>> commands = {
        {cmd_none, {"list", "identify", "upgrade", "history", "verify", "--json", "--version"}},
        {cmd_list, {"--identify", "--json", "--help"}},
        {cmd_identify, {"RESOURCE", "--json"}},
        {cmd_upgrade,
         {"RESOURCE", "--release DIR", "--images LIST", "--yes", "--all", "--model MODEL",
          "--jobs N", "--wait", "--wait-timeout SECONDS", "--keyring FILE", "--require-signature",
          "--allow-missing", "--json", "--help"}},
        {cmd_history,
         {"--limit N", "--resource RESOURCE", "--serial SERIAL", "--host HOST", "--json"}},
        {cmd_verify, {"--release DIR", "--keyring FILE", "--require-signature", "--json"}},
        {cmd_check,
         {"RESOURCE", "--release DIR", "--images LIST", "--all", "--jobs N", "--skip-current",
          "--quiet", "--verbose", "--keyring FILE", "--json"}},
    };
    for (const auto& [command, options] : commands) {
        const std::string help = Help(command);
        for (const char* option : options)
            EXPECT_NE(help.find(option), std::string::npos) << command_name(command) << option;
        for (std::size_t start = 0, end; (end = help.find('\n', start)) != std::string::npos;
             start = end + 1)
            EXPECT_LE(end - start, 100u) << help.substr(start, end - start);
    }
    EXPECT_EQ(Help(cmd_upgrade).find("--limit"), std::string::npos);
    EXPECT_NE(Help(cmd_upgrade).find("--dry-run"), std::string::npos);
    EXPECT_NE(Help(cmd_none).find("11 the instrument came back"), std::string::npos);
}

TEST(EngineStreamsTest, ProgressLinesTellBytesPercentRateAndTimeLeft) {
    EXPECT_EQ(progress_text(0, 4 << 20, 0), "0 B of 4.0 MiB  0%");
    EXPECT_EQ(progress_text(1 << 20, 4 << 20, 2.0),
              "1.0 MiB of 4.0 MiB  25%  512.0 KiB/s  6 s left");
    EXPECT_EQ(progress_text(1 << 20, 100 << 20, 1.0),
              "1.0 MiB of 100.0 MiB  1%  1.0 MiB/s  1:39 left");
    EXPECT_EQ(progress_text(4 << 20, 4 << 20, 4.0), "4.0 MiB of 4.0 MiB  100%  1.0 MiB/s");
}

TEST(EngineStreamsTest, NestedStreamsGiveTheEngineBackToTheOuterOnes) {
    // A reply buffer of one byte is refused with a diagnostic before any
    // VISA call: a line the engine writes on demand.
    char reply[1];
    const auto provoke = [&] { update_identify("TCPIP0::192.0.2.7::INSTR", reply, 1, 0); };
    std::vector<std::string> outer, inner;
    {
        EngineStreams outer_streams([&](const std::string& l) { outer.push_back(l); });
        {
            EngineStreams inner_streams([&](const std::string& l) { inner.push_back(l); });
            provoke();
        }
        provoke();
    }
    EXPECT_EQ(inner, std::vector<std::string>{"update: reply buffer of 1 bytes is too small"});
    EXPECT_EQ(outer, inner);
}

}  // namespace
