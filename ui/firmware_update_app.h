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

protected:
    // One entry: the help command goes to the framework's help handler.
    AppCommandMap GetMessageMap() const override;
    // The installed help file (share/firmware-update/help beside the
    // executable's bin folder), then the one in the source tree, which serves
    // the build tree and the tests.
    std::vector<std::string> GetHelpFiles() const override;
};
