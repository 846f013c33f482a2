// Opens the main window's instrument list once, through the built-in VISA
// library, on the offscreen platform, and prints what it lists, one entry a
// line, then "opened in <ms> ms". The LAN discovery tests and benchmark run
// it in a network namespace of their own with "discover = lan" configured.
#include <QApplication>
#include <QTest>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "controls.h"
#include "firmware_update_dlg.h"
#include "resource.h"

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    CFirmwareUpdateDlg dlg;
    if (!dlg.Create()) return 1;
    dlg.show();
    if (!QTest::qWaitForWindowExposed(&dlg)) return 1;
    auto* combo = dynamic_cast<CComboBoxControl*>(dlg.GetDlgItem(IDC_INSTRUMENT));
    if (combo == nullptr) return 1;
    // As the operator opens it: the list is filled before the popup shows.
    const auto start = std::chrono::steady_clock::now();
    combo->showPopup();
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    combo->hidePopup();
    for (int i = 0; i < combo->count(); ++i)
        std::printf("%s\n", combo->itemText(i).toUtf8().constData());
    std::printf("opened in %.0f ms\n", took.count());
    return 0;
}
