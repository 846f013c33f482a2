#include "options.h"

#include <gtest/gtest.h>

namespace sim {
namespace {

std::optional<Options> parse(std::vector<std::string> args, std::string* error = nullptr,
                             AddressScope scope = {}) {
    std::string e;
    auto o = parse_options(args, e, scope);
    if (error) *error = e;
    return o;
}

TEST(Options, AddressMustBeLoopback) {
    std::string error;
    for (const char* bad : {"192.0.2.7", "0.0.0.0", "localhost", "128.0.0.1", "127.0.0"}) {
        EXPECT_FALSE(parse({"--address", bad}, &error)) << bad;
        EXPECT_NE(error.find("127.0.0.0/8"), std::string::npos) << error;
    }
    EXPECT_FALSE(parse({}, &error));
    EXPECT_NE(error.find("--address"), std::string::npos);
    const auto o = parse({"--address=127.0.0.42"});
    ASSERT_TRUE(o);
    EXPECT_EQ(o->server.address, "127.0.0.42");
    EXPECT_EQ(o->server.socket_port, 5025);
    EXPECT_EQ(o->instrument.idn, "Tavrion Technologies,K7141HA,000042,1.0.0\n");
    EXPECT_EQ(o->mdns_name, "K7141HA 000042");
}

TEST(Options, AnyUnicastAddressInsideANamespaceOfItsOwn) {
    std::string error;
    const AddressScope inside{true};
    const auto o = parse({"--address", "198.18.1.2", "--mdns"}, &error, inside);
    ASSERT_TRUE(o) << error;
    EXPECT_TRUE(o->mdns);
    EXPECT_EQ(o->instrument.idn, "Tavrion Technologies,K7141HA,000258,1.0.0\n");
    EXPECT_FALSE(parse({"--address", "198.18.1.2"}, &error));
    EXPECT_NE(error.find("namespace"), std::string::npos) << error;
    for (const char* bad : {"0.0.0.0", "224.0.0.251", "255.255.255.255", "host"}) {
        EXPECT_FALSE(parse({"--address", bad}, &error, inside)) << bad;
    }
    EXPECT_EQ(parse({"--address=127.0.0.9", "--idn", "odd"}, &error)->mdns_name, "fwsim 127.0.0.9");
}

TEST(Options, FaultsAndInstrument) {
    const auto o = parse({"--address",       "127.0.0.42",
                          "--model",         "K7141B",
                          "--serial",        "X1",
                          "--sector",        "HBRM=0",
                          "--sector",        "NEW_1=512",
                          "--error-after",   "diag:upd:bloc?@3=-222,\"Data out of range\"",
                          "--init-reply",    "abc",
                          "--block-reply",   "2:9",
                          "--no-reply",      ":DIAG:UPD:SSIZ?",
                          "--slow",          "*IDN?=250",
                          "--drop-in-block", "4096",
                          "--hold-lock-ms",  "500"});
    ASSERT_TRUE(o);
    EXPECT_EQ(o->instrument.idn, "Tavrion Technologies, K7141B,X1,1.0.0\n");
    EXPECT_EQ(o->instrument.sector_sizes.at("HBRM"), 0u);
    EXPECT_EQ(o->instrument.sector_sizes.at("NEW_1"), 512u);
    EXPECT_EQ(o->instrument.sector_sizes.at("HPAP"), 65536u);
    ASSERT_EQ(o->instrument.errors_after.size(), 1u);
    EXPECT_EQ(o->instrument.errors_after[0].header, "DIAG:UPD:BLOC?");
    EXPECT_EQ(o->instrument.errors_after[0].occurrence, 3u);
    EXPECT_EQ(o->instrument.errors_after[0].entry.code, -222);
    EXPECT_EQ(o->instrument.errors_after[0].entry.text, "Data out of range");
    EXPECT_EQ(o->instrument.init_reply, "abc");
    EXPECT_EQ(o->instrument.block_replies.at(2), "9");
    EXPECT_EQ(o->instrument.no_reply.count("DIAG:UPD:SSIZ?"), 1u);
    EXPECT_EQ(o->instrument.slow_ms.at("*IDN?"), 250u);
    EXPECT_EQ(o->server.drop_in_block, 4096u);
    EXPECT_TRUE(o->hold_lock);

    for (std::vector<std::string> bad : {
             std::vector<std::string>{"--sector", "../etc=5"},  // ids become file names
             {"--sector", "HPAP=-1"},
             {"--model", "K9"},
             {"--error-after", "X=abc"},
             {"--block-reply", "0:x"},
             {"--max-recv-size", "1000"},
             {"--vxi11-port", "70000"},
             {"--frobnicate"},
         }) {
        bad.insert(bad.begin(), {"--address", "127.0.0.42"});
        EXPECT_FALSE(parse(bad)) << bad[2] << " " << (bad.size() > 3 ? bad[3] : "");
    }
}

// Flags take an optional yes/no value; --option=value reads as --option value.
TEST(Options, FlagValuesAndHelp) {
    const std::vector<std::pair<std::string, bool>> locks = {
        {"--hold-lock", true},   {"--hold-lock=0", false},  {"--hold-lock=no", false},
        {"--hold-lock=1", true}, {"--hold-lock=YES", true}, {"--hold-lock=off", false},
    };
    for (const auto& [word, held] : locks) {
        const auto o = parse({"--address", "127.0.0.42", word});
        ASSERT_TRUE(o) << word;
        EXPECT_EQ(o->hold_lock, held) << word;
    }
    std::string error;
    EXPECT_FALSE(parse({"--address", "127.0.0.42", "--hold-lock=2"}, &error));
    EXPECT_EQ(error, "option '--hold-lock' takes yes/no, true/false, on/off or 1/0, not '2'");
    EXPECT_FALSE(parse({"--address", "127.0.0.42", "--verbosex"}, &error));
    EXPECT_EQ(error, "unknown option '--verbosex'");
    EXPECT_FALSE(parse({"--address"}, &error));
    EXPECT_EQ(error, "option '--address' needs A");

    const auto spaced = parse({"--address", "127.0.0.42", "--slow", "*IDN?=5", "--no-portmap"});
    const auto joined = parse({"--address=127.0.0.42", "--slow=*IDN?=5", "--no-portmap=yes"});
    ASSERT_TRUE(spaced && joined);
    EXPECT_EQ(spaced->instrument.slow_ms, joined->instrument.slow_ms);
    EXPECT_EQ(joined->server.portmap_port, 0);

    const auto help = parse({"-h"});
    ASSERT_TRUE(help);  // --help needs no --address
    EXPECT_TRUE(help->help);
    const std::string text = usage_text();
    for (const char* option : {"--address A",       "--vxi11-port",
                               "--socket-port",     "--portmap-port",
                               "--no-portmap",      "--hislip-port",
                               "--model",           "--serial",
                               "--firmware",        "--idn",
                               "--sector",          "--store",
                               "--transcript",      "--reboot-ms",
                               "--error-after",     "--init-reply",
                               "--block-reply",     "--reply",
                               "--no-reply",        "--slow",
                               "--drop-in-block",   "--refuse-write",
                               "--accept-rate",     "--hold-lock",
                               "--hold-lock-ms",    "--max-connections",
                               "--idle-timeout-ms", "--max-recv-size",
                               "--verbose",         "--help",
                               "Faults (HEADER",    "DIAG:UPD:DONE"})
        EXPECT_NE(text.find(option), std::string::npos) << option;
}

}  // namespace
}  // namespace sim
