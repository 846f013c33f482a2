// The application: runs the main dialog once and ends when it closes.
#pragma once

#include "win_app.h"

class CFirmwareUpdateApp : public CWinApp {
public:
    CFirmwareUpdateApp();
    ~CFirmwareUpdateApp() override;

    // Runs the main dialog modally; returns false so that the program ends
    // with it, however it was closed.
    bool InitInstance() override;
};
