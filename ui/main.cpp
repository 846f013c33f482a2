// Program entry: checks for a display, starts Qt and hands over to the
// application object.

#include <sys/stat.h>
#include <unistd.h>
#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "dialog_templates.h"
#include "firmware_update_app.h"
#include "first_paint.h"
#include "platform/shown_text.h"
#include "stop_signals.h"
#include "workflow/engine_events.h"

namespace {

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

// The program's one diagnostic log: Qt's messages and the VISA library's
// lines, one whole line per write so that threads do not interleave. Both
// may carry what an instrument or a file said: written out, its control
// characters can neither drive the terminal nor start a line.
void WriteLogLine(const std::string& line) {
    std::fprintf(stderr, "%s\n", platform::escape_controls(line).c_str());
}

// The engine's diagnostics, line by line into the same log: an instrument's
// error-queue entry reads as it was sent, but cannot drive the terminal.
// A line that never ends is passed on in pieces of this size.
constexpr std::size_t kMaxEngineLine = 4096;

ssize_t WriteEngineLines(void* cookie, const char* data, std::size_t size) {
    auto& pending = *static_cast<std::string*>(cookie);
    pending.append(data, size);
    for (std::size_t end;
         (end = pending.find('\n')) != std::string::npos || pending.size() >= kMaxEngineLine;) {
        const std::size_t cut = end != std::string::npos ? end : kMaxEngineLine;
        // A reply's CR LF ends the line as LF does; any other CR is shown.
        const bool crlf = end != std::string::npos && cut > 0 && pending[cut - 1] == '\r';
        WriteLogLine(pending.substr(0, crlf ? cut - 1 : cut));
        pending.erase(0, end != std::string::npos ? cut + 1 : cut);
    }
    return static_cast<ssize_t>(size);
}

// The engine's standard error, as WriteEngineLines passes it on; stderr
// itself when that cannot be made.
FILE* EngineDiagnostics() {
    static std::string pending;
    FILE* stream = ::fopencookie(
        &pending, "w", cookie_io_functions_t{nullptr, WriteEngineLines, nullptr, nullptr});
    if (stream == nullptr) return stderr;
    std::setvbuf(stream, nullptr, _IOLBF, 0);
    return stream;
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
        WriteLogLine(("qt: " + message).toLocal8Bit().toStdString());
}

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

    // Before Qt starts its threads: a logout or a kill lets a run leave the
    // instrument's update mode before the window closes.
    if (!stop_signals::Install())
        WriteLogLine("firmware-update: stop signals not installed; a signal ends a run at once");
    qInstallMessageHandler(QtMessageSink);
    workflow::SetEngineStreams(stdout, EngineDiagnostics());
    // The VISA library writes its own lines ("visa.vxi11: ...") to stderr
    // when FW_VISA_LOG=1, escaped as WriteLogLine does.
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("FirmwareUpdate"));
    QApplication::setApplicationVersion(QString::fromLatin1(kProductVersion));
    QApplication::setDesktopFileName(QStringLiteral("firmware-update"));

    WatchFirstPaintIfAsked(application);
    return RunWinApp();
}
