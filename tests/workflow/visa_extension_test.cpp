// The program's face of the library's extension, over the double: values
// passed through as they are, and a library without the extension taken as
// "not known" everywhere.
#include "workflow/visa_extension.h"

#include <gtest/gtest.h>

#include <cstring>

#include "visa_double.h"
#include "workflow/socket_warning.h"

namespace {

class VisaExtensionTest : public ::testing::Test {
protected:
    void SetUp() override { visa_double::reset(); }
    void TearDown() override {
        workflow::SetLibraryLog(nullptr);
        visa_double::reset();
    }
};

TEST_F(VisaExtensionTest, TheLibrarysValuesArePassedThrough) {
    fwvisa_failure f{};
    f.status = VI_ERROR_RSRC_NFOUND;
    f.stage = FWVISA_STAGE_PORTMAPPER;
    f.cause = FWVISA_CAUSE_TIMED_OUT;
    f.port = 111;
    f.elapsed_ms = 1500;
    std::strcpy(f.host, "127.0.0.9");
    visa_double::set_last_failure(f);
    const auto met = workflow::LastConnectFailure();
    ASSERT_TRUE(met);
    EXPECT_EQ(met->m_stage, "portmapper");
    EXPECT_EQ(met->m_cause, "timed out");
    EXPECT_EQ(met->m_host, "127.0.0.9");
    EXPECT_EQ(met->m_port, 111);
    EXPECT_DOUBLE_EQ(met->m_elapsedS, 1.5);

    std::string why;
    EXPECT_FALSE(workflow::ParseResource("TCPIP0::::INSTR", &why));
    EXPECT_NE(why.find("not a VISA resource string"), std::string::npos);
    const auto parsed = workflow::ParseResource("tcpip::h::hislip0::instr");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->m_protocol, "hislip");
    EXPECT_EQ(parsed->m_canonical, "TCPIP0::h::hislip0::INSTR");
    EXPECT_EQ(workflow::UnlockableResourceWarning("TCPIP2::Box::5025::SOCKET"),
              "warning: TCPIP2::Box::5025::SOCKET is a raw socket, which cannot be locked against "
              "other machines: another computer may talk to the instrument during the upgrade; "
              "prefer TCPIP2::box::inst0::INSTR or TCPIP2::box::hislip0::INSTR where the "
              "instrument offers them");

    visa_double::set_lan_found({"TCPIP0::127.0.0.7::inst0::INSTR"});
    const workflow::LanSearch search = workflow::SearchLan(std::chrono::milliseconds(0));
    EXPECT_TRUE(search.m_supported);
    EXPECT_EQ(search.m_found, std::vector<std::string>{"TCPIP0::127.0.0.7::inst0::INSTR"});
    EXPECT_EQ(search.m_how, std::vector<std::string>{"VXI-11 broadcast"});

    std::vector<std::pair<workflow::LogLevel, std::string>> lines;
    ASSERT_TRUE(workflow::SetLibraryLog(
        [&lines](workflow::LogLevel level, const std::string& line) {
            lines.emplace_back(level, line);
        },
        workflow::LogLevel::Debug));
    visa_double::log_line(FWVISA_LOG_WARNING, "visa.x: odd");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].first, workflow::LogLevel::Warning);
    EXPECT_EQ(lines[0].second, "visa.x: odd");
}

TEST_F(VisaExtensionTest, ALibraryWithoutTheExtensionKnowsNothingAndSaysSo) {
    visa_double::set_extension(false);
    fwvisa_failure f{};
    f.status = VI_ERROR_TMO;
    visa_double::set_last_failure(f);
    EXPECT_FALSE(workflow::LastConnectFailure());
    std::string why;
    EXPECT_FALSE(workflow::ParseResource("TCPIP0::h::INSTR", &why));
    EXPECT_EQ(why, "");  // not known, rather than wrong
    EXPECT_FALSE(workflow::InstrumentKey("TCPIP0::h::INSTR"));
    EXPECT_FALSE(workflow::SearchLan(std::chrono::milliseconds(100)).m_supported);
    EXPECT_FALSE(workflow::SetLibraryLog([](workflow::LogLevel, const std::string&) {}));
    EXPECT_EQ(workflow::UnlockableResourceWarning("TCPIP0::h::5025::SOCKET"), "");
}

}  // namespace
