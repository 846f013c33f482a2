// The upgrade run against the scripted VISA double: what the operator sees
// (boxes, log, progress, wait cursor) and what the instrument receives.
#include "workflow/upgrade.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "recording_operator.h"
#include "swap_while_checking.h"
#include "test_signer.h"
#include "update.h"
#include "visa_double.h"
#include "workflow/audit.h"
#include "workflow/sha256.h"

namespace {

using namespace workflow;

const char* const kNoInstrumentBox =
    "box:Error:Please select VISA instrument or \nenter IP address.:16";
const char* const kNotIdentifiedBox =
    "box:Error:Unable to find K7141HA or K7142HA instrument.\nPlease make sure your\ninstrument "
    "is connected.:16";
const char* const kWarningBox =
    "box:Warning:Instrument saved state(s) will be erased.\nDo you want to proceed?:52";
const char* const kHostFailedBox = "box:Failed:Host Upgrade Failed.\n:16";
const char* const kFailedBox =
    "box:Error:Upgrade failed!\nPlease re-run the upgrade application.:16";
const char* const kCompleteBox =
    "box:Complete:Upgrade complete.\nInstrument will be power cycled on pressing OK:64";

// The operator of the running test, so that the engine's sleep before the
// reboot can be put in line with the boxes.
RecordingOperator* g_operator = nullptr;
void RecordSleep(uint32_t milliseconds) {
    if (g_operator) g_operator->m_events.push_back("sleep:" + std::to_string(milliseconds));
}

class Observer : public UpgradeObserver {
public:
    void OnOperation(const char* operation) override { m_steps.push_back(operation); }
    void OnImageStart(const ImageEvent& event) override {
        m_steps.push_back(std::string("begin ") + event.m_id + " " + std::to_string(event.m_size));
    }
    void OnImageDone(const ImageEvent& event) override {
        m_steps.push_back(std::string("done ") + event.m_id + " " + std::to_string(event.m_result));
        m_paths.push_back(event.m_path);
    }
    void OnRestart(bool sent) override { m_steps.push_back(sent ? "restarted" : "not restarted"); }
    void OnOutcome(const RunOutcome& outcome) override { m_outcome = outcome; }
    std::vector<std::string> m_steps;
    RunOutcome m_outcome;
    std::vector<std::string> m_paths;
};

class UpgradeTest : public ::testing::Test {
protected:
    void SetUp() override {
        visa_double::reset();
        m_sink = std::tmpfile();
        update_set_streams(m_sink, m_sink);
        update_set_sleep(RecordSleep);
        g_operator = &m_op;
        m_dir =
            std::filesystem::temp_directory_path() / ("fw-upgrade-" + std::to_string(::getpid()));
        std::filesystem::create_directories(m_dir / "host");
        m_releaseDir = m_dir.string() + "/";
        for (const char* file :
             {"vxWorks_rom.bin", "RecoveryApp.bin", "bootrom.bin", "ubl-nor-ais.bin"})
            WriteImage(file, std::string("image ") + file);
    }
    void TearDown() override {
        g_operator = nullptr;
        update_set_sleep(nullptr);
        update_set_streams(nullptr, nullptr);
        if (m_sink) std::fclose(m_sink);
        std::filesystem::remove_all(m_dir);
    }

    void WriteImage(const std::string& name, const std::string& content) {
        std::ofstream(m_dir / "host" / name, std::ios::binary) << content;
    }
    // The session after `sessions` others finds the instrument locked, so
    // that its transfer fails having sent nothing.
    static void FailTransferAfter(int sessions) {
        for (int i = 0; i < sessions; ++i)
            visa_double::fail_next("viLock", VI_SUCCESS);
        visa_double::fail_next("viLock", VI_ERROR_TMO);
    }

    UpgradeEnd Run(ImageChoice images) {
        return RunUpgrade(m_op, m_releaseDir, m_instrument, images, m_familyName, m_hostImageFile,
                          &m_observer);
    }

    // Each instrument session the engine opened, named after what it sent:
    // "identify", "start", "image HPAP" (by the image announced), "end",
    // "reboot", or "-" when it sent nothing (a transfer whose file could not
    // be read, a session that found the instrument locked).
    static std::vector<std::string> Operations() {
        std::vector<std::string> operations;
        bool open = false;
        std::string current;
        for (const visa_double::Call& call : visa_double::calls()) {
            if (call.fn == "viOpen") {
                open = true;
                current = "-";
            } else if (open && call.fn == "viWrite") {
                if (call.text == "*IDN?\n") current = "identify";
                if (call.text == "DIAG:UPD:STARt\n") current = "start";
                if (call.text == "DIAG:UPD:END\n") current = "end";
                if (call.text == "DIAG:HW:HOST:REBoot\n") current = "reboot";
                if (call.text.rfind("DIAG:UPD:INIT? ", 0) == 0)
                    current = "image " + call.text.substr(15, 4);
            } else if (open && call.fn == "viClose" && call.obj == visa_double::instr_handle) {
                operations.push_back(current);
                open = false;
            }
        }
        return operations;
    }

    std::vector<std::string> Boxes() const {
        std::vector<std::string> boxes;
        for (const std::string& event : m_op.m_events) {
            if (event.rfind("box:", 0) == 0) boxes.push_back(event);
        }
        return boxes;
    }
    // The progress and wait-cursor events, in order.
    std::vector<std::string> ProgressAndCursor() const {
        std::vector<std::string> events;
        for (const std::string& event : m_op.m_events) {
            if (event.rfind("range:", 0) == 0 || event.rfind("pos:", 0) == 0 ||
                event.rfind("wait:", 0) == 0)
                events.push_back(event);
        }
        return events;
    }

    RecordingOperator m_op;
    Observer m_observer;
    std::filesystem::path m_dir;
    std::string m_releaseDir;
    std::string m_instrument = "TCPIP0::192.0.2.7::inst0::INSTR";
    std::string m_familyName;
    std::string m_hostImageFile;
    FILE* m_sink = nullptr;
};

using Ops = std::vector<std::string>;
using Texts = std::vector<std::string>;

TEST_F(UpgradeTest, InstrumentTextIsWrappedOnlyWhenItHasNoDoubleColon) {
    EXPECT_EQ(ResourceFromInstrumentText("192.0.2.7"), "TCPIP0::192.0.2.7::INSTR");
    EXPECT_EQ(ResourceFromInstrumentText("sensor-3.lab"), "TCPIP0::sensor-3.lab::INSTR");
    EXPECT_EQ(ResourceFromInstrumentText("   "), "TCPIP0::   ::INSTR");
    EXPECT_EQ(ResourceFromInstrumentText("TCPIP0::192.0.2.7::INSTR"), "TCPIP0::192.0.2.7::INSTR");
    EXPECT_EQ(ResourceFromInstrumentText("USB0::0x1234::0x5678::SN1::INSTR"),
              "USB0::0x1234::0x5678::SN1::INSTR");

    // The run rewrites the member and talks to the rewritten resource.
    m_instrument = "192.0.2.7";
    EXPECT_EQ(Run({0, 0, 0, 1}), UpgradeEnd::Complete);
    EXPECT_EQ(m_instrument, "TCPIP0::192.0.2.7::INSTR");
    for (const visa_double::Call& call : visa_double::calls()) {
        if (call.fn == "viOpen") {
            EXPECT_EQ(call.text, "TCPIP0::192.0.2.7::INSTR");
        }
    }
}

// A raw socket keeps out only this machine's processes: said once, with the
// names of the same host to prefer; the run goes on.
TEST_F(UpgradeTest, ARawSocketIsUpgradedWithOneWarning) {
    const auto warnings = [this] {
        return std::count_if(
            m_op.m_diagnostics.begin(), m_op.m_diagnostics.end(), [](const std::string& line) {
                return line.find("cannot be locked against other machines") != std::string::npos;
            });
    };
    m_instrument = "TCPIP2::192.0.2.7::5025::SOCKET";
    EXPECT_EQ(Run({0, 1, 1, 1}), UpgradeEnd::Complete);
    ASSERT_EQ(warnings(), 1);
    const std::string& warning = *std::find_if(
        m_op.m_diagnostics.begin(), m_op.m_diagnostics.end(),
        [](const std::string& line) { return line.find("raw socket") != std::string::npos; });
    EXPECT_NE(
        warning.find("prefer TCPIP2::192.0.2.7::inst0::INSTR or TCPIP2::192.0.2.7::hislip0::INSTR"),
        std::string::npos)
        << warning;

    m_op.m_diagnostics.clear();
    m_instrument = "TCPIP2::192.0.2.7::hislip0::INSTR";
    EXPECT_EQ(Run({0, 0, 0, 1}), UpgradeEnd::Complete);
    EXPECT_EQ(warnings(), 0);
}

TEST_F(UpgradeTest, RunsThatEndBeforeAnyContactSendNothing) {
    m_instrument.clear();
    EXPECT_EQ(Run({1, 1, 1, 1}), UpgradeEnd::NoInstrument);
    EXPECT_EQ(m_op.m_events, Texts{kNoInstrumentBox});

    m_op.m_events.clear();
    m_instrument = "192.0.2.7";
    EXPECT_EQ(Run({0, 0, 0, 0}), UpgradeEnd::NothingChosen);
    EXPECT_TRUE(m_op.m_events.empty());
    EXPECT_EQ(m_instrument, "TCPIP0::192.0.2.7::INSTR");
    EXPECT_TRUE(visa_double::calls().empty());
    EXPECT_TRUE(m_observer.m_steps.empty());
}

TEST_F(UpgradeTest, ResourcesAndPathsTheEngineCannotHoldAreRefusedFirst) {
    // A typed address of 49 characters is 64 once wrapped: one too many.
    m_instrument = std::string(49, 'a');
    EXPECT_EQ(Run({0, 0, 0, 1}), UpgradeEnd::TooLong);
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_NE(Boxes()[0].find("box:Error:The instrument resource is too long (64 characters, "
                              "at most 63):\nTCPIP0::aaaa"),
              std::string::npos);
    EXPECT_TRUE(visa_double::calls().empty());

    // 63 characters reach the instrument.
    m_op.m_events.clear();
    m_instrument = std::string(48, 'a');
    EXPECT_EQ(Run({0, 0, 0, 1}), UpgradeEnd::Complete);

    // An image path of 256 characters is refused, naming the path; 255 pass.
    visa_double::reset();
    m_op.m_events.clear();
    m_instrument = "TCPIP0::192.0.2.7::inst0::INSTR";
    const std::string ubl = "host/ubl-nor-ais.bin";
    m_releaseDir = "/" + std::string(256 - ubl.size() - 2, 'd') + "/";
    EXPECT_EQ(Run({0, 0, 0, 1}), UpgradeEnd::TooLong);
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_NE(Boxes()[0].find("(256 characters, at most 255):\n" + m_releaseDir + ubl),
              std::string::npos);
    EXPECT_TRUE(visa_double::calls().empty());
    // 255 pass the length check; the missing file is then refused by name
    // before the instrument hears anything.
    m_releaseDir.erase(1, 1);
    m_op.m_events.clear();
    EXPECT_EQ(Run({0, 0, 0, 1}), UpgradeEnd::BadImage);
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_NE(Boxes()[0].find(m_releaseDir + ubl + ": No such file"), std::string::npos);
    EXPECT_TRUE(visa_double::calls().empty());
}

TEST_F(UpgradeTest, AnInstrumentNotAcceptedIsOnlyAskedWhoItIs) {
    visa_double::instrument().identity = "Tavrion Technologies,K7143HA,1,1\n";
    EXPECT_EQ(Run({1, 1, 1, 1}), UpgradeEnd::NotIdentified);
    EXPECT_EQ(m_op.m_events, Texts{kNotIdentifiedBox});
    EXPECT_EQ(Operations(), Ops{"identify"});
    EXPECT_TRUE(m_familyName.empty());
}

TEST_F(UpgradeTest, AnsweringNoToTheHostWarningLeavesOneIdentification) {
    m_op.m_answer = 7;
    EXPECT_EQ(Run({1, 0, 0, 1}), UpgradeEnd::Declined);
    EXPECT_EQ(m_op.m_events, Texts{kWarningBox});
    EXPECT_EQ(Operations(), Ops{"identify"});
    // Identification has already given its results.
    EXPECT_EQ(m_familyName, "K7100x");
}

TEST_F(UpgradeTest, AllFourImagesGoThroughInTwoUpdateSessionsThenTheRestart) {
    EXPECT_EQ(Run({1, 1, 1, 1}), UpgradeEnd::Complete);
    EXPECT_EQ(Operations(), (Ops{"identify", "start", "image HPAP", "end", "start", "image HREC",
                                 "image HBRM", "image HUBL", "end", "reboot"}));
    EXPECT_EQ(m_op.m_pane,
              "Upgrading firmware for K7100x\r\n"
              "Host Application upgrade...successful\r\n"
              "Requires Power Cycle...\r\n"
              "Host Recovery Application upgrade...successful\r\n"
              "Host BootROM upgrade...successful\r\n"
              "Host UBL upgrade...successful\r\n");
    // The restart, with its wait, only after the operator closed the box.
    ASSERT_GE(m_op.m_events.size(), 2u);
    EXPECT_EQ(m_op.m_events[m_op.m_events.size() - 3], kCompleteBox);
    EXPECT_EQ(m_op.m_events[m_op.m_events.size() - 2], "sleep:4000");
    EXPECT_EQ(m_op.m_events.back(), "range:0..0");
    EXPECT_EQ(Boxes(), (Texts{kWarningBox, kCompleteBox}));
    EXPECT_EQ(m_op.m_waitDepth, 0);

    // Paths and identifiers as the engine got them; sizes for the observer.
    EXPECT_EQ(m_observer.m_paths,
              (Texts{m_releaseDir + "host/vxWorks_rom.bin", m_releaseDir + "host/RecoveryApp.bin",
                     m_releaseDir + "host/bootrom.bin", m_releaseDir + "host/ubl-nor-ais.bin"}));
    EXPECT_EQ(m_observer.m_steps,
              (Texts{"identify", "start", "begin HPAP 21", "done HPAP 0", "end", "start",
                     "begin HREC 21", "done HREC 0", "begin HBRM 17", "done HBRM 0",
                     "begin HUBL 21", "done HUBL 0", "end", "reboot", "restarted"}));
}

TEST_F(UpgradeTest, ARestartWriteThatFailsIsNotDeliveredUnlessTheLinkWentWithIt) {
    // Refused: the old firmware runs on. Lost with the link: the instrument
    // went down as it restarted.
    for (const auto& [status, step] :
         {std::pair{VI_ERROR_IO, "not restarted"}, std::pair{VI_ERROR_CONN_LOST, "restarted"}}) {
        visa_double::reset();
        m_observer.m_steps.clear();
        // The restart command is the first write after update mode ends.
        visa_double::after_write([status = status](const std::string& bytes) {
            if (bytes == "DIAG:UPD:END\n") visa_double::fail_next("viWrite", status);
        });
        EXPECT_EQ(Run({0, 0, 0, 1}), UpgradeEnd::Complete);
        EXPECT_EQ(visa_double::writes().back(), "DIAG:HW:HOST:REBoot\n");
        EXPECT_EQ(m_observer.m_steps.back(), step);
    }
}

TEST_F(UpgradeTest, AHostFailureStopsAtOnceAndLeavesTheInstrumentInUpdateMode) {
    FailTransferAfter(2);
    EXPECT_EQ(Run({1, 1, 1, 1}), UpgradeEnd::HostFailed);
    EXPECT_EQ(Operations(), (Ops{"identify", "start", "-"}));
    EXPECT_EQ(m_op.m_pane,
              "Upgrading firmware for K7100x\r\nHost Application upgrade...FAILED!\r\n");
    EXPECT_EQ(Boxes(), (Texts{kWarningBox, kHostFailedBox}));
    // The bar keeps its place: 2 of 0..5.
    EXPECT_EQ(ProgressAndCursor(),
              (Texts{"wait:begin", "range:0..5", "pos:1", "pos:2", "wait:end"}));
    EXPECT_EQ(m_op.m_events.back(), "wait:end");
}

TEST_F(UpgradeTest, ALaterFailureIsLoggedAndEndsUpdateModeWithoutARestart) {
    FailTransferAfter(5);
    EXPECT_EQ(Run({1, 0, 1, 1}), UpgradeEnd::ImageFailed);
    EXPECT_EQ(Operations(),
              (Ops{"identify", "start", "image HPAP", "end", "start", "-", "image HUBL", "end"}));
    EXPECT_EQ(m_op.m_pane,
              "Upgrading firmware for K7100x\r\n"
              "Host Application upgrade...successful\r\n"
              "Requires Power Cycle...\r\n"
              "Host BootROM upgrade...FAILED!\r\n"
              "Host UBL upgrade...successful\r\n");
    EXPECT_EQ(Boxes(), (Texts{kWarningBox, kFailedBox}));
    // The cursor ends with the first update session; the bar is emptied.
    EXPECT_EQ(ProgressAndCursor(), (Texts{"wait:begin", "range:0..4", "pos:1", "pos:2", "wait:end",
                                          "pos:3", "pos:4", "range:0..0"}));
}

// The outcome says how far a run got, why it stopped, and whether the
// instrument holds anything a second run could not simply write again.
TEST_F(UpgradeTest, TheOutcomeTellsHowFarARunGotAndWhetherASecondRunIsSafe) {
    RunOutcome outcome;
    const auto run = [&](ImageChoice images) {
        return RunUpgrade(m_op, m_releaseDir, m_instrument, images, m_familyName, m_hostImageFile,
                          &m_observer, RunOptions(), &outcome);
    };
    EXPECT_EQ(run({1, 1, 1, 1}), UpgradeEnd::Complete);
    EXPECT_EQ(m_observer.m_outcome.m_images.size(), 4u) << "the observer has it too";
    EXPECT_EQ(outcome.m_identity.m_model, "K7141HA");
    EXPECT_EQ(outcome.m_identity.m_serial, "1234");
    EXPECT_EQ(outcome.m_identity.m_firmware, "1.0");
    EXPECT_EQ(outcome.m_images[2].m_name, "Host BootROM");
    EXPECT_EQ(outcome.m_images[2].m_bytesSent, 17);
    EXPECT_TRUE(outcome.m_updateModeEntered && outcome.m_doneSent && outcome.m_restartSent);
    EXPECT_FALSE(outcome.m_cause.failed());

    // Refused before any byte: nothing kept of it, the Host image was kept.
    visa_double::reset();
    FailTransferAfter(5);
    EXPECT_EQ(run({1, 0, 1, 1}), UpgradeEnd::ImageFailed);
    EXPECT_EQ(outcome.m_cause.m_kind, Cause::Kind::Locked);
    EXPECT_EQ(outcome.m_cause.m_sentence, "locked by another session");
    EXPECT_TRUE(outcome.m_images[1].m_attempted && !outcome.m_images[1].m_ok);
    EXPECT_TRUE(outcome.m_images[2].m_ok);
    EXPECT_FALSE(outcome.m_doneSent || outcome.m_restartSent);
    EXPECT_TRUE(outcome.m_safeToRetry);

    // Failed after the instrument had all of it: its flash is not known.
    visa_double::reset();
    visa_double::after_write([](const std::string& bytes) {
        if (bytes.rfind("DIAG:UPD:BLOC?", 0) == 0)
            visa_double::instrument().errors.push_back("-300,\"Device-specific error\"\n");
    });
    EXPECT_EQ(run({0, 0, 0, 1}), UpgradeEnd::ImageFailed);
    EXPECT_EQ(outcome.m_cause.m_scpiErrors, Texts{"-300,\"Device-specific error\"\n"});
    EXPECT_TRUE(outcome.m_doneSent);
    EXPECT_FALSE(outcome.m_safeToRetry);
    EXPECT_EQ(outcome.m_cause.m_status, 0);

    visa_double::reset();
    visa_double::instrument().identity = "Tavrion Technologies,K7143HA,77,2.0\n";
    EXPECT_EQ(run({1, 0, 0, 0}), UpgradeEnd::NotIdentified);
    EXPECT_EQ(outcome.m_cause.m_kind, Cause::Kind::NotAccepted);
    EXPECT_EQ(outcome.m_cause.m_model, "K7143HA");
    EXPECT_EQ(outcome.m_identity.m_serial, "77");
    EXPECT_FALSE(outcome.m_updateModeEntered);
}

TEST_F(UpgradeTest, WithoutHostThereIsOneUpdateSessionAndNoWarning) {
    EXPECT_EQ(Run({0, 1, 1, 0}), UpgradeEnd::Complete);
    EXPECT_EQ(Operations(),
              (Ops{"identify", "start", "image HREC", "image HBRM", "end", "reboot"}));

    visa_double::reset();
    m_op.m_events.clear();
    FailTransferAfter(2);
    EXPECT_EQ(Run({0, 1, 1, 0}), UpgradeEnd::ImageFailed);
    EXPECT_EQ(Operations(), (Ops{"identify", "start", "-", "image HBRM", "end"}));
    EXPECT_EQ(Boxes(), Texts{kFailedBox});
}

TEST_F(UpgradeTest, UblAloneFillsABarOfTwoAndShowsEveryLogChange) {
    EXPECT_EQ(Run({0, 0, 0, 1}), UpgradeEnd::Complete);
    EXPECT_EQ(
        m_op.m_events,
        (Texts{"wait:begin", "range:0..2", "pos:1", "pane:Upgrading firmware for K7100x\r\n",
               "repaint", "pane:Upgrading firmware for K7100x\r\nHost UBL upgrade...", "repaint",
               "pos:2", "pane:Upgrading firmware for K7100x\r\nHost UBL upgrade...successful\r\n",
               "scroll:1", "repaint", "wait:end", kCompleteBox, "sleep:4000", "range:0..0"}));
}

TEST_F(UpgradeTest, TheOlderModelIsAcceptedAndTheStartResultIsNotConsulted) {
    visa_double::instrument().identity = "Tavrion Technologies, K7141B,12345,2.10\n";
    // The start finds the instrument locked; the images are tried all the same.
    visa_double::fail_next("viLock", VI_SUCCESS);  // identification locks normally
    visa_double::fail_next("viLock", VI_ERROR_TMO);
    EXPECT_EQ(Run({0, 0, 1, 0}), UpgradeEnd::Complete);
    EXPECT_EQ(Operations(), (Ops{"identify", "-", "image HBRM", "end", "reboot"}));
    EXPECT_EQ(m_familyName, "K7100x");
    EXPECT_EQ(m_hostImageFile, "vxWorks_rom.bin");
}

// ---- the image files, checked before the instrument hears anything ----

TEST_F(UpgradeTest, ImagesThatCannotBeSentAreRefusedBeforeAnyContact) {
    const std::filesystem::path bootrom = m_dir / "host" / "bootrom.bin";
    const auto refused = [&](const std::string& why) {
        visa_double::reset();
        m_op.m_events.clear();
        EXPECT_EQ(Run({0, 1, 1, 1}), UpgradeEnd::BadImage) << why;
        ASSERT_EQ(Boxes().size(), 1u) << why;
        EXPECT_NE(Boxes()[0].find("image file " + bootrom.string() + ": " + why), std::string::npos)
            << Boxes()[0];
        EXPECT_NE(Boxes()[0].find("Nothing was sent to the instrument."), std::string::npos);
        EXPECT_TRUE(visa_double::calls().empty()) << why;
    };
    // Endless or blocking inputs: never read to an end, never waited on.
    std::filesystem::remove(bootrom);
    std::filesystem::create_symlink("/dev/zero", bootrom);
    refused("a device, not an image file");
    std::filesystem::remove(bootrom);
    ASSERT_EQ(::mkfifo(bootrom.c_str(), 0600), 0);
    refused("a FIFO, not an image file");
    std::filesystem::remove(bootrom);
    std::filesystem::create_directory(bootrom);
    refused("a directory, not an image file");
    std::filesystem::remove(bootrom);
    // Larger than one definite-length block can carry (sparse: no disk used).
    std::ofstream(bootrom, std::ios::binary).close();
    std::filesystem::resize_file(bootrom, 3ull << 30);
    refused("too large (3221225472 bytes; the instrument takes at most 999999999)");
    std::filesystem::resize_file(bootrom, 0);
    refused("empty");
    std::filesystem::remove(bootrom);
    refused("No such file or directory");
}

TEST_F(UpgradeTest, AnImageSwappedWhileItIsCheckedIsRefusedBeforeAnyContact) {
    SwapWhileChecking swap(m_dir / "host" / "ubl-nor-ais.bin", std::string(300000, 'R'));
    EXPECT_EQ(RunUpgrade(m_op, m_releaseDir, m_instrument, {0, 0, 0, 1}, m_familyName,
                         m_hostImageFile, &swap),
              UpgradeEnd::BadImage);
    ASSERT_TRUE(swap.m_swapped);
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_NE(Boxes()[0].find("ubl-nor-ais.bin: changed while it was being checked"),
              std::string::npos)
        << Boxes()[0];
    EXPECT_TRUE(visa_double::calls().empty());
}

// Changes the release once the run has checked and verified it.
class ChangeAfterVerification : public Observer {
public:
    explicit ChangeAfterVerification(std::function<void()> change) : m_change(std::move(change)) {}
    void OnChecked(const std::vector<CheckedImage>&,
                   const ReleaseVerification& verification) override {
        m_verification = verification.ResultWord();
        m_change();
    }
    void OnImageDone(const ImageEvent& event) override { m_sent = event.m_sentSha256; }
    std::function<void()> m_change;
    std::string m_verification;
    std::string m_sent = "unset";
};

TEST_F(UpgradeTest, AChecksummedReleaseSendsOnlyTheBytesItListsAndATamperedOneNothing) {
    const auto sums = [&](const std::string& ubl) {
        std::ofstream(m_dir / "SHA256SUMS")
            << Sha256Hex(ubl) << "  host/ubl-nor-ais.bin\n"
            << Sha256Hex("image bootrom.bin") << "  host/bootrom.bin\n";
    };
    // Tampered: the box names the file, the instrument hears nothing.
    sums("the image as released");
    EXPECT_EQ(Run({0, 0, 0, 1}), UpgradeEnd::NotVerified);
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_NE(Boxes()[0].find("box:Error:Release verification failed:\n"), std::string::npos);
    EXPECT_NE(Boxes()[0].find("host/ubl-nor-ais.bin"), std::string::npos) << Boxes()[0];
    EXPECT_TRUE(visa_double::calls().empty());

    // Verified, then changed before the engine reads it: in place, by a
    // rename over it, or by swapping the whole host/ folder. The instrument
    // gets the bytes verified, and those are what the record names.
    sums("image ubl-nor-ais.bin");
    const std::filesystem::path image = m_dir / "host" / "ubl-nor-ais.bin";
    const std::string other = "not the image that was verified";
    const std::vector<std::function<void()>> changes = {
        [&] { std::ofstream(image, std::ios::binary | std::ios::in) << other; },
        [&] {
            std::ofstream(image.string() + ".new", std::ios::binary) << other;
            std::filesystem::rename(image.string() + ".new", image);
        },
        [&] {
            std::filesystem::rename(m_dir / "host", m_dir / "host.old");
            std::filesystem::create_directories(m_dir / "host");
            std::ofstream(image, std::ios::binary) << other;
        },
    };
    for (const std::function<void()>& change : changes) {
        std::filesystem::remove_all(m_dir / "host.old");
        WriteImage("ubl-nor-ais.bin", "image ubl-nor-ais.bin");
        visa_double::reset();
        ChangeAfterVerification watch(change);
        EXPECT_EQ(RunUpgrade(m_op, m_releaseDir, m_instrument, {0, 0, 0, 1}, m_familyName,
                             m_hostImageFile, &watch),
                  UpgradeEnd::Complete);
        EXPECT_EQ(watch.m_verification, "checksummed");
        std::string block;
        for (const std::string& w : visa_double::writes())
            if (w.rfind("DIAG:UPD:BLOC? #", 0) == 0 || !block.empty()) block += w;
        EXPECT_EQ(block.rfind("DIAG:UPD:BLOC? #221image ubl-nor-ais.bin", 0), 0u) << block;
        EXPECT_EQ(watch.m_sent, Sha256Hex("image ubl-nor-ais.bin"));
    }
}

// The administrator's policy over a whole run: an operator's own keyring
// cannot pass a release someone else signed; without trusted keys a signed
// release runs on, said once in the diagnostics and kept in the audit.
TEST_F(UpgradeTest, PolicyHoldsAndAnUncheckedSignatureIsSaidOnce) {
    const TestSigner stranger("upgrade");
    if (!stranger.ready()) GTEST_SKIP() << "needs gpg (gnupg)";
    std::ofstream(m_dir / "Firmware_Upgrade.txt") << "HPAP\nHUBL\n";
    std::ofstream list(m_dir / "SHA256SUMS");
    list << Sha256Hex("HPAP\nHUBL\n") << "  Firmware_Upgrade.txt\n";
    for (const char* file :
         {"vxWorks_rom.bin", "RecoveryApp.bin", "bootrom.bin", "ubl-nor-ais.bin"})
        list << Sha256Hex(std::string("image ") + file) << "  host/" << file << "\n";
    list.close();
    ASSERT_TRUE(
        stranger.sign((m_dir / "SHA256SUMS").string(), (m_dir / "SHA256SUMS.sig").string(), false));
    ASSERT_TRUE(stranger.export_key((m_dir / "mine.gpg").string(), false));
    std::ofstream(m_dir / "policy.conf") << "require-signature = yes\n";
    RunOptions options;
    options.m_policyFile = (m_dir / "policy.conf").string();
    options.m_policy.m_trustedKeysDir = (m_dir / "trusted").string();
    options.m_policy.m_keyOwner = ::geteuid();
    options.m_policy.m_keyrings = {(m_dir / "mine.gpg").string()};
    const auto run = [&](UpgradeObserver* observer) {
        return RunUpgrade(m_op, m_releaseDir, m_instrument, {0, 0, 0, 1}, m_familyName,
                          m_hostImageFile, observer, options);
    };
    EXPECT_EQ(run(&m_observer), UpgradeEnd::NotVerified);
    ASSERT_EQ(Boxes().size(), 1u);
    EXPECT_NE(Boxes()[0].find("keyring " + (m_dir / "mine.gpg").string() +
                              ": not used, as the administrator's policy counts only the keys in " +
                              options.m_policy.m_trustedKeysDir + " (allow-user-keyrings = no)"),
              std::string::npos)
        << Boxes()[0];
    EXPECT_TRUE(visa_double::calls().empty());

    std::filesystem::remove(m_dir / "policy.conf");
    options.m_policy.m_keyrings.clear();
    m_op.m_diagnostics.clear();
    const std::string log = (m_dir / "audit.jsonl").string();
    {
        AuditObserver audit("window", m_instrument, m_releaseDir, {0, 0, 0, 1}, &m_observer, log);
        EXPECT_EQ(run(&audit), UpgradeEnd::Complete);
    }
    EXPECT_EQ(m_op.m_diagnostics,
              Texts{"release " + m_releaseDir + ": " + kSignatureNotCheckedNote});
    std::ifstream in(log);
    std::string last;
    for (std::string line; std::getline(in, line);)
        last = line;
    EXPECT_NE(
        last.find(R"("verification_note":"signature not checked: no trusted keys installed")"),
        std::string::npos)
        << last;
}

}  // namespace
