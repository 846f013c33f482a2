// Browse and Upgrade through the main window, with the scripted VISA double.
#include <gtest/gtest.h>

#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "box_details.h"
#include "controls.h"
#include "gui_fixture.h"
#include "scripted_picker_dlg.h"
#include "update.h"
#include "visa_double.h"

namespace {

namespace fs = std::filesystem;

// What the window showed when a box came up.
struct BoxMoment {
    RecordedBox m_box;
    std::string m_pane;
    int m_progressPos;
    int m_progressUpper;
};

class UpgradeDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        visa_double::reset();
        m_sink = std::tmpfile();
        update_set_streams(m_sink, m_sink);
        update_set_sleep([](uint32_t) {});
        m_cwd = fs::current_path();
        m_dir = fs::temp_directory_path() / ("fw-upgrade-dlg-" + std::to_string(::getpid()));
        fs::remove_all(m_dir);
        fs::create_directories(m_dir / "rel" / "host");
        for (const char* file :
             {"vxWorks_rom.bin", "RecoveryApp.bin", "bootrom.bin", "ubl-nor-ais.bin"})
            std::ofstream(m_dir / "rel" / "host" / file) << file;

        m_dlg = std::make_unique<ScriptedPickerDlg>();
        ASSERT_TRUE(m_dlg->Create());
        m_dlg->show();
        m_dlg->m_pickerAnswer = (m_dir / "rel").string() + "/";

        m_previousHook = SetMessageBoxHook(
            [this](QWidget*, const std::string& text, const std::string& caption, unsigned type) {
                int lower = 0;
                int upper = 0;
                Progress()->GetRange(lower, upper);
                m_moments.push_back({{text, caption, type, MessageBoxDetails()},
                                     m_dlg->GetDlgItemText(IDC_LOG),
                                     Progress()->GetPos(),
                                     upper});
                return m_answer;
            });
    }
    void TearDown() override {
        SetMessageBoxHook(m_previousHook);
        m_dlg.reset();
        update_set_sleep(nullptr);
        update_set_streams(nullptr, nullptr);
        if (m_sink) std::fclose(m_sink);
        fs::current_path(m_cwd);
        fs::remove_all(m_dir);
    }

    template <class T>
    T* Item(int id) const {
        return dynamic_cast<T*>(m_dlg->GetDlgItem(id));
    }
    CProgressControl* Progress() const { return Item<CProgressControl>(IDC_PROGRESS); }
    QCheckBox* Box(int id) const { return Item<QCheckBox>(id); }

    void Browse(const std::string& config) {
        if (!config.empty()) std::ofstream(m_dir / "rel" / "Firmware_Upgrade.txt") << config;
        Item<QPushButton>(IDC_BROWSE)->click();
    }
    void Upgrade(const QString& instrument) {
        Item<CComboBoxControl>(IDC_INSTRUMENT)->setEditText(instrument);
        Item<QPushButton>(IDC_UPGRADE)->click();
    }

    std::unique_ptr<ScriptedPickerDlg> m_dlg;
    std::vector<BoxMoment> m_moments;
    int m_answer = IDOK;
    MessageBoxHook m_previousHook;
    fs::path m_cwd;
    fs::path m_dir;
    FILE* m_sink = nullptr;
};

TEST_F(UpgradeDialogTest, BrowseOffersWhatTheReleaseListsAndKeepsOtherTicks) {
    // A tick from an earlier release that this one does not offer.
    Box(IDC_UPGRADE_UBL)->setEnabled(true);
    Box(IDC_UPGRADE_UBL)->setChecked(true);
    Browse("# release 2.4\nHPAP 2.4.0\nHBRM\n");

    EXPECT_TRUE(m_moments.empty());
    EXPECT_EQ(m_dlg->GetDlgItemText(IDC_RELEASE_DIR), m_dlg->m_pickerAnswer);
    EXPECT_TRUE(Box(IDC_UPGRADE_HOST)->isEnabled());
    EXPECT_TRUE(Box(IDC_UPGRADE_HOST)->isChecked());
    EXPECT_FALSE(Box(IDC_UPGRADE_RECOVERY)->isEnabled());
    EXPECT_TRUE(Box(IDC_UPGRADE_BOOTROM)->isEnabled());
    EXPECT_FALSE(Box(IDC_UPGRADE_BOOTROM)->isChecked());
    // The tick the release does not offer stays, on a box that can still
    // take it off.
    EXPECT_TRUE(Box(IDC_UPGRADE_UBL)->isEnabled());
    EXPECT_TRUE(Box(IDC_UPGRADE_UBL)->isChecked());
    EXPECT_FALSE(Box(IDC_UPGRADE_UBL)->toolTip().isEmpty());
    EXPECT_TRUE(Item<QPushButton>(IDC_UPGRADE)->isEnabled());
    EXPECT_EQ(fs::current_path(), m_dir / "rel");

    // A run leaves it out and says so; the offered images go as ticked.
    Upgrade(QStringLiteral("192.0.2.7"));
    EXPECT_EQ(m_dlg->m_log,
              "Upgrading firmware for K7100x\r\nHost Application upgrade...successful\r\n"
              "Requires Power Cycle...\r\nHost UBL is not offered by this release: not "
              "written\r\n");
    EXPECT_EQ(m_dlg->m_instrument, "TCPIP0::192.0.2.7::INSTR");
    EXPECT_EQ(Item<CComboBoxControl>(IDC_INSTRUMENT)->currentText(), QStringLiteral("192.0.2.7"));

    // Untick it, and the box goes back to what the release offers.
    Box(IDC_UPGRADE_UBL)->click();
    EXPECT_FALSE(Box(IDC_UPGRADE_UBL)->isChecked());
    EXPECT_FALSE(Box(IDC_UPGRADE_UBL)->isEnabled());
    EXPECT_TRUE(Box(IDC_UPGRADE_UBL)->toolTip().isEmpty());
}

TEST_F(UpgradeDialogTest, BrowseToAFolderWithoutAConfigFileDisablesEverything) {
    Browse("HPAP\n");
    ASSERT_TRUE(Item<QPushButton>(IDC_UPGRADE)->isEnabled());
    fs::remove(m_dir / "rel" / "Firmware_Upgrade.txt");
    Browse("");
    ASSERT_EQ(m_moments.size(), 1u);
    EXPECT_EQ(m_moments[0].m_box.m_text,
              "Config File missing or corrupt\nNote this problem and report it to \n Tavrion "
              "Technologies");
    EXPECT_EQ(m_moments[0].m_box.m_caption, "Error");
    EXPECT_EQ(m_moments[0].m_box.m_type, 0x10u);
    for (int id : {IDC_UPGRADE_HOST, IDC_UPGRADE_RECOVERY, IDC_UPGRADE_BOOTROM, IDC_UPGRADE_UBL,
                   IDC_UPGRADE})
        EXPECT_FALSE(m_dlg->GetDlgItem(id)->isEnabled()) << id;
    EXPECT_FALSE(Box(IDC_UPGRADE_HOST)->isChecked());
    EXPECT_EQ(m_dlg->GetDlgItemText(IDC_RELEASE_DIR), m_dlg->m_pickerAnswer);
    // The second Browse started where the first one ended.
    EXPECT_EQ(m_dlg->m_pickerStarts.back(), m_dlg->m_pickerAnswer);
}

TEST_F(UpgradeDialogTest, AFullRunShowsItsProgressAndEmptiesTheBarAtTheEnd) {
    Browse("HPAP\nHREC\nHBRM\nHUBL\n");
    for (int id : {IDC_UPGRADE_RECOVERY, IDC_UPGRADE_BOOTROM, IDC_UPGRADE_UBL})
        Box(id)->setChecked(true);
    Upgrade(QStringLiteral("TCPIP0::192.0.2.7::inst0::INSTR"));

    ASSERT_EQ(m_moments.size(), 2u);
    EXPECT_EQ(m_moments[0].m_box.m_caption, "Warning");
    EXPECT_EQ(m_moments[0].m_box.m_type, 0x34u);
    EXPECT_EQ(m_moments[0].m_box.m_details,
              "Instrument: K7141HA, serial 1234, firmware 1.0\n"
              "Release: not checked (it has no SHA256SUMS)");
    EXPECT_EQ(m_moments[1].m_box.m_details, "");
    EXPECT_EQ(m_moments[1].m_box.m_caption, "Complete");
    EXPECT_EQ(m_moments[1].m_box.m_type, 0x40u);
    // Full bar and the whole log while the completion box is up.
    EXPECT_EQ(m_moments[1].m_progressUpper, 5);
    EXPECT_EQ(m_moments[1].m_progressPos, 5);
    EXPECT_EQ(m_moments[1].m_pane,
              "Upgrading firmware for K7100x\r\n"
              "Host Application upgrade...successful\r\n"
              "Requires Power Cycle...\r\n"
              "Host Recovery Application upgrade...successful\r\n"
              "Host BootROM upgrade...successful\r\n"
              "Host UBL upgrade...successful\r\n");
    int lower = -1;
    int upper = -1;
    Progress()->GetRange(lower, upper);
    EXPECT_EQ(upper, 0);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(visa_double::writes().back(), "DIAG:HW:HOST:REBoot\n");
}

TEST_F(UpgradeDialogTest, AHostFailureLeavesTheBarPartFilled) {
    // Identification and the start lock the instrument; the Host transfer
    // finds it locked.
    visa_double::fail_next("viLock", VI_SUCCESS);
    visa_double::fail_next("viLock", VI_SUCCESS);
    visa_double::fail_next("viLock", VI_ERROR_TMO);
    Browse("HPAP\n");
    Upgrade(QStringLiteral("192.0.2.7"));
    ASSERT_EQ(m_moments.size(), 2u);
    EXPECT_EQ(m_moments[1].m_box.m_text, "Host Upgrade Failed.\n");
    EXPECT_EQ(m_moments[1].m_box.m_caption, "Failed");
    int lower = -1;
    int upper = -1;
    Progress()->GetRange(lower, upper);
    EXPECT_EQ(upper, 2);
    EXPECT_EQ(Progress()->GetPos(), 2);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(m_dlg->GetDlgItemText(IDC_LOG),
              "Upgrading firmware for K7100x\r\nHost Application upgrade...FAILED!\r\n");
}

TEST_F(UpgradeDialogTest, AnEmptyInstrumentOrNoTickStopsBeforeTheInstrument) {
    Browse("HPAP\n");
    Upgrade(QString());
    ASSERT_EQ(m_moments.size(), 1u);
    EXPECT_EQ(m_moments[0].m_box.m_text, "Please select VISA instrument or \nenter IP address.");

    Box(IDC_UPGRADE_HOST)->setChecked(false);
    Upgrade(QStringLiteral("192.0.2.7"));
    EXPECT_EQ(m_moments.size(), 1u);
    EXPECT_TRUE(visa_double::calls().empty());
    EXPECT_EQ(m_dlg->GetDlgItemText(IDC_LOG), "");
}

TEST(BoxDetails, TheEraseWarningSaysHowTheReleaseWasChecked) {
    workflow::RunOutcome run;
    using Status = workflow::ReleaseVerification::Status;
    const auto release = [&](Status status, bool notChecked) {
        run.m_verification.m_status = status;
        run.m_verification.m_signatureNotChecked = notChecked;
        const std::string text = box_details::EraseWarning(run);
        return text.substr(text.find("\nRelease: ") + 10);
    };
    run.m_verification.m_fingerprint = "0123456789ABCDEF0123456789ABCDEF01234567";
    EXPECT_EQ(release(Status::Signed, false),
              "checksummed and signed by the key 0123 4567 89AB CDEF 0123 4567 89AB CDEF 0123 "
              "4567");
    EXPECT_EQ(release(Status::Checksummed, false), "checksummed, not signed");
    EXPECT_EQ(release(Status::Checksummed, true),
              "checksummed; its signature was not checked (no trusted keys installed)");
    EXPECT_EQ(box_details::EraseWarning(run).substr(0, 40),
              "Instrument: ?, serial ?, firmware ?\nRele");
}

TEST_F(UpgradeDialogTest, ChoosingTheShownDirectoryAgainStillChecksIt) {
    Browse("HPAP\n");
    EXPECT_EQ(m_dlg->m_releaseDir, m_dlg->m_pickerAnswer);
    // Gone before the second Browse picks the same path: the field's text
    // does not change, yet the directory is checked and found wanting.
    fs::current_path(m_cwd);
    fs::remove_all(m_dir / "rel");
    Browse("");
    EXPECT_EQ(m_dlg->m_releaseDir, "Invalid directory");
    EXPECT_EQ(m_dlg->GetDlgItemText(IDC_RELEASE_DIR), m_dlg->m_pickerAnswer);
    ASSERT_EQ(m_moments.size(), 1u);
    EXPECT_EQ(m_moments[0].m_box.m_caption, "Error");
}

}  // namespace
