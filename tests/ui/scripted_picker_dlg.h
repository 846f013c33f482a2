// The main window with its release-directory picker answered by the test.
#pragma once

#include <string>
#include <vector>

#include "firmware_update_dlg.h"

class ScriptedPickerDlg : public CFirmwareUpdateDlg {
public:
    // What the picker answers: a directory (ending in '/') for OK, empty
    // for Cancel.
    std::string m_pickerAnswer;
    // The start directory of every picker run.
    std::vector<std::string> m_pickerStarts;

protected:
    bool PickReleaseDir(const std::string& start, std::string& chosen) override {
        m_pickerStarts.push_back(start);
        if (m_pickerAnswer.empty()) return false;
        chosen = m_pickerAnswer;
        return true;
    }
};
