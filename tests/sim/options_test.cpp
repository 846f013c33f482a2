#include "options.h"

#include <gtest/gtest.h>

namespace sim {
namespace {

std::optional<Options> parse(std::vector<std::string> args, std::string* error = nullptr) {
    std::string e;
    auto o = parse_options(args, e);
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

}  // namespace
}  // namespace sim
