// The session procedure, status reports, time-outs, session configuration,
// the error-queue drain and the five entry operations.
#include <cstring>

#include "engine_fixture.h"

namespace {

using Strings = std::vector<std::string>;
constexpr char locked_line[] = "update: Device locked by another process.\n";

// ---- session procedure -----------------------------------------------------------

TEST_F(EngineTest, SessionOpensLocksWithoutWaitingAndReleasesInOrder) {
    char reply[256];
    ASSERT_EQ(update_identify(lan, reply, sizeof reply, 2000), 1);
    const auto& calls = visa_double::calls();
    ASSERT_GE(calls.size(), 6u);
    EXPECT_EQ(calls[0].fn, "viOpenDefaultRM");
    EXPECT_EQ(calls[1].fn, "viOpen");
    EXPECT_EQ(calls[1].text, lan);
    EXPECT_EQ(calls[1].mode, 0u);   // no lock at open
    EXPECT_EQ(calls[1].count, 0u);  // open timeout
    EXPECT_EQ(calls[2].fn, "viLock");
    EXPECT_EQ(calls[2].mode, static_cast<ViUInt32>(VI_EXCLUSIVE_LOCK));
    EXPECT_EQ(calls[2].count, 0u);  // one attempt, no wait
    EXPECT_EQ(calls[2].value, 0u);  // no access key place
    const size_t n = calls.size();
    EXPECT_EQ(calls[n - 3].fn, "viUnlock");
    EXPECT_EQ(calls[n - 2].fn, "viClose");
    EXPECT_EQ(calls[n - 2].obj, visa_double::instr_handle);
    EXPECT_EQ(calls[n - 1].fn, "viClose");
    EXPECT_EQ(calls[n - 1].obj, visa_double::rm_handle);
}

TEST_F(EngineTest, SessionFailuresReportAndCloseWhatWasOpened) {
    visa_double::fail_next("viOpenDefaultRM", VI_ERROR_SYSTEM_ERROR);
    EXPECT_EQ(update_start(lan), 0);
    EXPECT_EQ(err(), "update: viOpenDefaultRM failed\n" + visa_line(VI_ERROR_SYSTEM_ERROR));
    EXPECT_EQ(names(), (Strings{"viOpenDefaultRM", "viStatusDesc"}));

    Reset();
    // A positive completion code from viOpen is a failure too.
    visa_double::fail_next("viOpen", VI_SUCCESS_DEV_NPRESENT);
    EXPECT_EQ(update_start(lan), 0);
    EXPECT_EQ(err(), "update: viOpen failed\n" + visa_line(VI_SUCCESS_DEV_NPRESENT));
    EXPECT_EQ(names(), (Strings{"viOpenDefaultRM", "viOpen", "viStatusDesc", "viClose"}));

    Reset();
    visa_double::fail_next("viLock", VI_ERROR_INV_LOCK_TYPE);
    EXPECT_EQ(update_start(lan), 0);
    EXPECT_EQ(err(), "update: viLock failed\n" + visa_line(VI_ERROR_INV_LOCK_TYPE));
    EXPECT_EQ(names(), (Strings{"viOpenDefaultRM", "viOpen", "viLock", "viStatusDesc", "viClose",
                                "viClose"}));
}

// Every operation fails at once on a locked instrument and sends nothing.
TEST_F(EngineTest, LockedInstrumentFailsEveryOperationAtOnce) {
    const std::string path = image(100);
    char reply[256];
    const Strings expected{"viOpenDefaultRM", "viOpen", "viLock", "viClose", "viClose"};

    const auto check = [&](const char* what) {
        SCOPED_TRACE(what);
        EXPECT_EQ(err(), locked_line);
        EXPECT_EQ(names(), expected);
        EXPECT_TRUE(slept().empty());
        Reset();
        visa_double::fail_next("viLock", VI_ERROR_TMO);
    };
    visa_double::fail_next("viLock", VI_ERROR_TMO);
    EXPECT_EQ(update_identify(lan, reply, sizeof reply, 2000), 0);
    check("identify");
    EXPECT_EQ(update_start(lan), 0);
    check("start");
    EXPECT_EQ(update_image(lan, "HPAP", path.c_str(), -1), 1);
    check("image");
    update_end(lan);
    check("end");
    update_reboot_host(lan);
    check("reboot");
}

TEST_F(EngineTest, OverlongArgumentsAreRefusedBeforeAnyVisaCall) {
    const std::string longest(63, 'r');
    char reply[256];
    update_identify(longest.c_str(), reply, sizeof reply, 2000);
    EXPECT_EQ(visa_double::calls()[1].text, longest) << "63 characters fit";

    Reset();
    const std::string resource(64, 'r');
    EXPECT_EQ(update_start(resource.c_str()), 0);
    EXPECT_EQ(err(), "update: resource name too long (64 characters; at most 63)\n");
    EXPECT_TRUE(visa_double::calls().empty());

    Reset();
    const std::string path = image(10);
    EXPECT_EQ(update_image(lan, "HPAPHPAPHPAPHPAP", path.c_str(), -1), 1);
    EXPECT_EQ(err(), "update: image identifier too long (16 characters; at most 15)\n");
    const std::string long_path(256, 'p');
    EXPECT_EQ(update_image(lan, "HPAP", long_path.c_str(), -1), 1);
    EXPECT_TRUE(visa_double::calls().empty());
    EXPECT_NE(err().find("update: file path too long (256 characters; at most 255)\n"),
              std::string::npos);
}

// ---- reports and time-outs --------------------------------------------------------------

TEST_F(EngineTest, TimeOutPrintsItsOwnLineAndOtherStatusesTheVisaLine) {
    update_report_status(VI_ERROR_TMO, visa_double::instr_handle);
    EXPECT_EQ(err(), "Command timed out!\n");
    update_report_status(VI_ERROR_IO, visa_double::instr_handle);
    EXPECT_EQ(err(), "Command timed out!\nVISA error: -1073807298 - " +
                         visa_double::status_text(VI_ERROR_IO) + "\n");
    Reset();
    update_report_visa_error(visa_double::instr_handle, VI_ERROR_TMO);
    EXPECT_EQ(err().rfind("VISA error: -1073807339 - ", 0), 0u);
}

TEST_F(EngineTest, TimeoutIsSetWhereEachOperationNeedsIt) {
    char reply[256];
    update_identify(lan, reply, sizeof reply, 2000);
    EXPECT_EQ(sets_of(VI_ATTR_TMO_VALUE), (std::vector<ViAttrState>{2000}));
    EXPECT_EQ(index_of("viSetAttribute"), 3) << "right after the lock";

    Reset();
    update_start(lan);
    EXPECT_EQ(sets_of(VI_ATTR_TMO_VALUE), (std::vector<ViAttrState>{240000}));
    EXPECT_EQ(index_of("viSetAttribute"), 3);

    Reset();
    update_end(lan);
    update_reboot_host(lan);
    EXPECT_TRUE(sets_of(VI_ATTR_TMO_VALUE).empty());

    Reset();
    update_set_timeout(visa_double::instr_handle, -1);
    EXPECT_EQ(sets_of(VI_ATTR_TMO_VALUE), (std::vector<ViAttrState>{VI_TMO_INFINITE}));
}

TEST_F(EngineTest, TimeoutThatCannotBeSetIsReportedAsVisaErrorAndIgnored) {
    visa_double::fail_next("viSetAttribute", VI_ERROR_TMO);
    EXPECT_EQ(update_start(lan), 1);
    EXPECT_EQ(err(), visa_line(VI_ERROR_TMO)) << "even a time-out status is a VISA line here";
}

// ---- session configuration -----------------------------------------------------------------

TEST_F(EngineTest, LanSessionsReadUpToTheLineFeedOthersAreLeftAlone) {
    EXPECT_EQ(update_configure_session(visa_double::instr_handle), VI_SUCCESS);
    EXPECT_EQ(sets_of(VI_ATTR_TERMCHAR_EN), (std::vector<ViAttrState>{VI_TRUE}));
    EXPECT_EQ(visa_double::calls()[0].attr, VI_ATTR_INTF_TYPE);

    Reset();
    visa_double::set_interface_type(VI_INTF_USB);
    EXPECT_EQ(update_configure_session(visa_double::instr_handle), VI_SUCCESS);
    EXPECT_TRUE(sets_of(VI_ATTR_TERMCHAR_EN).empty());

    Reset();
    visa_double::fail_next("viGetAttribute", VI_ERROR_NSUP_ATTR);
    EXPECT_EQ(update_configure_session(visa_double::instr_handle), VI_ERROR_NSUP_ATTR);
}

TEST_F(EngineTest, UnconfigurableSessionFailsWithoutWritingAndUnlocks) {
    const std::string path = image(100);
    visa_double::fail_next("viGetAttribute", VI_ERROR_NSUP_ATTR);
    EXPECT_EQ(update_image(lan, "HPAP", path.c_str(), -1), 1);
    EXPECT_TRUE(writes().empty());
    EXPECT_EQ(err(), visa_line(VI_ERROR_NSUP_ATTR));
    EXPECT_EQ(count(names(), "viUnlock"), 1);

    Reset();
    // A warning from the configuration is still a failure.
    visa_double::fail_next("viSetAttribute", VI_SUCCESS);
    visa_double::fail_next("viSetAttribute", VI_WARN_NSUP_ATTR_STATE);
    EXPECT_EQ(update_start(lan), 0);
    EXPECT_TRUE(writes().empty());
}

// ---- error queue ---------------------------------------------------------------------------

TEST_F(EngineTest, DrainPrintsEveryEntryInOrderAndReturnsTheFirst) {
    auto& errors = visa_double::instrument().errors;
    errors = {"-222,\"Data out of range\"\n", "+5,\"Device specific\"\n",
              "-350,\"Queue overflow\"\n"};
    EXPECT_EQ(update_check_scpi_errors(visa_double::instr_handle), -222);
    EXPECT_EQ(err(),
              "update: SCPI error - -222,\"Data out of range\"\n"
              "update: SCPI error - +5,\"Device specific\"\n"
              "update: SCPI error - -350,\"Queue overflow\"\n");
    EXPECT_EQ(count(writes(), ":SYST:ERR?\n"), 4);
    for (const auto& call : visa_double::calls()) {
        if (call.fn == "viRead") {
            EXPECT_EQ(call.count, 256u);
        }
    }
}

TEST_F(EngineTest, ErrorReplyForms) {
    char reply[update_scpi_reply_max + 1];
    const struct {
        const char* reply;
        int code;
    } cases[] = {
        {"+0,\"No error\"\n", 0},
        {"0,\"No error\"\n", 0},
        {"-0,\"No error\"\n", 0},
        {"-113,\"Undefined\"\n", -113},
        {"+7,\"x\"\n", 7},
        {"12,\"unsigned\"\n", 12},
        {"garbage\n", 0},
        {"\n", 0},
        {"", 0},
        {"-99999999999,\"huge\"\n", -INT32_MAX},
    };
    for (const auto& c : cases) {
        visa_double::queue_read(c.reply);
        EXPECT_EQ(update_read_scpi_error(visa_double::instr_handle, reply), c.code) << c.reply;
        EXPECT_STREQ(reply, c.reply);
    }
    // The reply's own line feed stays out of the quotes.
    EXPECT_NE(err().find("update: unreadable SCPI error reply 'garbage'\n"), std::string::npos);
    EXPECT_NE(err().find("update: unreadable SCPI error reply ''\n"), std::string::npos);
}

TEST_F(EngineTest, UnreadableQueueCountsAsEmpty) {
    visa_double::queue_read("", VI_ERROR_TMO);
    EXPECT_EQ(update_check_scpi_errors(visa_double::instr_handle), 0);
    EXPECT_EQ(err(), "Command timed out!\n");

    Reset();
    visa_double::fail_next("viWrite", VI_ERROR_IO);
    EXPECT_EQ(update_check_scpi_errors(visa_double::instr_handle), 0);
    EXPECT_EQ(err(), visa_line(VI_ERROR_IO));
    EXPECT_EQ(count(names(), "viRead"), 0);
}

TEST_F(EngineTest, EndlessErrorQueueIsBoundedAndFails) {
    visa_double::instrument().no_error = "-300,\"Device-specific error\"\n";
    visa_double::set_recording(false);
    EXPECT_EQ(update_check_scpi_errors(visa_double::instr_handle), -300);
    const std::string text = err();
    size_t lines = 0;
    for (size_t at = 0; (at = text.find("update: SCPI error - ", at)) != std::string::npos; ++at)
        ++lines;
    EXPECT_EQ(lines, static_cast<size_t>(update_scpi_drain_limit));
    EXPECT_NE(text.find("update: SCPI error queue still not empty after 1000 entries\n"),
              std::string::npos);
}

// Around the limit every entry read is printed, and "not empty" is said only
// when the queue was not seen to be empty.
TEST_F(EngineTest, QueuesAroundTheDrainLimit) {
    for (int entries : {999, 1000, 1001}) {
        Reset();
        visa_double::set_recording(false);
        for (int i = 0; i < entries; ++i)
            visa_double::queue_read("-" + std::to_string(i + 1) + ",\"e\"\n");
        EXPECT_EQ(update_check_scpi_errors(visa_double::instr_handle), -1);
        const std::string text = err();
        size_t lines = 0;
        for (size_t at = 0; (at = text.find("update: SCPI error - ", at)) != std::string::npos;
             ++at)
            ++lines;
        EXPECT_EQ(lines, static_cast<size_t>(std::min(entries, update_scpi_drain_limit)))
            << entries;
        EXPECT_NE(text.find("update: SCPI error - -" + std::to_string(std::min(entries, 1000)) +
                            ",\"e\"\n"),
                  std::string::npos)
            << entries;
        const bool unknown = entries >= update_scpi_drain_limit;
        EXPECT_EQ(text.find("still not empty") != std::string::npos, unknown) << entries;
        // What was not printed was not read: it is still in the queue.
        char next[update_scpi_reply_max + 1];
        EXPECT_EQ(update_read_scpi_error(visa_double::instr_handle, next),
                  entries > update_scpi_drain_limit ? -1001 : 0)
            << entries;
    }
}

// ---- operations -----------------------------------------------------------------------------

TEST_F(EngineTest, IdentifySendsTheQueryAndKeepsAtMostSizeMinusOneBytes) {
    visa_double::instrument().identity = std::string(300, 'x');
    char reply[256];
    std::memset(reply, '#', sizeof reply);
    EXPECT_EQ(update_identify(lan, reply, sizeof reply, 2000), 1);
    EXPECT_EQ(writes(), (Strings{"*IDN?\n"}));
    EXPECT_EQ(std::strlen(reply), 255u);
    EXPECT_EQ(visa_double::calls()[index_of("viRead")].count, 255u);
}

TEST_F(EngineTest, IdentifyTimeOutFailsAndUnlocks) {
    visa_double::queue_read("", VI_ERROR_TMO);
    char reply[256];
    EXPECT_EQ(update_identify(lan, reply, sizeof reply, 2000), 0);
    EXPECT_EQ(err(), "Command timed out!\n");
    EXPECT_EQ(count(names(), "viUnlock"), 1);
    EXPECT_EQ(names().back(), "viClose");
}

TEST_F(EngineTest, StartClearsEntersUpdateModeAndOnlyPrintsQueueEntries) {
    visa_double::instrument().errors = {"-200,\"Execution error\"\n"};
    EXPECT_EQ(update_start(lan), 1);
    EXPECT_EQ(writes(), (Strings{"*cls\n", "DIAG:UPD:STARt\n", ":SYST:ERR?\n", ":SYST:ERR?\n"}));
    EXPECT_EQ(err(), "update: SCPI error - -200,\"Execution error\"\n");

    Reset();
    visa_double::fail_next("viWrite", VI_ERROR_IO);
    EXPECT_EQ(update_start(lan), 0);
    EXPECT_EQ(writes(), (Strings{"*cls\n"}));
    EXPECT_EQ(count(names(), "viUnlock"), 1);

    Reset();
    visa_double::short_write_next(3);
    EXPECT_EQ(update_start(lan), 0) << "a short write is a failed write";
}

TEST_F(EngineTest, EndAndRebootSendTheirCommandAndReadNothing) {
    update_end(lan);
    EXPECT_EQ(writes(), (Strings{"DIAG:UPD:END\n"}));
    EXPECT_EQ(count(names(), "viRead"), 0);

    Reset();
    visa_double::fail_next("viWrite", VI_ERROR_CONN_LOST);
    update_end(lan);
    EXPECT_EQ(err(), visa_line(VI_ERROR_CONN_LOST));
    EXPECT_EQ(count(names(), "viUnlock"), 1);

    Reset();
    visa_double::fail_next("viWrite", VI_ERROR_CONN_LOST);
    update_reboot_host(lan);
    EXPECT_EQ(slept(), (std::vector<uint32_t>{4000}));
    EXPECT_EQ(writes(), (Strings{"DIAG:HW:HOST:REBoot\n"}));
    EXPECT_EQ(err(), "") << "the reboot write's status is not looked at";
    EXPECT_EQ(count(names(), "viRead"), 0);
    EXPECT_LT(index_of("viLock"), index_of("viWrite")) << "the wait holds the lock";
}

}  // namespace

// ---- typed events beside the printed texts ----

namespace {

// Every event an observer hears, as text.
struct Recorder {
    update_observer hook{};
    Strings events;
    std::vector<int64_t> progress;

    Recorder() {
        hook.context = this;
        hook.on_operation = [](void* c, const char* op, const char* rsrc, bool ended, int result) {
            self(c)->events.push_back(std::string(ended ? "end " : "begin ") + op + " " + rsrc +
                                      (ended ? " " + std::to_string(result) : ""));
        };
        hook.on_bytes_sent = [](void* c, const char*, int64_t sent, int64_t total) {
            self(c)->progress.push_back(sent);
            if (sent == total) self(c)->events.push_back("all bytes " + std::to_string(total));
        };
        hook.on_block_sent = [](void* c, const char* image, int64_t sent, int64_t) {
            self(c)->events.push_back(std::string("block ") + image + " " + std::to_string(sent));
        };
        hook.on_programming = [](void* c, const char* image) {
            self(c)->events.push_back(std::string("programming ") + image);
        };
        hook.on_locked = [](void* c, const char* rsrc) {
            self(c)->events.push_back(std::string("locked ") + rsrc);
        };
        hook.on_visa_error = [](void* c, ViStatus st, const char* fn, const char* rsrc) {
            self(c)->events.push_back("visa " + std::to_string(st) + " " + fn + " " + rsrc);
        };
        hook.on_scpi_error = [](void* c, const char* entry) {
            self(c)->events.push_back(std::string("scpi ") + entry);
        };
        EXPECT_TRUE(update_add_observer(&hook));
    }
    ~Recorder() { update_remove_observer(&hook); }
    static Recorder* self(void* c) { return static_cast<Recorder*>(c); }
};

}  // namespace

TEST_F(EngineTest, ObserversHearEachStepAsValuesAndTheTextsStayTheSame) {
    const std::string path = image(3 * 1024 * 1024 + 5);
    std::string plainOut;
    {
        // The same upload without an observer, for its printed texts.
        ASSERT_EQ(update_image(lan, "HPAP", path.c_str(), -1), 0);
        plainOut = out();
        Reset();
    }
    Recorder r;
    ASSERT_EQ(update_image(lan, "HPAP", path.c_str(), -1), 0);
    EXPECT_EQ(out(), plainOut);
    EXPECT_EQ(err(), "");
    const std::string size = std::to_string(3 * 1024 * 1024 + 5);
    EXPECT_EQ(r.events,
              (Strings{std::string("begin image ") + lan, "all bytes " + size, "block HPAP " + size,
                       "programming HPAP", std::string("end image ") + lan + " 0"}));
    // At least every MiB while the block goes out, rising to the whole.
    ASSERT_GE(r.progress.size(), 4u);
    EXPECT_TRUE(std::is_sorted(r.progress.begin(), r.progress.end()));
    for (size_t i = 1; i < r.progress.size(); ++i)
        EXPECT_LE(r.progress[i] - r.progress[i - 1], 1024 * 1024 + 4096);

    // A locked instrument, a failing read and error-queue entries.
    Reset();
    r.events.clear();
    visa_double::fail_next("viLock", VI_ERROR_TMO);
    EXPECT_EQ(update_start(lan), 0);
    EXPECT_EQ(r.events, (Strings{std::string("begin start ") + lan, std::string("locked ") + lan,
                                 std::string("end start ") + lan + " 0"}));
    Reset();
    r.events.clear();
    visa_double::instrument().errors = {"-222,\"Data out of range\"\n"};
    EXPECT_EQ(update_start(lan), 1);
    EXPECT_EQ(r.events[1], "scpi -222,\"Data out of range\"\n");
    Reset();
    r.events.clear();
    char reply[64];
    visa_double::queue_read("", VI_ERROR_CONN_LOST);
    EXPECT_EQ(update_identify(lan, reply, sizeof reply, 2000), 0);
    EXPECT_EQ(r.events[1],
              "visa " + std::to_string(VI_ERROR_CONN_LOST) + " viRead " + std::string(lan));
}
