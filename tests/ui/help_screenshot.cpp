// Takes the picture of the help window for the documentation: the main
// window gets F1, as an operator would press it, and the help window that
// opens over it is grabbed from the screen with its frame.
//
//   help_screenshot OUTPUT.png
//
// Run it on an X server (docs/help-screenshot.sh starts a virtual one).
#include <QApplication>
#include <QKeyEvent>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <cstdio>
#include <string>

#include "firmware_update_app.h"
#include "firmware_update_dlg.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: help_screenshot OUTPUT.png\n");
        return 2;
    }
    const std::string output = argv[1];
    QApplication application(argc, argv);
    CFirmwareUpdateApp app;
    CFirmwareUpdateDlg dlg;
    if (!dlg.Create()) return 1;
    app.m_pMainWnd = &dlg;
    dlg.show();

    bool saved = false;
    QTimer::singleShot(1000, [&] {
        QKeyEvent f1(QEvent::KeyPress, Qt::Key_F1, Qt::NoModifier);
        QApplication::sendEvent(&dlg, &f1);
    });
    // Let the window manager place and frame the window first.
    QTimer::singleShot(2500, [&] {
        if (CHelpWindow* help = app.GetHelpWindow()) {
            const QRect area = help->frameGeometry();
            saved = help->screen()
                        ->grabWindow(0, area.x(), area.y(), area.width(), area.height())
                        .save(QString::fromStdString(output));
        }
        application.quit();
    });
    application.exec();
    app.m_pMainWnd = nullptr;
    if (!saved) {
        std::fprintf(stderr, "help_screenshot: the help window did not open\n");
        return 1;
    }
    std::printf("wrote %s\n", output.c_str());
    return 0;
}
