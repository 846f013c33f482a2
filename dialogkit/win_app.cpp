#include "win_app.h"

#include <QApplication>

#include "help_window.h"

namespace {

CWinApp* g_app = nullptr;

}  // namespace

CWinApp::CWinApp() {
    g_app = this;
}

CWinApp::~CWinApp() {
    // An owner-less help window would otherwise outlive the application.
    delete m_helpWindow;
    if (g_app == this) g_app = nullptr;
}

bool CWinApp::InitInstance() {
    return true;
}

int CWinApp::Run() {
    QApplication::exec();
    return ExitInstance();
}

int CWinApp::ExitInstance() {
    return 0;
}

bool CWinApp::OnCmdMsg(unsigned id, QWidget* source) {
    for (const AppCommandEntry& entry : GetMessageMap()) {
        if (entry.m_id != id) continue;
        m_commandSource = source;
        (this->*entry.m_handler)();
        m_commandSource = nullptr;
        return true;
    }
    return false;
}

void CWinApp::OnHelp() {
    QWidget* owner = m_commandSource;
    if (!owner) owner = QApplication::activeModalWidget();
    if (!owner) owner = m_pMainWnd;
    // The window belongs to the one F1 came from: a modal dialog blocks every
    // window except its own, so help over the picker must be the picker's.
    if (m_helpWindow && m_helpWindow->parentWidget() != owner && m_helpWindow != owner) {
        delete m_helpWindow;
    }
    if (!m_helpWindow) {
        m_helpWindow = new CHelpWindow(owner, QString::fromStdString(m_helpTitle));
        std::vector<QString> files;
        for (const std::string& file : GetHelpFiles())
            files.push_back(QString::fromStdString(file));
        m_helpWindow->Load(files);
    }
    m_helpWindow->show();
    m_helpWindow->raise();
    m_helpWindow->activateWindow();
}

AppCommandMap CWinApp::GetMessageMap() const {
    return {};
}

std::vector<std::string> CWinApp::GetHelpFiles() const {
    return {};
}

CWinApp* GetWinApp() {
    return g_app;
}

int RunWinApp() {
    CWinApp* app = GetWinApp();
    if (!app) return 1;
    if (!app->InitInstance()) return app->ExitInstance();
    return app->Run();
}
