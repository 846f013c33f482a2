#include "firmware_update_app.h"

#include <QCoreApplication>
#include <QDir>

#include "firmware_update_dlg.h"

CFirmwareUpdateApp::CFirmwareUpdateApp() {
    m_helpTitle = "Firmware Upgrade Help";
}

CFirmwareUpdateApp::~CFirmwareUpdateApp() = default;

bool CFirmwareUpdateApp::InitInstance() {
    CFirmwareUpdateDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();
    m_pMainWnd = nullptr;
    return false;
}

AppCommandMap CFirmwareUpdateApp::GetMessageMap() const {
    static const AppCommandEntry entries[] = {
        OnCommand(ID_HELP, &CWinApp::OnHelp),
    };
    return entries;
}

std::vector<std::string> CFirmwareUpdateApp::GetHelpFiles() const {
    const QString installed =
        QDir::cleanPath(QCoreApplication::applicationDirPath() +
                        QStringLiteral("/" FW_HELP_FROM_BINDIR "/index.html"));
    return {installed.toStdString(), FW_HELP_SOURCE_DIR "/index.html"};
}
