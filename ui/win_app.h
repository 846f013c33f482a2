// The application object of the dialog framework.
//
// Exactly one CWinApp-derived object exists, usually a global one; its
// constructor registers it. main() constructs the QApplication and then calls
// RunWinApp, which runs InitInstance and, only if that returns true, Qt's
// event loop.
#pragma once

class QWidget;

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

    QWidget* m_pMainWnd = nullptr;
};

// The registered application object, or null.
CWinApp* GetWinApp();

// Runs the registered application; the QApplication must exist. Returns the
// process's exit code, 1 when no application object is registered.
int RunWinApp();
