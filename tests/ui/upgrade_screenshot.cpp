// Takes the picture of a finished upgrade for the documentation: a whole run
// through the real window, library and boxes against a simulated instrument,
// grabbed from the screen while the completion box is up.
//
//   upgrade_screenshot OUTPUT.png
//
// Run it on an X server (docs/upgrade-screenshot.sh starts a virtual one).
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

#include "controls.h"
#include "resource.h"
#include "scripted_picker_dlg.h"
#include "sim_process.h"

namespace fs = std::filesystem;

namespace {

void MakeRelease(const fs::path& dir) {
    fs::create_directories(dir / "host");
    std::ofstream(dir / "Firmware_Upgrade.txt")
        << "# K7140 H-Series release 2.4.0\nHPAP 2.4.0\nHREC 2.4.0\nHBRM 1.9.2\nHUBL 1.2.0\n";
    std::mt19937 random(2024);
    const std::pair<const char*, std::size_t> images[] = {{"vxWorks_rom.bin", 2 << 20},
                                                          {"RecoveryApp.bin", 1 << 20},
                                                          {"bootrom.bin", 256 << 10},
                                                          {"ubl-nor-ais.bin", 32 << 10}};
    for (const auto& [name, size] : images) {
        std::string bytes(size, '\0');
        for (char& c : bytes)
            c = static_cast<char>(random() & 0xFF);
        std::ofstream(dir / "host" / name, std::ios::binary) << bytes;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: upgrade_screenshot OUTPUT.png\n");
        return 2;
    }
    // Absolute: the run makes the release directory current.
    const std::string output = fs::absolute(argv[1]).string();
    const fs::path scratch = fs::temp_directory_path() / ("fw-shot-" + std::to_string(::getpid()));
    // A name a reader can take in at a glance.
    const fs::path release = fs::temp_directory_path() / "K7140-release-2.4.0";
    fs::remove_all(release);
    MakeRelease(release);
    fs::create_directories(scratch / "config");
    setenv("XDG_CONFIG_HOME", (scratch / "config").c_str(), 1);

    QApplication application(argc, argv);
    // VXI-11 when the simulator may answer on port 111, the raw socket else.
    SimProcess sim("127.0.0.2", {"--serial", "SN041207"});
    const std::string resource = ::geteuid() == 0 ? sim.vxi11() : sim.socket();

    ScriptedPickerDlg dlg;
    dlg.m_pickerAnswer = release.string() + "/";
    if (!dlg.Create()) return 1;
    dlg.show();

    bool saved = false;
    int completeTicks = 0;
    // Answers the boxes as an operator would; grabs the screen at the end.
    QTimer operatorHand;
    QObject::connect(&operatorHand, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible()) return;
        if (box->windowTitle() == QStringLiteral("Warning")) {
            for (QAbstractButton* button : box->buttons()) {
                if (box->buttonRole(button) == QMessageBox::YesRole) button->click();
            }
            return;
        }
        // Let the window manager place and frame the box first.
        if (++completeTicks < 3) return;
        if (!saved) {
            const QRect area = dlg.frameGeometry().united(box->frameGeometry());
            saved = dlg.screen()
                        ->grabWindow(0, area.x(), area.y(), area.width(), area.height())
                        .save(QString::fromStdString(output));
        }
        box->buttons().front()->click();
    });

    QTimer::singleShot(1500, [&] {
        dynamic_cast<QPushButton*>(dlg.GetDlgItem(IDC_BROWSE))->click();
        for (int id : {IDC_UPGRADE_RECOVERY, IDC_UPGRADE_BOOTROM, IDC_UPGRADE_UBL})
            dynamic_cast<QCheckBox*>(dlg.GetDlgItem(id))->setChecked(true);
        auto* combo = dynamic_cast<CComboBoxControl*>(dlg.GetDlgItem(IDC_INSTRUMENT));
        combo->setEditText(QString::fromStdString(resource));
        operatorHand.start(400);
        dynamic_cast<QPushButton*>(dlg.GetDlgItem(IDC_UPGRADE))->click();
        operatorHand.stop();
        application.quit();
    });
    application.exec();

    sim.stop();
    fs::remove_all(scratch);
    fs::remove_all(release);
    if (!saved) {
        std::fprintf(stderr, "upgrade_screenshot: the run did not reach its completion box\n");
        return 1;
    }
    std::printf("wrote %s\n", output.c_str());
    return 0;
}
