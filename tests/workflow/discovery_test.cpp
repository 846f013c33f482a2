#include "workflow/discovery.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "recording_operator.h"
#include "visa_double.h"

namespace {

using namespace workflow;

class DiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override { visa_double::reset(); }

    std::string Run(std::size_t size = kResourceListSize) {
        auto buffer = std::make_unique<char[]>(size);
        std::memset(buffer.get(), 'x', size);
        DiscoverInstruments(m_operator, buffer.get(), size);
        return buffer.get();
    }

    int CallsOf(const std::string& fn) const {
        int n = 0;
        for (const std::string& name : visa_double::call_names())
            n += name == fn;
        return n;
    }

    RecordingOperator m_operator;
};

TEST_F(DiscoveryTest, ListsEveryResourceButSerialPortsInTheLibrarysOrder) {
    struct Case {
        const char* name;
        std::vector<std::string> found;
        std::string listed;
    };
    const Case cases[] = {
        {"nothing found", {}, ""},
        {"serial port first",
         {"ASRL1::INSTR", "USB0::0x1A2B::0x0C3D::SN1::0::INSTR", "TCPIP0::192.0.2.7::inst0::INSTR"},
         "USB0::0x1A2B::0x0C3D::SN1::0::INSTR\nTCPIP0::192.0.2.7::inst0::INSTR\n"},
        {"serial ports between and last",
         {"USB0::0x1A2B::0x0C3D::SN1::0::INSTR", "ASRL/dev/ttyUSB0::INSTR", "GPIB0::5::INSTR",
          "ASRL3::INSTR"},
         "USB0::0x1A2B::0x0C3D::SN1::0::INSTR\nGPIB0::5::INSTR\n"},
        {"only serial ports", {"ASRL1::INSTR", "ASRL2::INSTR"}, ""},
        {"prefix is case-sensitive", {"asrl1::INSTR"}, "asrl1::INSTR\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        visa_double::reset();
        visa_double::set_resources(c.found);
        EXPECT_EQ(Run(), c.listed);
        EXPECT_EQ(m_operator.m_pane, "Finding VISA instruments...done\r\n");
    }
}

TEST_F(DiscoveryTest, SearchesAllInstrumentsAndClosesTheResourceManager) {
    visa_double::set_resources(
        {"ASRL1::INSTR", "USB0::1::2::S::INSTR", "TCPIP0::192.0.2.7::inst0::INSTR"});
    Run();
    const std::vector<std::string> expected = {"viOpenDefaultRM", "viFindRsrc", "viFindNext",
                                               "viFindNext", "viClose"};
    EXPECT_EQ(visa_double::call_names(), expected);
    const auto& calls = visa_double::calls();
    EXPECT_EQ(calls[1].text, "?*INSTR");
    EXPECT_EQ(calls[1].obj, visa_double::rm_handle);
    EXPECT_EQ(calls[2].obj, visa_double::find_handle);
    EXPECT_EQ(calls.back().obj, visa_double::rm_handle);
}

TEST_F(DiscoveryTest, ShowsProgressWhileSearchingAndEndsWithAnEmptyBar) {
    visa_double::set_resources({"USB0::1::2::S::INSTR"});
    Run();
    const std::vector<std::string> expected = {
        "pane:Finding VISA instruments...",
        "wait:begin",
        "range:0..2",
        "pos:1",
        "repaint",
        "pos:2",
        "wait:end",
        "range:0..0",
        "pane:Finding VISA instruments...done\r\n",
        "repaint",
    };
    EXPECT_EQ(m_operator.m_events, expected);
    EXPECT_EQ(m_operator.m_log, "Finding VISA instruments...done\r\n");
    EXPECT_EQ(m_operator.m_waitDepth, 0);
}

TEST_F(DiscoveryTest, ReplacesTheLogOfThePreviousRun) {
    m_operator.m_log = "Upgrading firmware for K7100x\r\n";
    Run();
    EXPECT_EQ(m_operator.m_log, "Finding VISA instruments...done\r\n");
}

TEST_F(DiscoveryTest, ResourceManagerFailureIsTheOnlyEntry) {
    visa_double::set_resources({"USB0::1::2::S::INSTR"});
    visa_double::fail_next("viOpenDefaultRM", VI_ERROR_SYSTEM_ERROR);
    EXPECT_EQ(Run(), "viOpenDefaultRM failed\n");
    EXPECT_EQ(visa_double::call_names(), std::vector<std::string>{"viOpenDefaultRM"});
    EXPECT_EQ(m_operator.m_pane, "Finding VISA instruments...done\r\n");
    EXPECT_EQ(m_operator.m_lower, 0);
    EXPECT_EQ(m_operator.m_upper, 0);
}

TEST_F(DiscoveryTest, ResourceManagerWarningFailsTooButItsSessionIsClosed) {
    visa_double::set_resources({"USB0::1::2::S::INSTR"});
    visa_double::fail_next("viOpenDefaultRM", VI_WARN_CONFIG_NLOADED);
    EXPECT_EQ(Run(), "viOpenDefaultRM failed\n");
    EXPECT_EQ(CallsOf("viFindRsrc"), 0);
    ASSERT_EQ(CallsOf("viClose"), 1);
    EXPECT_EQ(visa_double::calls().back().obj, visa_double::rm_handle);
}

TEST_F(DiscoveryTest, FailedSearchListsNothingAndAsksForNoMore) {
    visa_double::set_resources({"USB0::1::2::S::INSTR", "USB0::1::2::T::INSTR"});
    visa_double::set_find_status(VI_ERROR_RSRC_NFOUND);
    EXPECT_EQ(Run(), "");
    EXPECT_EQ(CallsOf("viFindNext"), 0);
    EXPECT_EQ(CallsOf("viClose"), 1);
}

TEST_F(DiscoveryTest, FailedFindNextSkipsOneMatchOnly) {
    visa_double::set_resources(
        {"USB0::1::2::A::INSTR", "USB0::1::2::B::INSTR", "USB0::1::2::C::INSTR"});
    visa_double::fail_next("viFindNext", VI_ERROR_IO);
    EXPECT_EQ(Run(), "USB0::1::2::A::INSTR\nUSB0::1::2::C::INSTR\n");
}

TEST_F(DiscoveryTest, FullListEndsAtTheLastWholeLine) {
    // Far more instruments than the list text can hold.
    std::vector<std::string> found;
    for (int i = 0; i < 600; ++i) {
        std::string name = "TCPIP0::host" + std::to_string(1000 + i) + "::";
        name += std::string(240 - name.size(), 'a') + "::INSTR";
        found.push_back(name);
    }
    visa_double::set_resources(found);
    const std::string text = Run();
    ASSERT_LT(text.size(), kResourceListSize);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    const std::vector<std::string> lines = SplitResourceList(text.c_str());
    ASSERT_EQ(lines.size(), (kResourceListSize - 1) / (found[0].size() + 1));
    for (std::size_t i = 0; i < lines.size(); ++i)
        ASSERT_EQ(lines[i], found[i]) << "line " << i;
    // The search stops asking once nothing more can be added.
    EXPECT_EQ(static_cast<std::size_t>(CallsOf("viFindNext")), lines.size());
}

TEST_F(DiscoveryTest, LineThatWouldTouchTheTerminatorIsLeftOut) {
    visa_double::set_resources({"USB0::1::INSTR", "USB0::2::INSTR", "USB0::3::INSTR"});
    EXPECT_EQ(Run(31), "USB0::1::INSTR\nUSB0::2::INSTR\n");
    visa_double::reset();
    visa_double::set_resources({"USB0::1::INSTR", "USB0::2::INSTR", "USB0::3::INSTR"});
    EXPECT_EQ(Run(30), "USB0::1::INSTR\n");
    visa_double::reset();
    visa_double::set_resources({"USB0::1::INSTR"});
    EXPECT_EQ(Run(1), "");
}

TEST(SplitResourceList, TakesWholeLinesOnly) {
    EXPECT_TRUE(SplitResourceList("").empty());
    EXPECT_EQ(SplitResourceList("A\nB\n"), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(SplitResourceList("A\n\nB"), (std::vector<std::string>{"A", ""}));
    EXPECT_EQ(SplitResourceList("viOpenDefaultRM failed\n"),
              std::vector<std::string>{"viOpenDefaultRM failed"});
}

TEST(SplitResourceList, CutsALineLongerThanItsBuffer) {
    const std::string line(3000, 'r');
    const std::vector<std::string> lines = SplitResourceList((line + "\nnext\n").c_str());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], line.substr(0, kResourceLineSize - 1));
    EXPECT_EQ(lines[1], "next");
}

}  // namespace

namespace {

// The typed result the command line reads: the resources, or a failure that
// is never taken for one of them.
TEST(FindInstruments, GivesTheResourcesOrWhyItCouldNotSearch) {
    RecordingOperator op;
    visa_double::reset();
    visa_double::set_resources({"ASRL1::INSTR", "USB0::1::2::S::INSTR"});
    workflow::FoundInstruments found = workflow::FindInstruments(op);
    EXPECT_TRUE(found.m_searched);
    EXPECT_EQ(found.m_resources, std::vector<std::string>{"USB0::1::2::S::INSTR"});

    visa_double::reset();
    visa_double::set_resources({"USB0::1::2::S::INSTR"});
    visa_double::fail_next("viOpenDefaultRM", VI_ERROR_SYSTEM_ERROR);
    found = workflow::FindInstruments(op);
    EXPECT_FALSE(found.m_searched);
    EXPECT_TRUE(found.m_resources.empty());
    EXPECT_EQ(found.m_status, VI_ERROR_SYSTEM_ERROR);
    EXPECT_NE(found.m_error.find("resource manager"), std::string::npos) << found.m_error;
}

}  // namespace
