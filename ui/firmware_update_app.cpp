#include "firmware_update_app.h"

#include "firmware_update_dlg.h"

CFirmwareUpdateApp::CFirmwareUpdateApp() = default;

CFirmwareUpdateApp::~CFirmwareUpdateApp() = default;

bool CFirmwareUpdateApp::InitInstance() {
    CFirmwareUpdateDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();
    m_pMainWnd = nullptr;
    return false;
}
