#include "instrument.h"

#include <gtest/gtest.h>

namespace sim {
namespace {

struct Stored {
    std::map<std::string, std::string> images;
};

class InstrumentTest : public ::testing::Test {
protected:
    InstrumentTest() { reset({}); }

    void reset(InstrumentConfig config) {
        if (config.idn.empty()) config.idn = identity_for_model("K7141HA", "000001", "1.0.0");
        if (config.sector_sizes.empty()) config.sector_sizes = default_sector_sizes();
        instrument_ = std::make_unique<Instrument>(
            config, [this](const std::string& id, std::string_view data) {
                stored_.images[id] = std::string(data);
                return std::string();
            });
    }

    // Runs one message; the reply without its LF, or "<none>".
    std::string run(std::string text) {
        ProgramMessage m;
        m.bytes = std::move(text);
        const Outcome o = instrument_->execute(m);
        last_ = o;
        if (!o.reply) return "<none>";
        EXPECT_EQ(o.reply->back(), '\n');
        return o.reply->substr(0, o.reply->size() - 1);
    }

    std::string block(std::string_view data) {
        const std::string len = std::to_string(data.size());
        return run("DIAG:UPD:BLOC? #" + std::to_string(len.size()) + len + std::string(data));
    }

    std::string error() { return run(":SYST:ERR?"); }

    std::unique_ptr<Instrument> instrument_;
    Stored stored_;
    Outcome last_;
};

TEST(Identity, PerModel) {
    EXPECT_EQ(identity_for_model("K7141HA", "S1", "2.0"), "Tavrion Technologies,K7141HA,S1,2.0\n");
    EXPECT_EQ(identity_for_model("k7142ha", "S1", "2.0"), "Tavrion Technologies,K7142HA,S1,2.0\n");
    EXPECT_EQ(identity_for_model("K7141B", "S1", "2.0"), "Tavrion Technologies, K7141B,S1,2.0\n");
    const std::string other = identity_for_model("other", "S1", "2.0");
    for (const char* accepted : {"Tavrion Technologies, K7141B", "Tavrion Technologies,K7141HA",
                                 "Tavrion Technologies,K7142HA"}) {
        EXPECT_NE(other.rfind(accepted, 0), 0u) << accepted;
    }
    EXPECT_EQ(identity_for_model("K9999", "S1", "2.0"), "");
}

TEST(HeaderMatch, ShortLongOptionalAndQuery) {
    EXPECT_TRUE(header_matches("SYSTem:ERRor[:NEXT]?", ":SYST:ERR?"));
    EXPECT_TRUE(header_matches("SYSTem:ERRor[:NEXT]?", "system:error:next?"));
    EXPECT_TRUE(header_matches("DIAGnostic:UPDate:STARt", "DIAG:UPD:STARt"));
    EXPECT_FALSE(header_matches("SYSTem:ERRor[:NEXT]?", ":SYST:ERR"));    // not a query
    EXPECT_FALSE(header_matches("SYSTem:ERRor[:NEXT]?", ":SYSTE:ERR?"));  // neither form
    EXPECT_FALSE(header_matches("DIAGnostic:UPDate:END", "DIAG:UPD"));
    EXPECT_TRUE(header_matches("*CLS", "*cls"));
}

TEST_F(InstrumentTest, ErrorQueueIsFifoAndOverflows) {
    EXPECT_EQ(error(), "+0,\"No error\"");
    run("BOGUS");
    run("DIAG:SCPI:DEBUG MAYBE");
    EXPECT_EQ(error(), "-113,\"Undefined header\"");
    EXPECT_EQ(error(), "-224,\"Illegal parameter value\"");
    EXPECT_EQ(error(), "+0,\"No error\"");

    for (int k = 0; k < 40; ++k)
        run("BOGUS");
    EXPECT_EQ(instrument_->errors().size(), ErrorQueue::capacity);
    for (std::size_t k = 0; k + 1 < ErrorQueue::capacity; ++k)
        EXPECT_EQ(error(), "-113,\"Undefined header\"");
    EXPECT_EQ(error(), "-350,\"Queue overflow\"");
    EXPECT_EQ(error(), "+0,\"No error\"");

    run("BOGUS");
    run("*cls");
    EXPECT_EQ(error(), "+0,\"No error\"");
    EXPECT_EQ(ErrorQueue::format({5, "Device"}), "+5,\"Device\"\n");
}

TEST_F(InstrumentTest, UploadInSeveralBlocksIsStoredByteForByte) {
    EXPECT_EQ(run("DIAG:UPD:SSIZ? HBRM"), "4096");
    EXPECT_EQ(run("DIAG:UPD:INIT? HBRM,4096,10000"), "1");  // not in update mode
    EXPECT_EQ(error(), "-221,\"Settings conflict;not in update mode\"");
    run("DIAG:UPD:STARt");
    EXPECT_TRUE(instrument_->update_mode());
    EXPECT_EQ(run("DIAG:UPD:INIT? HBRM,4096,10000"), "0");
    EXPECT_GE(instrument_->message_limit(), 4096u + 64u);

    std::string image;
    for (int k = 0; k < 10000; ++k)
        image += static_cast<char>(k * 7 % 256);
    EXPECT_EQ(block(image.substr(0, 4096)), "0");
    EXPECT_EQ(block(image.substr(4096, 4096)), "0");
    EXPECT_EQ(block(image.substr(8192)), "0");
    EXPECT_EQ(error(), "+0,\"No error\"");
    EXPECT_TRUE(stored_.images.empty());  // only done keeps it
    run("DIAG:UPD:DONE");
    EXPECT_EQ(stored_.images["HBRM"], image);
    EXPECT_FALSE(instrument_->transfer_open());
    run("DIAG:UPD:END");
    EXPECT_FALSE(instrument_->update_mode());
}

TEST_F(InstrumentTest, RefusedInitialiseAndBlocks) {
    run("DIAG:UPD:STARt");
    EXPECT_EQ(run("DIAG:UPD:INIT? NOPE,10,10"), "2");
    EXPECT_EQ(run("DIAG:UPD:INIT? ../x,10,10"), "2");       // never a path
    EXPECT_EQ(run("DIAG:UPD:INIT? HBRM,100,10"), "3");      // block larger than image
    EXPECT_EQ(run("DIAG:UPD:INIT? HBRM,1000,10000"), "3");  // not whole sectors
    EXPECT_EQ(run("DIAG:UPD:INIT? HBRM,0,10"), "3");
    EXPECT_EQ(run("DIAG:UPD:INIT? HBRM,10"), "5");
    EXPECT_EQ(run("DIAG:UPD:INIT? HBRM,x,10"), "5");
    EXPECT_EQ(error(), "-224,\"Illegal parameter value;unknown image\"");
    while (error() != "+0,\"No error\"") {
    }
    EXPECT_EQ(block("abc"), "1");  // no transfer open
    EXPECT_EQ(run("DIAG:UPD:INIT? HBRM,4096,5000"), "0");
    EXPECT_EQ(block(std::string(4097, 'x')), "3");  // larger than B
    EXPECT_EQ(run("DIAG:UPD:BLOC? #9123"), "5");
    EXPECT_EQ(block(std::string(4096, 'x')), "0");
    EXPECT_EQ(block(std::string(1000, 'x')), "3");  // beyond L
    EXPECT_EQ(error(), "-221,\"Settings conflict;no transfer open\"");
    EXPECT_EQ(error(), "-222,\"Data out of range\"");
    EXPECT_EQ(error(), "-161,\"Invalid block data\"");
    // Done with fewer bytes than announced: the image is discarded.
    run("DIAG:UPD:DONE");
    EXPECT_TRUE(stored_.images.empty());
    // A sector size of 0 lets the whole image go as one block only.
    InstrumentConfig c;
    c.sector_sizes = {{"HPAP", 0}};
    reset(c);
    run("DIAG:UPD:STARt");
    EXPECT_EQ(run("DIAG:UPD:SSIZ? HPAP"), "0");
    EXPECT_EQ(run("DIAG:UPD:INIT? HPAP,7,7"), "0");
}

TEST_F(InstrumentTest, NewInitialiseAbandonsAnOpenTransfer) {
    run("DIAG:UPD:STARt");
    run("DIAG:UPD:INIT? HUBL,4,4");
    block("ab");
    run("DIAG:UPD:INIT? HUBL,4,4");
    EXPECT_EQ(instrument_->transfer_received(), 0u);
    block("wxyz");
    run("DIAG:UPD:DONE");
    EXPECT_EQ(stored_.images["HUBL"], "wxyz");
}

TEST_F(InstrumentTest, SeveralUnitsInOneMessage) {
    EXPECT_EQ(run("*cls;*IDN?;:SYST:ERR?"),
              "Tavrion Technologies,K7141HA,000001,1.0.0;+0,\"No error\"");
}

TEST_F(InstrumentTest, OverflowedBlockIsRefused) {
    run("DIAG:UPD:STARt");
    run("DIAG:UPD:INIT? HPAP,65536,65536");
    ProgramMessage m;
    m.bytes = "DIAG:UPD:BLOC? #9999999999";
    m.overflow = true;
    const Outcome o = instrument_->execute(m);
    ASSERT_TRUE(o.reply);
    EXPECT_EQ(*o.reply, "4\n");
    EXPECT_EQ(error(), "-223,\"Too much data\"");
}

TEST_F(InstrumentTest, InjectedFaults) {
    InstrumentConfig c;
    c.errors_after.push_back({"DIAG:UPD:BLOC?", 2, {-300, "late"}});
    c.errors_after.push_back({"*CLS", 0, {5, "always"}});
    c.init_reply = "abc";
    c.block_replies[3] = "7";
    c.no_reply.insert("DIAG:UPD:SSIZ?");
    c.replies["*OPC?"] = "x";
    c.slow_ms["*IDN?"] = 250;
    reset(c);

    run("*cls");
    EXPECT_EQ(error(), "+5,\"always\"");  // pushed after the clear ran
    EXPECT_EQ(run("DIAG:UPD:SSIZ? HPAP"), "<none>");
    EXPECT_EQ(run("*OPC?"), "x");
    run("*IDN?");
    EXPECT_EQ(last_.delay_ms, 250u);
    run("DIAG:UPD:STARt");
    EXPECT_EQ(run("DIAG:UPD:INIT? HBRM,4096,12288"), "abc");
    EXPECT_TRUE(instrument_->transfer_open());  // only the reply text is false
    EXPECT_EQ(block(std::string(4096, 'a')), "0");
    EXPECT_EQ(error(), "+0,\"No error\"");
    EXPECT_EQ(block(std::string(4096, 'b')), "0");
    EXPECT_EQ(error(), "-300,\"late\"");
    EXPECT_EQ(block(std::string(4096, 'c')), "7");
    EXPECT_EQ(error(), "+0,\"No error\"");
}

TEST_F(InstrumentTest, RebootAndPowerOn) {
    run("DIAG:UPD:STARt");
    run("BOGUS");
    EXPECT_EQ(run("DIAG:HW:HOST:REBoot"), "<none>");
    EXPECT_TRUE(last_.reboot);
    instrument_->power_on();
    EXPECT_FALSE(instrument_->update_mode());
    EXPECT_EQ(error(), "+0,\"No error\"");
}

}  // namespace
}  // namespace sim
