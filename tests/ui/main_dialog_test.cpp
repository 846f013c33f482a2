// The main window: its controls, data exchange, keys, and the instrument list.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QContextMenuEvent>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <memory>

#include "controls.h"
#include "dialog_geometry.h"
#include "engine_output.h"
#include "firmware_update_dlg.h"
#include "gui_fixture.h"
#include "update.h"
#include "visa_double.h"
#include "workflow/identification.h"

namespace {

class MainDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        visa_double::reset();
        m_dlg = std::make_unique<CFirmwareUpdateDlg>();
        ASSERT_TRUE(m_dlg->Create());
        m_dlg->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(m_dlg.get()));
        m_dlg->activateWindow();
        (void)QTest::qWaitForWindowActive(m_dlg.get());
    }

    template <class T>
    T* Item(int id) const {
        return dynamic_cast<T*>(m_dlg->GetDlgItem(id));
    }

    CComboBoxControl* Combo() const { return Item<CComboBoxControl>(IDC_INSTRUMENT); }

    // Opens the instrument list as the operator would, then closes it again.
    void DropDown() {
        Combo()->showPopup();
        Combo()->hidePopup();
    }

    QStringList ListedInstruments() const {
        QStringList items;
        for (int i = 0; i < Combo()->count(); ++i)
            items << Combo()->itemText(i);
        return items;
    }

    BoxRecorder m_boxes;
    std::unique_ptr<CFirmwareUpdateDlg> m_dlg;
};

TEST_F(MainDialogTest, StartsWithTheTemplatesControlsAndNothingToUpgrade) {
    struct Expected {
        int id;
        const char* text;
        bool enabled;
    };
    const Expected controls[] = {
        {IDC_RELEASE_DIR, "", true},
        {IDC_BROWSE, "Browse", true},
        {IDC_INSTRUMENT, "", true},
        {IDC_UPGRADE_HOST, "Host", false},
        {IDC_UPGRADE_RECOVERY, "Host Recovery", false},
        {IDC_UPGRADE_BOOTROM, "Host BootROM", false},
        {IDC_UPGRADE_UBL, "UBL", false},
        {IDC_UPGRADE, "Upgrade", false},
        {IDCANCEL, "Close", true},
        {IDC_LOG, "", true},
    };
    for (const Expected& c : controls) {
        SCOPED_TRACE(c.id);
        QWidget* w = m_dlg->GetDlgItem(c.id);
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(m_dlg->GetDlgItemText(c.id), c.text);
        EXPECT_EQ(w->isEnabled(), c.enabled);
        EXPECT_TRUE(w->isVisible());
    }
    EXPECT_NE(Item<QLineEdit>(IDC_RELEASE_DIR), nullptr);
    ASSERT_NE(Item<QPlainTextEdit>(IDC_LOG), nullptr);
    EXPECT_TRUE(Item<QPlainTextEdit>(IDC_LOG)->isReadOnly());
    for (int id : {IDC_UPGRADE_HOST, IDC_UPGRADE_RECOVERY, IDC_UPGRADE_BOOTROM, IDC_UPGRADE_UBL}) {
        ASSERT_NE(Item<QCheckBox>(id), nullptr);
        EXPECT_FALSE(Item<QCheckBox>(id)->isChecked());
    }
    EXPECT_EQ(Combo()->count(), 0);

    auto* progress = Item<CProgressControl>(IDC_PROGRESS);
    ASSERT_NE(progress, nullptr);
    int lower = -1;
    int upper = -1;
    progress->GetRange(lower, upper);
    EXPECT_EQ(lower, 0);
    EXPECT_EQ(upper, 100);
    EXPECT_EQ(progress->GetPos(), 0);

    QStringList statics;
    for (QLabel* label : m_dlg->findChildren<QLabel*>(Qt::FindDirectChildrenOnly))
        statics << label->text();
    for (QGroupBox* group : m_dlg->findChildren<QGroupBox*>(Qt::FindDirectChildrenOnly))
        statics << group->title();
    EXPECT_TRUE(statics.contains(QStringLiteral("Release Directory")));
    EXPECT_TRUE(statics.contains(QStringLiteral("Visa Instrument")));
    EXPECT_TRUE(statics.contains(QStringLiteral("Select Images to Upgrade")));
    EXPECT_TRUE(statics.contains(QStringLiteral("Advanced Options")));

    EXPECT_EQ(m_dlg->windowTitle(), QStringLiteral("K7140 H-Series Firmware Upgrade Utility"));
    EXPECT_TRUE(m_dlg->m_releaseDir.empty());
    EXPECT_TRUE(m_dlg->m_instrument.empty());
    EXPECT_FALSE(m_dlg->m_configLoaded);
    EXPECT_FALSE(m_dlg->m_appIcon.isNull());
    // Nothing talks to instruments until the operator asks.
    EXPECT_TRUE(visa_double::calls().empty());
}

TEST_F(MainDialogTest, ControlsArePlacedThroughTheDialogFont) {
    const DialogBaseUnits units{m_dlg->BaseUnitX(), m_dlg->BaseUnitY()};
    ASSERT_GT(units.m_cx, 0);
    const PixelRect client = MapDialogRect(0, 0, 307, 283, units);
    EXPECT_EQ(m_dlg->size(), QSize(client.m_width, client.m_height));
    const PixelRect upgrade = MapDialogRect(4, 122, 244, 14, units);
    EXPECT_EQ(m_dlg->GetDlgItem(IDC_UPGRADE)->geometry(),
              QRect(upgrade.m_x, upgrade.m_y, upgrade.m_width, upgrade.m_height));
    const PixelRect close = MapDialogRect(253, 260, 50, 14, units);
    EXPECT_EQ(m_dlg->GetDlgItem(IDCANCEL)->geometry(),
              QRect(close.m_x, close.m_y, close.m_width, close.m_height));
}

TEST_F(MainDialogTest, TabVisitsTheTabStopsInTemplateOrder) {
    // Disabled controls are skipped by Tab, so enable everything first.
    m_dlg->m_upgradeHost = m_dlg->m_upgradeRecovery = m_dlg->m_upgradeBootRom =
        m_dlg->m_upgradeUbl = 1;
    m_dlg->m_configLoaded = true;
    m_dlg->UpdateControlStates();

    EXPECT_EQ(CDialog::GetDlgCtrlID(QApplication::focusWidget()), IDC_RELEASE_DIR);
    std::vector<int> visited;
    for (int i = 0; i < 10; ++i) {
        visited.push_back(CDialog::GetDlgCtrlID(QApplication::focusWidget()));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    const std::vector<int> expected = {IDC_RELEASE_DIR,  IDC_BROWSE,           IDC_INSTRUMENT,
                                       IDC_UPGRADE_HOST, IDC_UPGRADE_RECOVERY, IDC_UPGRADE_BOOTROM,
                                       IDC_UPGRADE_UBL,  IDC_UPGRADE,          IDCANCEL,
                                       IDC_RELEASE_DIR};
    EXPECT_EQ(visited, expected);
}

TEST_F(MainDialogTest, ControlStatesFollowTheMembers) {
    m_dlg->m_upgradeHost = 1;
    m_dlg->m_upgradeUbl = 1;
    m_dlg->UpdateControlStates();
    EXPECT_TRUE(Item<QCheckBox>(IDC_UPGRADE_HOST)->isEnabled());
    EXPECT_TRUE(Item<QCheckBox>(IDC_UPGRADE_HOST)->isChecked());
    EXPECT_FALSE(Item<QCheckBox>(IDC_UPGRADE_RECOVERY)->isEnabled());
    EXPECT_TRUE(Item<QCheckBox>(IDC_UPGRADE_UBL)->isEnabled());
    EXPECT_FALSE(Item<QCheckBox>(IDC_UPGRADE_UBL)->isChecked())
        << "only Host is ticked by its member";
    EXPECT_FALSE(m_dlg->GetDlgItem(IDC_UPGRADE)->isEnabled());
    m_dlg->m_configLoaded = true;
    m_dlg->UpdateControlStates();
    EXPECT_TRUE(m_dlg->GetDlgItem(IDC_UPGRADE)->isEnabled());
}

TEST_F(MainDialogTest, ReleaseDirectoryTakesNoMoreThan256TypedCharacters) {
    auto* edit = Item<QLineEdit>(IDC_RELEASE_DIR);
    edit->setFocus();
    QTest::keyClicks(edit, QString(250, QLatin1Char('d')));
    QTest::keyClicks(edit, QStringLiteral("/12345678"));
    EXPECT_EQ(edit->text().size(), 256);
    ASSERT_TRUE(m_dlg->UpdateData(true));
    EXPECT_EQ(m_dlg->m_releaseDir.size(), 256u);
    EXPECT_TRUE(m_boxes.m_boxes.empty());
}

TEST_F(MainDialogTest, LongerDirectorySetByTheProgramIsKeptAndFailsTheReadBack) {
    const std::string longPath = "/" + std::string(299, 'p');
    m_dlg->m_releaseDir = longPath;
    m_dlg->m_log = "earlier log";
    ASSERT_TRUE(m_dlg->UpdateData(false));
    EXPECT_EQ(m_dlg->GetDlgItemText(IDC_RELEASE_DIR), longPath)
        << "a text from the program is not cut";

    Item<QPlainTextEdit>(IDC_LOG)->setPlainText(QStringLiteral("pane text"));
    EXPECT_FALSE(m_dlg->UpdateData(true));
    EXPECT_EQ(m_dlg->m_releaseDir, longPath);
    EXPECT_EQ(m_dlg->m_log, "earlier log") << "the exchange stopped at the release directory";
    ASSERT_EQ(m_boxes.m_boxes.size(), 1u);
    EXPECT_NE(m_boxes.m_boxes[0].m_text.find("256"), std::string::npos);
    EXPECT_EQ(CDialog::GetDlgCtrlID(QApplication::focusWidget()), IDC_RELEASE_DIR);

    // Shortened by the operator, the limit holds for typing again.
    auto* edit = Item<QLineEdit>(IDC_RELEASE_DIR);
    edit->setText(QStringLiteral("/tmp/"));
    QTest::keyClicks(edit, QString(300, QLatin1Char('x')));
    EXPECT_EQ(edit->text().size(), 256);
}

TEST_F(MainDialogTest, InstrumentTextOf65CharactersFailsAtTheComboBox) {
    m_dlg->m_upgradeHost = 1;
    m_dlg->m_upgradeRecovery = 1;
    m_dlg->m_releaseDir = "old";
    const QString text(65, QLatin1Char('i'));
    Combo()->setEditText(text);
    Item<QLineEdit>(IDC_RELEASE_DIR)->setText(QStringLiteral("/tmp/release/"));
    // The boxes are unticked on screen; the members say 1.
    EXPECT_FALSE(m_dlg->UpdateData(true));
    EXPECT_EQ(m_dlg->m_releaseDir, "/tmp/release/");
    EXPECT_EQ(m_dlg->m_instrument, text.toStdString());
    EXPECT_EQ(m_dlg->m_upgradeHost, 1);
    EXPECT_EQ(m_dlg->m_upgradeRecovery, 1);
    ASSERT_EQ(m_boxes.m_boxes.size(), 1u);
    EXPECT_NE(m_boxes.m_boxes[0].m_text.find("64"), std::string::npos);
    EXPECT_EQ(m_boxes.m_boxes[0].m_type, MB_OK | MB_ICONEXCLAMATION);
    EXPECT_EQ(CDialog::GetDlgCtrlID(QApplication::focusWidget()), IDC_INSTRUMENT);

    Combo()->setEditText(QString(64, QLatin1Char('i')));
    EXPECT_TRUE(m_dlg->UpdateData(true));
    EXPECT_EQ(m_dlg->m_upgradeHost, 0);
}

TEST_F(MainDialogTest, LogReadsBackWithItsLineEnds) {
    m_dlg->m_log = "Finding VISA instruments...done\r\nsecond line\r\n";
    m_dlg->UpdateData(false);
    m_dlg->m_log.clear();
    ASSERT_TRUE(m_dlg->UpdateData(true));
    EXPECT_EQ(m_dlg->m_log, "Finding VISA instruments...done\r\nsecond line\r\n");
}

TEST_F(MainDialogTest, EnterInAnEditReadsBackAndCloses) {
    auto* edit = Item<QLineEdit>(IDC_RELEASE_DIR);
    edit->setFocus();
    QTest::keyClicks(edit, QStringLiteral("/tmp/rel/"));
    QTest::keyClick(edit, Qt::Key_Return);
    EXPECT_FALSE(m_dlg->isVisible());
    EXPECT_EQ(m_dlg->result(), IDOK);
    EXPECT_EQ(m_dlg->m_releaseDir, "/tmp/rel/");
}

TEST_F(MainDialogTest, EnterWithAnOverlongInstrumentKeepsTheWindowOpen) {
    Combo()->setEditText(QString(65, QLatin1Char('i')));
    Combo()->setFocus();
    QTest::keyClick(Combo()->lineEdit(), Qt::Key_Return);
    EXPECT_TRUE(m_dlg->isVisible());
    EXPECT_EQ(m_boxes.m_boxes.size(), 1u);
    EXPECT_EQ(Combo()->count(), 0) << "Enter must not copy the text into the list";
}

TEST_F(MainDialogTest, EnterOnAFocusedPushButtonClicksIt) {
    auto* browse = Item<QPushButton>(IDC_BROWSE);
    browse->setFocus();
    const auto picker = AnswerNextModal();
    QTest::keyClick(browse, Qt::Key_Return);
    EXPECT_TRUE(*picker) << "Enter on Browse opens the picker";
    EXPECT_TRUE(m_dlg->isVisible()) << "Enter must not mean OK";

    auto* close = Item<QPushButton>(IDCANCEL);
    close->setFocus();
    QTest::keyClick(close, Qt::Key_Return);
    EXPECT_FALSE(m_dlg->isVisible());
    EXPECT_EQ(m_dlg->result(), IDCANCEL);
}

TEST_F(MainDialogTest, EscapeAndTheCloseBoxCancel) {
    QWidget* focusTargets[] = {Item<QLineEdit>(IDC_RELEASE_DIR), Combo()->lineEdit(),
                               Item<QPlainTextEdit>(IDC_LOG), Item<QCheckBox>(IDC_UPGRADE_HOST)};
    for (QWidget* target : focusTargets) {
        SCOPED_TRACE(target->metaObject()->className());
        m_dlg->show();
        m_dlg->setResult(0);
        QTest::keyClick(target, Qt::Key_Escape);
        EXPECT_FALSE(m_dlg->isVisible());
        EXPECT_EQ(m_dlg->result(), IDCANCEL);
    }

    m_dlg->show();
    m_dlg->setResult(0);
    m_dlg->close();
    EXPECT_FALSE(m_dlg->isVisible());
    EXPECT_EQ(m_dlg->result(), IDCANCEL);

    m_dlg->show();
    m_dlg->setResult(0);
    m_dlg->OnSysCommand(SC_CLOSE, 0);
    EXPECT_EQ(m_dlg->result(), IDCANCEL);
}

TEST_F(MainDialogTest, OpeningTheListRunsDiscoveryAndSortsTheResult) {
    visa_double::set_resources({"USB0::0x1A2B::0x0C3D::SN1::0::INSTR", "ASRL1::INSTR",
                                "TCPIP0::192.0.2.7::inst0::INSTR", "GPIB0::5::INSTR"});
    Combo()->setEditText(QStringLiteral("192.0.2.99"));
    DropDown();
    EXPECT_EQ(ListedInstruments(),
              (QStringList{QStringLiteral("GPIB0::5::INSTR"),
                           QStringLiteral("TCPIP0::192.0.2.7::inst0::INSTR"),
                           QStringLiteral("USB0::0x1A2B::0x0C3D::SN1::0::INSTR")}));
    EXPECT_EQ(Combo()->currentText(), QString()) << "opening the list clears a typed address";
    EXPECT_EQ(m_dlg->m_log, "Finding VISA instruments...done\r\n");
    EXPECT_EQ(m_dlg->GetDlgItemText(IDC_LOG), "Finding VISA instruments...done\r\n");

    auto* progress = Item<CProgressControl>(IDC_PROGRESS);
    int lower = -1;
    int upper = -1;
    progress->GetRange(lower, upper);
    EXPECT_EQ(lower, 0);
    EXPECT_EQ(upper, 0);
    EXPECT_EQ(progress->value(), progress->minimum());
    EXPECT_GT(progress->maximum(), progress->minimum());
    EXPECT_EQ(QApplication::overrideCursor(), nullptr) << "the wait cursor ended";

    // Each opening rebuilds the list from scratch.
    visa_double::set_resources({"USB0::0x1A2B::0x0C3D::SN2::0::INSTR"});
    DropDown();
    EXPECT_EQ(ListedInstruments(),
              QStringList{QStringLiteral("USB0::0x1A2B::0x0C3D::SN2::0::INSTR")});
}

TEST_F(MainDialogTest, ListOfAFailedResourceManagerHoldsTheFailure) {
    visa_double::fail_next("viOpenDefaultRM", VI_ERROR_SYSTEM_ERROR);
    DropDown();
    EXPECT_EQ(ListedInstruments(), QStringList{QStringLiteral("viOpenDefaultRM failed")});
    EXPECT_EQ(m_dlg->m_log, "Finding VISA instruments...done\r\n");
}

TEST_F(MainDialogTest, DiscoveryRepaintsWhileItHoldsTheThread) {
    // A paint counter on the dialog: discovery must repaint before the
    // search and after it without the event loop running.
    struct PaintCounter : QObject {
        int m_paints = 0;
        bool eventFilter(QObject*, QEvent* e) override {
            m_paints += e->type() == QEvent::Paint;
            return false;
        }
    } counter;
    QApplication::processEvents();
    m_dlg->installEventFilter(&counter);
    auto list = std::make_unique<char[]>(100000);
    m_dlg->DiscoverInstruments(list.get());
    m_dlg->removeEventFilter(&counter);
    EXPECT_GE(counter.m_paints, 2);
}

TEST_F(MainDialogTest, IdentificationSetsFamilyAndHostImageOnlyOnAcceptance) {
    EngineOutput engine;
    m_dlg->m_instrument = "TCPIP0::192.0.2.7::inst0::INSTR";
    visa_double::instrument().identity = "Tavrion Technologies,K7141B,1,1\n";
    EXPECT_FALSE(workflow::IdentifyInstrument(m_dlg->m_instrument, m_dlg->m_familyName,
                                              m_dlg->m_hostImageFile));
    EXPECT_TRUE(m_dlg->m_familyName.empty());
    visa_double::instrument().identity = "Tavrion Technologies, K7141B,1,1\n";
    EXPECT_TRUE(workflow::IdentifyInstrument(m_dlg->m_instrument, m_dlg->m_familyName,
                                             m_dlg->m_hostImageFile));
    EXPECT_EQ(m_dlg->m_familyName, "K7100x");
    EXPECT_EQ(m_dlg->m_hostImageFile, "vxWorks_rom.bin");
}

TEST_F(MainDialogTest, SystemMenuEndsWithTheAboutItem) {
    QMenu* menu = m_dlg->GetSystemMenu(false)->GetMenu();
    const QList<QAction*> actions = menu->actions();
    ASSERT_GE(actions.size(), 2);
    EXPECT_TRUE(actions[actions.size() - 2]->isSeparator());
    EXPECT_EQ(actions.back()->text(), QStringLiteral("&About FirmwareUpdate..."));

    // Chosen from the menu, it opens the About box.
    QString title;
    auto seen = AnswerNextModal([&](QDialog* modal) {
        if (modal) title = modal->windowTitle();
    });
    actions.back()->trigger();
    EXPECT_TRUE(*seen);
    EXPECT_EQ(title, QStringLiteral("About Firmware Upgrade"));
}

TEST_F(MainDialogTest, RightClickOnTheBackgroundOpensTheSystemMenu) {
    QMenu* menu = m_dlg->GetSystemMenu(false)->GetMenu();
    const QPoint background(m_dlg->width() - 5, 5);
    ASSERT_EQ(m_dlg->childAt(background), nullptr);
    QContextMenuEvent event(QContextMenuEvent::Mouse, background, m_dlg->mapToGlobal(background));
    QApplication::sendEvent(m_dlg.get(), &event);
    EXPECT_TRUE(menu->isVisible());
    menu->hide();

    // Not over a control that has a menu of its own.
    auto* edit = m_dlg->GetDlgItem(IDC_RELEASE_DIR);
    const QPoint onEdit = edit->geometry().center();
    QContextMenuEvent onControl(QContextMenuEvent::Mouse, onEdit, m_dlg->mapToGlobal(onEdit));
    QApplication::sendEvent(m_dlg.get(), &onControl);
    EXPECT_FALSE(menu->isVisible());
}

TEST_F(MainDialogTest, AltSpaceOpensTheSystemMenu) {
    QMenu* menu = m_dlg->GetSystemMenu(false)->GetMenu();
    QTest::keyClick(m_dlg.get(), Qt::Key_Space, Qt::AltModifier);
    EXPECT_TRUE(menu->isVisible());
    menu->hide();
}

}  // namespace
