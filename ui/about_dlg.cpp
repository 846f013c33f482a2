#include "about_dlg.h"

#include "resource.h"

CAboutDlg::CAboutDlg(QWidget* owner) : CDialog(IDD_ABOUTBOX, owner) {}

CAboutDlg::~CAboutDlg() = default;
