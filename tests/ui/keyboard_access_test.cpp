// The main window for screen readers and keyboard users: accessible names,
// group membership, Alt+letter keys, the log pane, About and help.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QCheckBox>
#include <QClipboard>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTest>
#include <QTextBrowser>
#include <memory>

#include "controls.h"
#include "firmware_update_app.h"
#include "firmware_update_dlg.h"
#include "gui_fixture.h"
#include "visa_double.h"

namespace {

QString AccessibleName(QWidget* w) {
    return QAccessible::queryAccessibleInterface(w)->text(QAccessible::Name);
}

class KeyboardAccessTest : public ::testing::Test {
protected:
    void SetUp() override {
        visa_double::reset();
        m_dlg = std::make_unique<CFirmwareUpdateDlg>();
        ASSERT_TRUE(m_dlg->Create());
        m_dlg->m_upgradeHost = m_dlg->m_upgradeRecovery = m_dlg->m_upgradeBootRom =
            m_dlg->m_upgradeUbl = 1;
        m_dlg->m_configLoaded = true;
        m_dlg->UpdateControlStates();
        m_dlg->show();
        Activate();
    }

    void Activate() {
        m_dlg->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(m_dlg.get()));
    }

    void Press(Qt::Key key, Qt::KeyboardModifiers mods = Qt::AltModifier) {
        QWidget* focus = QApplication::focusWidget();
        QTest::keyClick(focus ? focus : m_dlg.get(), key, mods);
    }

    QWidget* Item(int id) const { return m_dlg->GetDlgItem(id); }
    QCheckBox* Box(int id) const { return qobject_cast<QCheckBox*>(Item(id)); }

    BoxRecorder m_boxes;
    std::unique_ptr<CFirmwareUpdateDlg> m_dlg;
};

TEST_F(KeyboardAccessTest, EveryControlHasANameAndTheImageBoxesBelongToTheirGroups) {
    const std::pair<int, const char*> names[] = {
        {IDC_RELEASE_DIR, "Release Directory"},
        {IDC_BROWSE, "Browse"},
        {IDC_INSTRUMENT, "Visa Instrument"},
        {IDC_UPGRADE_UBL, "UBL"},
        {IDC_LOG, "Log"},
        {IDC_PROGRESS, "Progress"},
    };
    for (const auto& [id, name] : names)
        EXPECT_EQ(AccessibleName(Item(id)), QString::fromLatin1(name)) << id;
    auto* combo = dynamic_cast<CComboBoxControl*>(Item(IDC_INSTRUMENT));
    EXPECT_EQ(AccessibleName(combo->lineEdit()), QStringLiteral("Visa Instrument"));
    int tied = 0;
    for (QLabel* label : m_dlg->findChildren<QLabel*>())
        tied += label->buddy() && label->text() == AccessibleName(label->buddy());
    EXPECT_EQ(tied, 2) << "both labels are their fields' buddies";

    // Real parents, in the widget tree and in the accessibility tree.
    const auto groupOf = [&](int id) {
        QAccessibleInterface* parent = QAccessible::queryAccessibleInterface(Item(id))->parent();
        auto* group = qobject_cast<QGroupBox*>(parent->object());
        EXPECT_EQ(Item(id)->parentWidget(), group) << id;
        return group ? group->title() : QString();
    };
    EXPECT_EQ(groupOf(IDC_UPGRADE_HOST), QStringLiteral("Select Images to Upgrade"));
    for (int id : {IDC_UPGRADE_RECOVERY, IDC_UPGRADE_BOOTROM, IDC_UPGRADE_UBL})
        EXPECT_EQ(groupOf(id), QStringLiteral("Advanced Options"));
    // Clicks still reach a nested box (on its text, the part that takes them).
    QTest::mouseClick(Item(IDC_UPGRADE_UBL), Qt::LeftButton, {}, QPoint(4, 5));
    EXPECT_TRUE(Box(IDC_UPGRADE_UBL)->isChecked());
}

TEST_F(KeyboardAccessTest, AltLettersReachEveryControlWithoutChangingItsText) {
    const std::pair<Qt::Key, int> keys[] = {
        {Qt::Key_R, IDC_RELEASE_DIR},
        {Qt::Key_V, IDC_INSTRUMENT},
        {Qt::Key_L, IDC_LOG},
        {Qt::Key_H, IDC_UPGRADE_HOST},
        {Qt::Key_E, IDC_UPGRADE_RECOVERY},
        {Qt::Key_O, IDC_UPGRADE_BOOTROM},
        {Qt::Key_U, IDC_UPGRADE_UBL},
    };
    for (const auto& [key, id] : keys) {
        SCOPED_TRACE(id);
        Item(IDC_BROWSE)->setFocus();
        const bool ticked = Box(id) && Box(id)->isChecked();
        Press(key);
        EXPECT_EQ(CDialog::GetDlgCtrlID(QApplication::focusWidget()), id);
        if (Box(id)) {
            EXPECT_NE(Box(id)->isChecked(), ticked) << "the key toggles the box";
        }
        EXPECT_EQ(Item(id)->accessibleDescription(),
                  QKeySequence(Qt::ALT | key).toString(QKeySequence::NativeText));
    }
    EXPECT_EQ(m_dlg->GetDlgItemText(IDC_UPGRADE_HOST), "Host") << "no '&' was added";

    // (A ticked box stays enabled so that its tick can be taken off.)
    Box(IDC_UPGRADE_UBL)->setChecked(false);
    m_dlg->m_upgradeUbl = 0;
    m_dlg->UpdateControlStates();
    const bool ticked = Box(IDC_UPGRADE_UBL)->isChecked();
    Press(Qt::Key_U);
    EXPECT_EQ(Box(IDC_UPGRADE_UBL)->isChecked(), ticked) << "a disabled box ignores its key";

    // The list opens from the keyboard and runs discovery, as a click does.
    Press(Qt::Key_V);
    Press(Qt::Key_Down);
    EXPECT_FALSE(visa_double::calls().empty());
    visa_double::reset();
    Press(Qt::Key_F4, Qt::NoModifier);
    EXPECT_FALSE(visa_double::calls().empty());

    // Push buttons are pressed: Upgrade (an empty instrument stops it with a
    // box), Close.
    Press(Qt::Key_P);
    EXPECT_EQ(m_boxes.m_boxes.size(), 1u);
    Press(Qt::Key_C);
    EXPECT_EQ(m_dlg->result(), IDCANCEL);
}

TEST_F(KeyboardAccessTest, TheLogPaneIsSelectedAndCopiedFromTheKeyboardButStaysReadOnly) {
    m_dlg->m_log = "Searching...\r\nFound 2\r\n";
    m_dlg->UpdateData(false);
    Press(Qt::Key_L);
    auto* log = qobject_cast<QPlainTextEdit*>(Item(IDC_LOG));
    ASSERT_TRUE(log->hasFocus());
    Press(Qt::Key_A, Qt::ControlModifier);
    Press(Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), QStringLiteral("Searching...\nFound 2\n"));
    Press(Qt::Key_X, Qt::NoModifier);
    EXPECT_EQ(m_dlg->GetDlgItemText(IDC_LOG), m_dlg->m_log) << "typing changes nothing";
    EXPECT_FALSE(log->focusPolicy() & Qt::TabFocus) << "the pane keeps out of the Tab chain";
}

TEST_F(KeyboardAccessTest, AboutAndHelpOpenFromTheKeyboard) {
    CFirmwareUpdateApp app;
    QString aboutTexts;
    QWidget* helpOwner = nullptr;
    auto seen = AnswerNextModal([&](QDialog* modal) {
        QAccessibleInterface* iface = QAccessible::queryAccessibleInterface(modal);
        EXPECT_EQ(iface->role(), QAccessible::Dialog);
        aboutTexts = iface->text(QAccessible::Name);
        for (int i = 0; i < iface->childCount(); ++i)
            aboutTexts += "|" + iface->child(i)->text(QAccessible::Name);
        QTest::keyClick(modal, Qt::Key_F1);
        helpOwner = app.GetHelpWindow() ? app.GetHelpWindow()->parentWidget() : nullptr;
        EXPECT_EQ(helpOwner, modal) << "help opens over the About box";
    });
    Press(Qt::Key_A);
    EXPECT_TRUE(*seen);
    EXPECT_TRUE(aboutTexts.startsWith(QStringLiteral("About Firmware Upgrade|")));
    EXPECT_TRUE(aboutTexts.contains(QStringLiteral("|Version 1.1|")));
    EXPECT_EQ(app.GetHelpWindow(), nullptr) << "and goes with it";

    QTest::keyClick(m_dlg.get(), Qt::Key_F1);
    CHelpWindow* help = app.GetHelpWindow();
    ASSERT_NE(help, nullptr);
    EXPECT_EQ(help->windowTitle(), QStringLiteral("Firmware Upgrade Help"));
    EXPECT_EQ(AccessibleName(help->GetBrowser()), QStringLiteral("Help text"));
    const QString text = help->GetBrowser()->toPlainText();
    for (const char* part :
         {"How to upgrade", "Alt+B", "settings.conf", "visa.conf", "audit.jsonl", "fwvisa-info"})
        EXPECT_TRUE(text.contains(QString::fromLatin1(part))) << part;
    QTest::keyClick(m_dlg.get(), Qt::Key_F1);
    EXPECT_EQ(app.GetHelpWindow(), help) << "a second F1 raises the same window";
    QTest::keyClick(help->GetBrowser(), Qt::Key_Escape);
    EXPECT_FALSE(help->isVisible());
}

// Where no window manager hands the focus back when a box or the picker
// closes, the window takes it itself, and its keys work again.
TEST_F(KeyboardAccessTest, TheWindowHasItsKeysBackAfterABoxOrThePickerCloses) {
    const MessageBoxHook recorder = SetMessageBoxHook({});
    for (const bool picker : {false, true}) {
        SCOPED_TRACE(picker ? "picker" : "box");
        auto seen = AnswerNextModal();
        if (picker)
            Press(Qt::Key_B);
        else
            m_dlg->CDialog::MessageBox("Text", "Caption", MB_OK, "Details");
        EXPECT_TRUE(*seen);
        EXPECT_EQ(QApplication::activeWindow(), m_dlg.get());
        Press(Qt::Key_L);
        EXPECT_EQ(CDialog::GetDlgCtrlID(QApplication::focusWidget()), IDC_LOG);
        Item(IDC_BROWSE)->setFocus();
    }
    SetMessageBoxHook(recorder);
}

TEST(HelpWindow, AMissingFileIsSaidWithWhereItWasLookedFor) {
    CHelpWindow help(nullptr, QStringLiteral("Help"));
    EXPECT_FALSE(help.Load({QStringLiteral("/nonexistent/a.html"), QStringLiteral("/no/b.html")}));
    const QString text = help.GetBrowser()->toPlainText();
    EXPECT_TRUE(text.contains(QStringLiteral("could not be found")));
    EXPECT_TRUE(text.contains(QStringLiteral("/nonexistent/a.html")));
    EXPECT_TRUE(text.contains(QStringLiteral("/no/b.html")));
}

}  // namespace
