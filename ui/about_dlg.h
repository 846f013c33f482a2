// The About box: version and notice, closed by OK, Escape or its close box.
#pragma once

#include "dialog.h"

class CAboutDlg : public CDialog {
public:
    // The owner only places the box over it; the box itself keeps no state.
    explicit CAboutDlg(QWidget* owner = nullptr);
    ~CAboutDlg() override;
};
