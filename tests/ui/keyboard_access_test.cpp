// The main window for screen readers and keyboard users: accessible names,
// group membership, Alt+letter keys, the log pane, About and help.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QCheckBox>
#include <QClipboard>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTest>
#include <QTextBrowser>
#include <memory>

#include "about_dlg.h"
#include "controls.h"
#include "dialog_geometry.h"
#include "firmware_update_app.h"
#include "firmware_update_dlg.h"
#include "gui_fixture.h"
#include "visa_double.h"

namespace {

QString AccessibleName(QWidget* w) {
    QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(w);
    return iface ? iface->text(QAccessible::Name) : QStringLiteral("(none)");
}

class KeyboardAccessTest : public ::testing::Test {
protected:
    void SetUp() override {
        visa_double::reset();
        m_dlg = std::make_unique<CFirmwareUpdateDlg>();
        ASSERT_TRUE(m_dlg->Create());
        m_dlg->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(m_dlg.get()));
        m_dlg->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_dlg.get()));
    }

    void Enable() {
        m_dlg->m_upgradeHost = m_dlg->m_upgradeRecovery = m_dlg->m_upgradeBootRom =
            m_dlg->m_upgradeUbl = 1;
        m_dlg->m_configLoaded = true;
        m_dlg->UpdateControlStates();
    }

    void Press(Qt::Key key, Qt::KeyboardModifiers mods = Qt::AltModifier) {
        QWidget* focus = QApplication::focusWidget();
        QTest::keyClick(focus ? focus : m_dlg.get(), key, mods);
    }

    QWidget* Item(int id) const { return m_dlg->GetDlgItem(id); }

    BoxRecorder m_boxes;
    std::unique_ptr<CFirmwareUpdateDlg> m_dlg;
};

TEST_F(KeyboardAccessTest, EveryControlHasANameAndTheImageBoxesBelongToTheirGroups) {
    const std::pair<int, const char*> names[] = {
        {IDC_RELEASE_DIR, "Release Directory"},
        {IDC_BROWSE, "Browse"},
        {IDC_INSTRUMENT, "Visa Instrument"},
        {IDC_UPGRADE_HOST, "Host"},
        {IDC_UPGRADE_RECOVERY, "Host Recovery"},
        {IDC_UPGRADE_BOOTROM, "Host BootROM"},
        {IDC_UPGRADE_UBL, "UBL"},
        {IDC_UPGRADE, "Upgrade"},
        {IDCANCEL, "Close"},
        {IDC_LOG, "Log"},
        {IDC_PROGRESS, "Progress"},
    };
    for (const auto& [id, name] : names)
        EXPECT_EQ(AccessibleName(Item(id)), QString::fromLatin1(name)) << id;
    auto* combo = dynamic_cast<CComboBoxControl*>(Item(IDC_INSTRUMENT));
    EXPECT_EQ(AccessibleName(combo->lineEdit()), QStringLiteral("Visa Instrument"));

    // The labels are tied to their fields, so a reader can go either way.
    QStringList tied;
    for (QLabel* label : m_dlg->findChildren<QLabel*>()) {
        if (label->buddy() == Item(IDC_RELEASE_DIR) || label->buddy() == combo)
            tied << label->text();
    }
    EXPECT_EQ(tied.size(), 2);
    EXPECT_TRUE(tied.contains(QStringLiteral("Release Directory")));
    EXPECT_TRUE(tied.contains(QStringLiteral("Visa Instrument")));

    // Real parents, in the widget tree and in the accessibility tree.
    const auto groupOf = [&](int id) {
        auto* group = qobject_cast<QGroupBox*>(Item(id)->parentWidget());
        QAccessibleInterface* parent = QAccessible::queryAccessibleInterface(Item(id))->parent();
        EXPECT_EQ(parent ? parent->object() : nullptr, group) << id;
        return group ? group->title() : QString();
    };
    EXPECT_EQ(groupOf(IDC_UPGRADE_HOST), QStringLiteral("Select Images to Upgrade"));
    for (int id : {IDC_UPGRADE_RECOVERY, IDC_UPGRADE_BOOTROM, IDC_UPGRADE_UBL})
        EXPECT_EQ(groupOf(id), QStringLiteral("Advanced Options"));
    // Nesting keeps the place on the window and lets clicks through.
    Enable();
    // On the box's text, which is all of it that takes a click.
    QTest::mouseClick(Item(IDC_UPGRADE_UBL), Qt::LeftButton, {}, QPoint(4, 5));
    EXPECT_TRUE(qobject_cast<QCheckBox*>(Item(IDC_UPGRADE_UBL))->isChecked());
    const PixelRect ubl = MapDialogRect(129, 82, 77, 10, {m_dlg->BaseUnitX(), m_dlg->BaseUnitY()});
    EXPECT_EQ(QRect(Item(IDC_UPGRADE_UBL)->mapTo(m_dlg.get(), QPoint(0, 0)),
                    Item(IDC_UPGRADE_UBL)->size()),
              QRect(ubl.m_x, ubl.m_y, ubl.m_width, ubl.m_height));
}

TEST_F(KeyboardAccessTest, AltLettersReachEveryControlWithoutChangingItsText) {
    Enable();
    struct Case {
        Qt::Key key;
        int id;
        bool focuses;
        bool toggles;
    } cases[] = {
        {Qt::Key_R, IDC_RELEASE_DIR, true, false},
        {Qt::Key_V, IDC_INSTRUMENT, true, false},
        {Qt::Key_L, IDC_LOG, true, false},
        {Qt::Key_H, IDC_UPGRADE_HOST, true, true},
        {Qt::Key_E, IDC_UPGRADE_RECOVERY, true, true},
        {Qt::Key_O, IDC_UPGRADE_BOOTROM, true, true},
        {Qt::Key_U, IDC_UPGRADE_UBL, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        Item(IDC_BROWSE)->setFocus();
        auto* box = qobject_cast<QCheckBox*>(Item(c.id));
        const bool before = box && box->isChecked();
        Press(c.key);
        EXPECT_EQ(CDialog::GetDlgCtrlID(QApplication::focusWidget()), c.id);
        if (c.toggles) {
            EXPECT_NE(box->isChecked(), before);
        }
        const QString key = QKeySequence(Qt::ALT | c.key).toString(QKeySequence::NativeText);
        EXPECT_EQ(Item(c.id)->accessibleDescription(), key);
    }
    EXPECT_EQ(m_dlg->GetDlgItemText(IDC_UPGRADE_HOST), "Host") << "no '&' was added";

    // A disabled box ignores its key.
    m_dlg->m_upgradeUbl = 0;
    m_dlg->UpdateControlStates();
    const bool ticked = qobject_cast<QCheckBox*>(Item(IDC_UPGRADE_UBL))->isChecked();
    Press(Qt::Key_U);
    EXPECT_EQ(qobject_cast<QCheckBox*>(Item(IDC_UPGRADE_UBL))->isChecked(), ticked);

    // Push buttons are pressed: Upgrade runs (an empty instrument stops it
    // with a box), Browse opens the picker, Close ends the window.
    Press(Qt::Key_P);
    ASSERT_EQ(m_boxes.m_boxes.size(), 1u) << "Alt+P ran the upgrade";
    EXPECT_EQ(m_boxes.m_boxes[0].m_text, "Please select VISA instrument or \nenter IP address.");
    QString picker;
    auto seen = AnswerNextModal([&](QDialog* modal) {
        if (modal) picker = modal->windowTitle();
    });
    Press(Qt::Key_B);
    EXPECT_EQ(picker, QStringLiteral("Select Release Directory"));
    m_dlg->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_dlg.get()));
    Press(Qt::Key_C);
    EXPECT_FALSE(m_dlg->isVisible());
    EXPECT_EQ(m_dlg->result(), IDCANCEL);
}

TEST_F(KeyboardAccessTest, TheInstrumentListOpensFromTheKeyboardAndRunsDiscovery) {
    Press(Qt::Key_V);
    auto* combo = dynamic_cast<CComboBoxControl*>(Item(IDC_INSTRUMENT));
    ASSERT_TRUE(combo->hasFocus());
    Press(Qt::Key_Down);
    EXPECT_FALSE(visa_double::calls().empty()) << "opening the list discovers, as a click does";
    combo->hidePopup();
    visa_double::reset();
    Press(Qt::Key_F4, Qt::NoModifier);
    EXPECT_FALSE(visa_double::calls().empty());
    combo->hidePopup();
}

TEST_F(KeyboardAccessTest, TheLogPaneIsSelectedAndCopiedFromTheKeyboardButStaysReadOnly) {
    m_dlg->m_log = "Searching...\r\nFound 2\r\n";
    m_dlg->UpdateData(false);
    Press(Qt::Key_L);
    auto* log = qobject_cast<QPlainTextEdit*>(Item(IDC_LOG));
    ASSERT_TRUE(log->hasFocus());
    QApplication::clipboard()->clear();
    Press(Qt::Key_A, Qt::ControlModifier);
    Press(Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("Searching...\nFound 2\n"));
    Press(Qt::Key_Home, Qt::ControlModifier);
    Press(Qt::Key_Right, Qt::ShiftModifier);
    Press(Qt::Key_Right, Qt::ShiftModifier);
    EXPECT_EQ(log->textCursor().selectedText(), QStringLiteral("Se"));
    Press(Qt::Key_X, Qt::NoModifier);
    EXPECT_EQ(m_dlg->GetDlgItemText(IDC_LOG), m_dlg->m_log) << "typing changes nothing";
    EXPECT_EQ(log->focusPolicy() & Qt::TabFocus, 0) << "the pane keeps out of the Tab chain";
}

TEST_F(KeyboardAccessTest, AboutAndHelpOpenFromTheKeyboard) {
    CFirmwareUpdateApp app;
    QString title;
    QString aboutTexts;
    QString aboutRole;
    auto seen = AnswerNextModal([&](QDialog* modal) {
        if (!modal) return;
        title = modal->windowTitle();
        QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(modal);
        aboutRole = iface->role() == QAccessible::Dialog ? "dialog" : "other";
        for (int i = 0; i < iface->childCount(); ++i)
            aboutTexts += iface->child(i)->text(QAccessible::Name) + "|";
        // F1 from the About box opens help over it.
        ASSERT_TRUE(QTest::qWaitForWindowActive(modal));
        QTest::keyClick(modal, Qt::Key_F1);
        ASSERT_NE(app.GetHelpWindow(), nullptr);
        EXPECT_EQ(app.GetHelpWindow()->parentWidget(), modal);
    });
    Press(Qt::Key_A);
    EXPECT_TRUE(*seen);
    EXPECT_EQ(title, QStringLiteral("About Firmware Upgrade"));
    EXPECT_EQ(aboutRole, "dialog");
    EXPECT_TRUE(aboutTexts.contains(QStringLiteral("Version 1.1|")));
    EXPECT_TRUE(aboutTexts.contains(QStringLiteral("For K7140 H-Series sensors|")));
    EXPECT_EQ(app.GetHelpWindow(), nullptr) << "help over the About box went with it";

    m_dlg->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_dlg.get()));
    QTest::keyClick(m_dlg.get(), Qt::Key_F1);
    CHelpWindow* help = app.GetHelpWindow();
    ASSERT_NE(help, nullptr);
    EXPECT_TRUE(help->isVisible());
    EXPECT_EQ(help->windowTitle(), QStringLiteral("Firmware Upgrade Help"));
    EXPECT_EQ(help->GetBrowser()->accessibleName(), QStringLiteral("Help text"));
    EXPECT_TRUE(help->GetBrowser()->isReadOnly());
    EXPECT_TRUE(help->GetFile().endsWith(QStringLiteral("/help/index.html")));
    const QString text = help->GetBrowser()->toPlainText();
    for (const char* part : {"How to upgrade", "Alt+B", "settings.conf", "visa.conf", "audit.jsonl",
                             "fwvisa-info", "70-fwvisa-usbtmc.rules"})
        EXPECT_TRUE(text.contains(QString::fromLatin1(part))) << part;
    // A second F1 raises the same window; Escape closes it.
    QTest::keyClick(m_dlg.get(), Qt::Key_F1);
    EXPECT_EQ(app.GetHelpWindow(), help);
    ASSERT_TRUE(QTest::qWaitForWindowActive(help));
    QTest::keyClick(help->GetBrowser(), Qt::Key_Escape);
    EXPECT_FALSE(help->isVisible());
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(app.GetHelpWindow(), nullptr);
}

TEST(HelpWindow, AMissingFileIsSaidWithWhereItWasLookedFor) {
    CHelpWindow help(nullptr, QStringLiteral("Help"));
    EXPECT_FALSE(help.Load({QStringLiteral("/nonexistent/a/index.html"),
                            QStringLiteral("/nonexistent/b/index.html")}));
    const QString text = help.GetBrowser()->toPlainText();
    EXPECT_TRUE(text.contains(QStringLiteral("could not be found")));
    EXPECT_TRUE(text.contains(QStringLiteral("/nonexistent/a/index.html")));
    EXPECT_TRUE(text.contains(QStringLiteral("/nonexistent/b/index.html")));
    EXPECT_TRUE(help.GetFile().isEmpty());
}

TEST(MessageBoxes, ReadAsDialogsWithTheirText) {
    QString role;
    QString text;
    auto seen = AnswerNextModal([&](QDialog* modal) {
        QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(modal);
        if (!iface) return;
        const QAccessible::Role r = iface->role();
        role = (r == QAccessible::Dialog || r == QAccessible::AlertMessage) ? "dialog" : "other";
        for (QLabel* label : modal->findChildren<QLabel*>())
            text += AccessibleName(label);
    });
    ShowMessageBox(nullptr, "Host Upgrade Failed.", "Error", MB_OK | MB_ICONERROR);
    EXPECT_TRUE(*seen);
    EXPECT_EQ(role, "dialog");
    EXPECT_TRUE(text.contains(QStringLiteral("Host Upgrade Failed.")));
}

}  // namespace
