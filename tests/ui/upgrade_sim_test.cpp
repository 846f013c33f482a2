// Whole upgrade runs through the window and the built-in VISA library against
// a simulated instrument on loopback, over VXI-11 and over the raw socket.
#include <gtest/gtest.h>

#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <thread>

#include "controls.h"
#include "gui_fixture.h"
#include "scripted_picker_dlg.h"
#include "sim_process.h"
#include "stop_signals.h"
#include "update.h"
#include "workflow/json_fields.h"

namespace {

namespace fs = std::filesystem;

// Images of different sizes, so that a mix-up shows, with random bytes.
struct DemoImage {
    const char* m_id;
    const char* m_file;
    std::size_t m_size;
};
constexpr DemoImage kDemoImages[] = {
    {"HPAP", "vxWorks_rom.bin", 300000},
    {"HREC", "RecoveryApp.bin", 120001},
    {"HBRM", "bootrom.bin", 65536},
    {"HUBL", "ubl-nor-ais.bin", 9999},
};

class UpgradeSimTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_sink = std::tmpfile();
        update_set_streams(m_sink, m_sink);
        // The 4 s before the restart are the engine's to keep; not here.
        update_set_sleep([](uint32_t) {});
        m_cwd = fs::current_path();
        m_dir = fs::temp_directory_path() / ("fw-upgrade-sim-" + std::to_string(::getpid()));
        fs::remove_all(m_dir);
        fs::create_directories(m_dir / "rel" / "host");
        std::ofstream(m_dir / "rel" / "Firmware_Upgrade.txt")
            << "# demonstration release\nHPAP 2.4.0\nHREC 2.4.0\nHBRM 1.9\nHUBL 1.2\n";
        std::mt19937 random(7);
        for (const DemoImage& image : kDemoImages) {
            std::string bytes(image.m_size, '\0');
            for (char& c : bytes)
                c = static_cast<char>(random() & 0xFF);
            std::ofstream(m_dir / "rel" / "host" / image.m_file, std::ios::binary) << bytes;
        }

        m_dlg = std::make_unique<ScriptedPickerDlg>();
        ASSERT_TRUE(m_dlg->Create());
        m_dlg->show();
        m_dlg->m_pickerAnswer = (m_dir / "rel").string() + "/";
    }
    void TearDown() override {
        m_dlg.reset();
        update_set_sleep(nullptr);
        update_set_streams(nullptr, nullptr);
        if (m_sink) std::fclose(m_sink);
        fs::current_path(m_cwd);
        fs::remove_all(m_dir);
    }

    std::string Contents(const char* file) const {
        std::ifstream in(m_dir / "rel" / "host" / file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    // Browse to the release, tick every image, type the instrument, Upgrade.
    void RunThroughTheWindow(const std::string& instrument) {
        dynamic_cast<QPushButton*>(m_dlg->GetDlgItem(IDC_BROWSE))->click();
        for (int id :
             {IDC_UPGRADE_HOST, IDC_UPGRADE_RECOVERY, IDC_UPGRADE_BOOTROM, IDC_UPGRADE_UBL}) {
            auto* box = dynamic_cast<QCheckBox*>(m_dlg->GetDlgItem(id));
            ASSERT_TRUE(box->isEnabled()) << id;
            box->setChecked(true);
        }
        dynamic_cast<CComboBoxControl*>(m_dlg->GetDlgItem(IDC_INSTRUMENT))
            ->setEditText(QString::fromStdString(instrument));
        dynamic_cast<QPushButton*>(m_dlg->GetDlgItem(IDC_UPGRADE))->click();
    }

    void ExpectUpgradedAndRestarted(const SimProcess& sim, const BoxRecorder& boxes) {
        ASSERT_EQ(boxes.m_boxes.size(), 2u);
        EXPECT_EQ(boxes.m_boxes[0].m_caption, "Warning");
        EXPECT_EQ(boxes.m_boxes[1].m_caption, "Complete");
        EXPECT_EQ(m_dlg->GetDlgItemText(IDC_LOG),
                  "Upgrading firmware for K7100x\r\n"
                  "Host Application upgrade...successful\r\n"
                  "Requires Power Cycle...\r\n"
                  "Host Recovery Application upgrade...successful\r\n"
                  "Host BootROM upgrade...successful\r\n"
                  "Host UBL upgrade...successful\r\n");
        for (const DemoImage& image : kDemoImages)
            EXPECT_TRUE(sim.wait_stored(image.m_id, Contents(image.m_file))) << image.m_id;
        const std::string transcript = sim.transcript();
        const std::size_t reboot = transcript.find("DIAG:HW:HOST:REBoot");
        ASSERT_NE(reboot, std::string::npos) << transcript;
        // The restart comes after the update mode was left for the last time.
        EXPECT_LT(transcript.rfind("DIAG:UPD:END"), reboot);
    }

    // A new window, as the program makes one after its stop signals are in.
    void Reopen() {
        m_dlg = std::make_unique<ScriptedPickerDlg>();
        ASSERT_TRUE(m_dlg->Create());
        m_dlg->show();
        m_dlg->m_pickerAnswer = (m_dir / "rel").string() + "/";
    }

    std::unique_ptr<ScriptedPickerDlg> m_dlg;
    fs::path m_cwd;
    fs::path m_dir;
    FILE* m_sink = nullptr;
};

TEST_F(UpgradeSimTest, AWholeRunOverVxi11) {
    // VXI-11 reaches the simulator through its portmapper on port 111,
    // which only root may bind.
    if (::geteuid() != 0) GTEST_SKIP() << "VXI-11 needs the simulator's port 111 (root)";
    SimProcess sim("127.0.0.70", {});
    BoxRecorder boxes;
    RunThroughTheWindow(sim.vxi11());
    ExpectUpgradedAndRestarted(sim, boxes);
}

TEST_F(UpgradeSimTest, AWholeRunOverTheRawSocketAsAnyUserCan) {
    // Without a portmapper, as when the simulator runs without root.
    SimProcess sim("127.0.0.71", {"--portmap-port", "0"});
    BoxRecorder boxes;
    RunThroughTheWindow(sim.socket());
    ExpectUpgradedAndRestarted(sim, boxes);
}

TEST_F(UpgradeSimTest, ARefusedImageIsReportedAndNothingRestarts) {
    // The third image announced, the BootROM, leaves an error behind.
    SimProcess sim("127.0.0.72", {"--portmap-port", "0", "--error-after",
                                  "DIAG:UPD:INIT?@3=-222,\"Data out of range\""});
    BoxRecorder boxes;
    RunThroughTheWindow(sim.socket());
    ASSERT_EQ(boxes.m_boxes.size(), 2u);
    EXPECT_EQ(boxes.m_boxes[1].m_text, "Upgrade failed!\nPlease re-run the upgrade application.");
    EXPECT_NE(m_dlg->GetDlgItemText(IDC_LOG).find("Host BootROM upgrade...FAILED!\r\n"),
              std::string::npos);
    EXPECT_TRUE(sim.wait_stored("HUBL", Contents("ubl-nor-ais.bin")));
    EXPECT_EQ(sim.transcript().find("DIAG:HW:HOST:REBoot"), std::string::npos);
    EXPECT_EQ(boxes.m_boxes[1].m_details,
              "Image: Host BootROM (HBRM)\nSent: 0 of 65536 bytes\n"
              "The instrument said: -222,\"Data out of range\"\n"
              "DIAG:UPD:DONE: sent (the instrument keeps no image it did not receive whole)\n"
              "Restart: not sent\n\nThe images that went through were kept and the failed one "
              "was not; it is safe to run the upgrade again.");
}

// The window's box is the same whatever kept the instrument from the run;
// its details tell which, and what to do.
TEST_F(UpgradeSimTest, EachFailureKeepsItsBoxAndTellsItsCauseInTheDetails) {
    const auto lastBox = [&](const std::string& instrument) {
        BoxRecorder boxes;
        RunThroughTheWindow(instrument);
        return boxes.m_boxes.empty() ? RecordedBox{} : boxes.m_boxes.back();
    };
    const auto expectNotFound = [](const RecordedBox& box, const std::string& details) {
        EXPECT_EQ(box.m_text,
                  "Unable to find K7141HA or K7142HA instrument.\nPlease make sure "
                  "your\ninstrument is connected.");
        EXPECT_EQ(box.m_caption, "Error");
        EXPECT_EQ(box.m_type, 0x10u);
        EXPECT_NE(box.m_details.find(details), std::string::npos) << box.m_details;
    };
    // Nothing listens on this port.
    expectNotFound(lastBox("TCPIP0::127.0.0.76::5099::SOCKET"), "127.0.0.76:5099");
    expectNotFound(lastBox("TCPIP0::127.0.0.76::5099::SOCKET"), "connection refused");
    {
        SimProcess sim("127.0.0.77", {"--portmap-port", "0", "--model", "other"});
        expectNotFound(lastBox(sim.socket()), "answered as model K7150A, which this program");
    }
    {
        SimProcess sim("127.0.0.78", {"--portmap-port", "0", "--hold-lock"});
        expectNotFound(lastBox(sim.hislip()), "Another session holds the instrument's lock.");
    }
    // The link drops 50000 bytes into the Host image's only block: the
    // instrument took nothing it keeps.
    SimProcess sim("127.0.0.79", {"--portmap-port", "0", "--drop-in-block", "50000"});
    const RecordedBox box = lastBox(sim.hislip());
    EXPECT_EQ(box.m_text, "Host Upgrade Failed.\n");
    EXPECT_EQ(box.m_caption, "Failed");
    // How much the link took before it went is the kernel's to say.
    std::string details = box.m_details;
    const std::size_t sent = details.find("Sent: ") + 6;
    details.replace(sent, details.find(' ', sent) - sent, "N");
    EXPECT_EQ(details,
              "Image: Host Application (HPAP)\n"
              "Sent: N of 300000 bytes (the instrument confirmed 0)\n"
              "VISA status: VI_ERROR_CONN_LOST: The connection to the resource has been lost. "
              "(0xBFFF00A6)\nDIAG:UPD:DONE: not sent (the link was lost)\nRestart: not sent\n"
              "The instrument is still in update mode.\n\n"
              "Nothing was kept; it is safe to run the upgrade again.");
}

// A stop from outside while the Host image is under way: a SIGTERM to the
// process, or the window manager's close request. The image goes to its end,
// the update mode is left, the attempt recorded, and only then does the
// window close.
TEST_F(UpgradeSimTest, AStopMidImageLeavesUpdateModeRecordsTheRunThenCloses) {
    ASSERT_TRUE(stop_signals::Install());
    const char* oldState = std::getenv("XDG_STATE_HOME");
    const std::string savedState = oldState ? oldState : "";
    setenv("XDG_STATE_HOME", (m_dir / "state").c_str(), 1);
    const auto stopOnce = [&](const char* address, const std::function<void()>& stop) {
        // The block's answer comes late: the stop lands mid-image.
        SimProcess sim(address, {"--portmap-port", "0", "--slow", "DIAG:UPD:BLOC?=2500"});
        BoxRecorder boxes;
        std::thread stopper([&] {
            for (int i = 0; i < 500 && sim.transcript().find("INIT? HPAP") == std::string::npos;
                 ++i)
                ::usleep(20000);
            stop();
        });
        RunThroughTheWindow(sim.socket());
        stopper.join();
        EXPECT_FALSE(m_dlg->isVisible()) << "the window closes once the run has ended";
        const std::string t = sim.transcript();
        EXPECT_NE(t.find("DIAG:UPD:DONE\nDIAG:UPD:END\n"), std::string::npos) << t;
        EXPECT_EQ(t.find("INIT? HREC"), std::string::npos) << t;
        EXPECT_EQ(t.find("REBoot"), std::string::npos) << t;
        EXPECT_TRUE(sim.wait_stored("HPAP", Contents("vxWorks_rom.bin")));
        ASSERT_EQ(boxes.m_boxes.size(), 1u) << "only the Host warning";
    };
    stopOnce("127.0.0.73", [] { ::kill(::getpid(), SIGTERM); });
    EXPECT_TRUE(stop_signals::Requested());
    stop_signals::Clear();

    // The window again, and this time the window manager asks it to close.
    Reopen();
    QWidget* window = m_dlg.get();
    stopOnce("127.0.0.74", [window] { QCoreApplication::postEvent(window, new QCloseEvent); });

    std::vector<workflow::Json> finals;
    std::ifstream in(m_dir / "state" / "firmware-update" / "audit.jsonl");
    for (std::string line; std::getline(in, line);)
        if (auto r = workflow::ParseJsonObject(line);
            r && workflow::TextOf(*r, "record") == "final")
            finals.push_back(*r);
    ASSERT_EQ(finals.size(), 2u);
    for (const workflow::Json& record : finals) {
        EXPECT_EQ(workflow::TextOf(record, "result"), "interrupted");
        EXPECT_EQ(workflow::TextOf(record, "model"), "K7141HA");
        EXPECT_EQ(workflow::TextOf(record.at("images").at(0), "result"), "ok");
        EXPECT_EQ(workflow::TextOf(record.at("images").at(1), "result"), "not attempted");
    }
    if (oldState)
        setenv("XDG_STATE_HOME", savedState.c_str(), 1);
    else
        unsetenv("XDG_STATE_HOME");
}

TEST_F(UpgradeSimTest, AStopWhileABoxIsOpenAnswersItAsItsCloseButtonWould) {
    ASSERT_TRUE(stop_signals::Install());
    Reopen();
    SimProcess sim("127.0.0.75", {"--portmap-port", "0"});
    // Fires in the Host warning's own event loop, or at a safe point before
    // it: either way nothing is written and the window closes.
    QTimer::singleShot(300, [] { ::kill(::getpid(), SIGTERM); });
    RunThroughTheWindow(sim.socket());
    EXPECT_FALSE(m_dlg->isVisible());
    EXPECT_EQ(sim.transcript().find("DIAG:"), std::string::npos) << sim.transcript();
    stop_signals::Clear();

    // Without a run, a stop closes the window at once.
    Reopen();
    ::kill(::getpid(), SIGHUP);
    for (int i = 0; i < 100 && m_dlg->isVisible(); ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_FALSE(m_dlg->isVisible());
    stop_signals::Clear();
}

}  // namespace
