// Program entry: checks for a display, starts Qt and hands over to the
// application object.
//
// FW_EXIT_AFTER_FIRST_PAINT=1 makes the program print how long it took to
// paint its main window for the first time and then close it, for start-up
// measurements. The figure is taken twice: from the kernel's record of when
// the process started (/proc/self/stat field 22, in clock ticks of 10 ms),
// against /proc/uptime, which includes loading the program and its libraries,
// and from a clock read when this file's globals are initialised, which does
// not.

#include <sys/stat.h>
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

#include "dialog_templates.h"
#include "firmware_update_app.h"
#include "resource.h"
#ifdef FW_BUILTIN_VISA
#include "visa/log.h"
#endif

namespace {

const auto g_mainClock = std::chrono::steady_clock::now();

// True when Qt has somewhere to show windows. Qt aborts the process when it
// cannot connect to a display, so this is decided before it is started: an
// explicit platform is trusted, a local X display must have its socket.
bool HasDisplay(std::string& why) {
    const std::string platform =
        std::getenv("QT_QPA_PLATFORM") ? std::getenv("QT_QPA_PLATFORM") : "";
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const bool hasWayland = wayland && *wayland;
    if (platform.rfind("wayland", 0) == 0) {
        if (!hasWayland) why = "QT_QPA_PLATFORM asks for Wayland but WAYLAND_DISPLAY is not set";
        return hasWayland;
    }
    // Any other explicit platform but X11 (offscreen, vnc, ...) needs no display.
    if (!platform.empty() && platform.rfind("xcb", 0) != 0) return true;
    if (platform.empty() && hasWayland) return true;
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) {
        why = "DISPLAY is not set";
        return false;
    }
    if (display[0] == ':') {
        const std::string number(display + 1, std::strcspn(display + 1, "."));
        const std::string socket = "/tmp/.X11-unix/X" + number;
        struct stat info {};
        if (::stat(socket.c_str(), &info) != 0) {
            why = std::string("no X server is listening on display ") + display;
            return false;
        }
    }
    return true;
}

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

// The program's one diagnostic log: Qt's messages and the VISA library's
// lines, one whole line per write so that threads do not interleave.
void WriteLogLine(const char* line) {
    std::fprintf(stderr, "%s\n", line);
}

// Qt's own diagnostics (font, theme, runtime-directory notes) are not the
// program's output: they are shown only when FW_QT_LOG=1, except for critical
// and fatal ones, which always explain why the program is about to fail.
void QtMessageSink(QtMsgType type, const QMessageLogContext&, const QString& message) {
    static const bool verbose = [] {
        const char* value = std::getenv("FW_QT_LOG");
        return value && std::strcmp(value, "1") == 0;
    }();
    if (verbose || type == QtCriticalMsg || type == QtFatalMsg)
        WriteLogLine(("qt: " + message).toLocal8Bit().constData());
}

#ifdef FW_BUILTIN_VISA
// The built-in VISA library's lines ("visa.vxi11: ..."), shown when
// FW_VISA_LOG=1 as the library itself would show them.
void VisaLogSink(const char* line) {
    static const bool enabled = visa::log_enabled();
    if (enabled) WriteLogLine(line);
}
#endif

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

CFirmwareUpdateApp theApp;

int main(int argc, char** argv) {
    std::string why;
    if (!HasDisplay(why)) {
        std::fprintf(stderr,
                     "%s: cannot open a window: %s.\n"
                     "This is a desktop program. On a machine without a display, run it under a\n"
                     "virtual X server, for example:\n"
                     "    xvfb-run -a %s\n",
                     argv[0], why.c_str(), argv[0]);
        return 2;
    }

    qInstallMessageHandler(QtMessageSink);
#ifdef FW_BUILTIN_VISA
    visa::set_log_sink(VisaLogSink);
#endif
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("FirmwareUpdate"));
    QApplication::setApplicationVersion(QString::fromLatin1(kProductVersion));
    QApplication::setDesktopFileName(QStringLiteral("firmware-update"));

    CFirstPaintWatch watch;
    const char* exitAfterPaint = std::getenv("FW_EXIT_AFTER_FIRST_PAINT");
    if (exitAfterPaint && std::strcmp(exitAfterPaint, "1") == 0)
        application.installEventFilter(&watch);

    return RunWinApp();
}
