#include "first_paint.h"

#include <unistd.h>
#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "resource.h"
#include "win_app.h"

// The figure is taken twice: from the kernel's record of when the process
// started (/proc/self/stat field 22, in clock ticks of 10 ms), against
// /proc/uptime, which includes loading the program and its libraries, and
// from a clock read when this file's globals are initialised, which does not.

namespace {

const auto g_mainClock = std::chrono::steady_clock::now();

// Milliseconds since the kernel started this process; -1 if unknown.
double MillisecondsSinceProcessStart() {
    std::ifstream stat("/proc/self/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    // Fields after the command name start with field 3; starttime is field 22.
    for (int i = 3; i < 22 && fields >> field;)
        ++i;
    unsigned long long startTicks = 0;
    if (!(fields >> startTicks)) return -1;
    // Both figures count from boot, including time suspended, in 10 ms steps.
    std::ifstream uptime("/proc/uptime");
    double upSeconds = 0;
    if (!(uptime >> upSeconds)) return -1;
    return upSeconds * 1000.0 -
           static_cast<double>(startTicks) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

class CFirstPaintWatch : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        CWinApp* app = GetWinApp();
        if (!m_seen && event->type() == QEvent::Paint && app && watched == app->m_pMainWnd) {
            m_seen = true;
            auto* dialog = static_cast<QDialog*>(app->m_pMainWnd);
            // After this paint and its flush to the screen.
            QTimer::singleShot(0, dialog, [dialog] {
                const double sinceMain = std::chrono::duration<double, std::milli>(
                                             std::chrono::steady_clock::now() - g_mainClock)
                                             .count();
                std::printf(
                    "first paint: %.1f ms after process start, %.1f ms after program "
                    "initialisation\n",
                    MillisecondsSinceProcessStart(), sinceMain);
                std::fflush(stdout);
                dialog->done(IDCANCEL);
            });
        }
        return false;
    }

private:
    bool m_seen = false;
};

}  // namespace

void WatchFirstPaintIfAsked(QApplication& application) {
    // Lives as long as the application it filters.
    static CFirstPaintWatch watch;
    const char* exitAfterPaint = std::getenv("FW_EXIT_AFTER_FIRST_PAINT");
    if (exitAfterPaint && std::strcmp(exitAfterPaint, "1") == 0)
        application.installEventFilter(&watch);
}
