// Runs the directory picker on its own, for trying it out and for the
// documentation's picture. Prints the chosen folder after OK.
//
//   picker_demo [--machine MOUNTINFO ROOT] [--screenshot OUT.png] START
//
// --machine shows a machine described by a mountinfo file, whose folders are
// those below ROOT (as the tests do); otherwise this machine. --screenshot
// saves the dialog with its window frame once it has settled, and closes it.
#include <QApplication>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "dlg_get_path.h"
#include "fake_file_systems.h"
#include "resource.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    std::unique_ptr<platform::FakeFileSystems> machine;
    std::string screenshot;
    std::string start;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--machine") == 0 && i + 2 < argc) {
            std::ifstream in(argv[i + 1]);
            std::ostringstream table;
            table << in.rdbuf();
            machine = std::make_unique<platform::FakeFileSystems>();
            machine->set_mount_table(table.str());
            machine->set_real_root(argv[i + 2]);
            i += 2;
        } else if (std::strcmp(argv[i], "--screenshot") == 0 && i + 1 < argc) {
            screenshot = argv[++i];
        } else {
            start = argv[i];
        }
    }

    CDlgGetPath dlg(nullptr, machine.get());
    dlg.SetPath(start);
    bool saved = screenshot.empty();
    if (!screenshot.empty()) {
        QTimer::singleShot(1500, &dlg, [&dlg, &screenshot, &saved] {
            const QRect frame = dlg.frameGeometry();
            const QPixmap picture =
                dlg.screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
            saved = picture.save(QString::fromStdString(screenshot));
            std::printf("%s %s\n", saved ? "wrote" : "could not write", screenshot.c_str());
            dlg.EndDialog(IDCANCEL);
        });
    }
    if (dlg.DoModal() == IDOK) std::printf("%s\n", dlg.GetPath().c_str());
    return saved ? 0 : 1;
}
