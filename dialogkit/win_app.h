// The application object of the dialog framework.
//
// Exactly one CWinApp-derived object exists, usually a global one; its
// constructor registers it. main() constructs the QApplication and then calls
// RunWinApp, which runs InitInstance and, only if that returns true, Qt's
// event loop.
//
// Commands that no control handles (the help command that F1 sends from any
// dialog) reach the application through its command map.
#pragma once

#include <QPointer>
#include <span>
#include <string>
#include <vector>

#include "help_window.h"

class QWidget;
class CWinApp;

// The help command: F1 in any dialog of the framework.
inline constexpr unsigned ID_HELP = 0xE146;

// One command-map entry: command `m_id` runs `m_handler`.
using AppCommandHandler = void (CWinApp::*)();
struct AppCommandEntry {
    unsigned m_id;
    AppCommandHandler m_handler;
};
using AppCommandMap = std::span<const AppCommandEntry>;

class CWinApp {
public:
    CWinApp();
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // Start-up work; false ends the program without an event loop.
    virtual bool InitInstance();
    // The event loop; returns the exit code.
    virtual int Run();
    // Clean-up after the event loop or a false InitInstance; the exit code.
    virtual int ExitInstance();

    // Runs the handler the command map gives `id`, with `source` (the window
    // the command came from) as the window the handler works over; false
    // when the map has no entry for it.
    bool OnCmdMsg(unsigned id, QWidget* source);

    // The framework's help handler: shows the first help file of
    // GetHelpFiles that exists in a help window over the window the command
    // came from (one window: a second F1 raises it), or, when none exists,
    // says in that window where it looked.
    void OnHelp();
    // The help window while it is open, else null.
    CHelpWindow* GetHelpWindow() const { return m_helpWindow; }

    QWidget* m_pMainWnd = nullptr;
    // The help window's title.
    std::string m_helpTitle = "Help";

protected:
    virtual AppCommandMap GetMessageMap() const;
    // Where the program's help file may be, most preferred first.
    virtual std::vector<std::string> GetHelpFiles() const;

private:
    QPointer<QWidget> m_commandSource;
    QPointer<CHelpWindow> m_helpWindow;
};

// Builds an entry from a handler of a class derived from CWinApp.
template <class T>
constexpr AppCommandEntry OnCommand(unsigned id, void (T::*handler)()) {
    return {id, static_cast<AppCommandHandler>(handler)};
}

// The registered application object, or null.
CWinApp* GetWinApp();

// Runs the registered application; the QApplication must exist. Returns the
// process's exit code, 1 when no application object is registered.
int RunWinApp();
