// The About box, the system command that opens it, and the application.
#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QTest>

#include "about_dlg.h"
#include "firmware_update_app.h"
#include "firmware_update_dlg.h"
#include "gui_fixture.h"
#include "visa_double.h"

namespace {

TEST(AboutBox, ShowsVersionNoticeIconAndADefaultOk) {
    CAboutDlg about;
    ASSERT_TRUE(about.Create());
    EXPECT_EQ(about.windowTitle(), QStringLiteral("About Firmware Upgrade"));
    auto* ok = dynamic_cast<QPushButton*>(about.GetDlgItem(IDOK));
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->text(), QStringLiteral("OK"));
    EXPECT_TRUE(ok->isDefault());
    bool version = false;
    bool icon = false;
    for (QLabel* label : about.findChildren<QLabel*>()) {
        version |= label->text() == QStringLiteral("Version 1.1");
        icon |= !label->pixmap().isNull() && label->pixmap().size() == QSize(32, 32);
    }
    EXPECT_TRUE(version);
    EXPECT_TRUE(icon);
}

TEST(AboutBox, OkEnterAndEscapeEndIt) {
    {
        CAboutDlg about;
        about.Create();
        about.show();
        dynamic_cast<QPushButton*>(about.GetDlgItem(IDOK))->click();
        EXPECT_EQ(about.result(), IDOK);
        EXPECT_FALSE(about.isVisible());
    }
    {
        CAboutDlg about;
        about.Create();
        about.show();
        QTest::keyClick(&about, Qt::Key_Return);
        EXPECT_EQ(about.result(), IDOK);
    }
    {
        CAboutDlg about;
        about.Create();
        about.show();
        QTest::keyClick(&about, Qt::Key_Escape);
        EXPECT_EQ(about.result(), IDCANCEL);
    }
}

TEST(SystemCommand, AnyIdWhoseHighBitsAre16OpensTheAboutBoxModally) {
    BoxRecorder boxes;
    CFirmwareUpdateDlg dlg;
    ASSERT_TRUE(dlg.Create());
    dlg.show();
    for (unsigned id = 16; id <= 31; ++id) {
        SCOPED_TRACE(id);
        QString title;
        QWidget* owner = nullptr;
        Qt::WindowModality modality = Qt::NonModal;
        auto seen = AnswerNextModal([&](QDialog* modal) {
            if (!modal) return;
            title = modal->windowTitle();
            owner = modal->parentWidget();
            modality = modal->windowModality();
        });
        dlg.OnSysCommand(id, 0);
        EXPECT_TRUE(*seen);
        EXPECT_EQ(title, QStringLiteral("About Firmware Upgrade"));
        EXPECT_EQ(owner, &dlg) << "the box opens over the main window";
        EXPECT_NE(modality, Qt::NonModal);
    }
    for (unsigned id : {0u, 15u, 32u, 0x0110u}) {
        SCOPED_TRACE(id);
        auto seen = AnswerNextModal();
        dlg.OnSysCommand(id, 0);
        QApplication::processEvents();
        EXPECT_FALSE(*seen);
    }
    EXPECT_TRUE(dlg.isVisible());
}

TEST(Application, ProgramEndsWhenTheMainDialogCloses) {
    visa_double::reset();
    CFirmwareUpdateApp app;
    ASSERT_EQ(GetWinApp(), &app);
    QString title;
    auto seen = AnswerNextModal([&](QDialog* modal) {
        if (modal) title = modal->windowTitle();
    });
    // InitInstance runs the main dialog and says "no event loop after it".
    EXPECT_EQ(RunWinApp(), 0);
    EXPECT_TRUE(*seen);
    EXPECT_EQ(title, QStringLiteral("K7140 H-Series Firmware Upgrade Utility"));
    EXPECT_EQ(app.m_pMainWnd, nullptr);
    EXPECT_TRUE(visa_double::calls().empty());
}

TEST(Application, EnterClosesTheProgramToo) {
    CFirmwareUpdateApp app;
    QTimer::singleShot(0, qApp, [] {
        if (QWidget* modal = QApplication::activeModalWidget())
            QTest::keyClick(modal, Qt::Key_Return);
    });
    EXPECT_FALSE(app.InitInstance());
}

}  // namespace
