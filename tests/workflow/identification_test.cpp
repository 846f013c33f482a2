#include "workflow/identification.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "engine_output.h"
#include "update.h"
#include "visa_double.h"

namespace {

using namespace workflow;

class IdentificationTest : public ::testing::Test {
protected:
    void SetUp() override {
        visa_double::reset();
        // The engine's diagnostics are not what these tests are about.
        m_engineOutput = std::make_unique<EngineOutput>();
    }
    void TearDown() override { m_engineOutput.reset(); }

    bool Identify(const std::string& reply) {
        visa_double::instrument().identity = reply;
        return IdentifyInstrument(m_instrument, m_familyName, m_hostImageFile);
    }

    std::string m_instrument = "TCPIP0::192.0.2.7::inst0::INSTR";
    std::string m_familyName = "previous family";
    std::string m_hostImageFile = "previous.bin";
    std::unique_ptr<EngineOutput> m_engineOutput;
};

TEST_F(IdentificationTest, EachAcceptedModelGetsTheSameFamilyAndHostImage) {
    const char* replies[] = {
        "Tavrion Technologies, K7141B,12345,2.10\n", "Tavrion Technologies,K7141HA,SN0042,1.4.2\n",
        "Tavrion Technologies,K7142HA,SN0043,1.4.2\n",
        "Tavrion Technologies,K7142HA",  // exactly the prefix, nothing after it
    };
    for (const char* reply : replies) {
        SCOPED_TRACE(reply);
        m_familyName.clear();
        m_hostImageFile.clear();
        EXPECT_TRUE(Identify(reply));
        EXPECT_EQ(m_familyName, "K7100x");
        EXPECT_EQ(m_hostImageFile, "vxWorks_rom.bin");
    }
}

TEST_F(IdentificationTest, NearMissesAreRefusedAndChangeNothing) {
    const char* replies[] = {
        "Tavrion Technologies,K7141B,12345,2.10\n",    // older model without the blank
        "Tavrion Technologies, K7141HA,SN0042,1.4\n",  // newer model with a blank
        "tavrion technologies,K7141HA,SN0042,1.4\n",   // maker in lower case
        "TAVRION TECHNOLOGIES,K7142HA,SN0042,1.4\n",   // maker in upper case
        "Tavrion Technologies,K7141H",                 // 27 characters
        "Tavrion Technologies,K7141H\n",               // 28 with the line end
        "Tavrion Technologies,K7143HA,SN0042,1.4\n",   // another model
        "",
    };
    for (const char* reply : replies) {
        SCOPED_TRACE(reply);
        EXPECT_FALSE(Identify(reply));
        EXPECT_EQ(m_familyName, "previous family");
        EXPECT_EQ(m_hostImageFile, "previous.bin");
    }
}

TEST_F(IdentificationTest, AsksTheNamedInstrumentWithAShortTimeout) {
    ASSERT_TRUE(Identify("Tavrion Technologies,K7141HA,1,1\n"));
    bool opened = false;
    bool timeoutSet = false;
    for (const visa_double::Call& call : visa_double::calls()) {
        if (call.fn == "viOpen") opened = call.text == m_instrument;
        if (call.fn == "viSetAttribute" && call.attr == VI_ATTR_TMO_VALUE)
            timeoutSet = call.value == 2000;
    }
    EXPECT_TRUE(opened);
    EXPECT_TRUE(timeoutSet);
    EXPECT_EQ(visa_double::writes(), std::vector<std::string>{"*IDN?\n"});
}

TEST_F(IdentificationTest, EngineFailureIsARefusal) {
    visa_double::fail_next("viOpen", VI_ERROR_RSRC_NFOUND);
    EXPECT_FALSE(Identify("Tavrion Technologies,K7141HA,1,1\n"));
    EXPECT_EQ(m_familyName, "previous family");

    visa_double::reset();
    visa_double::fail_next("viLock", VI_ERROR_TMO);
    EXPECT_FALSE(Identify("Tavrion Technologies,K7141HA,1,1\n"));
    EXPECT_EQ(m_hostImageFile, "previous.bin");
}

TEST_F(IdentificationTest, TextThatIsNoResourceIsRefused) {
    // What discovery lists when the library cannot be opened is an ordinary
    // entry: identifying it fails like any unknown resource.
    m_instrument = "viOpenDefaultRM failed";
    visa_double::fail_next("viOpen", VI_ERROR_INV_RSRC_NAME);
    EXPECT_FALSE(Identify("Tavrion Technologies,K7141HA,1,1\n"));
}

}  // namespace
