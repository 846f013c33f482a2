// The program's main window.
//
// Its members hold all the state the workflow works on; handlers read the
// controls into them, call the workflow and write the results back. The
// dialog is the workflow's Operator: log pane, progress bar, wait cursor,
// repaint and message boxes.
#pragma once

#include <QIcon>
#include <string>

#include "controls.h"
#include "dialog.h"
#include "workflow/operator.h"
#include "workflow/release_config.h"

class CFirmwareUpdateDlg : public CDialog,
                           private workflow::Operator,
                           private workflow::BrowseSite {
public:
    explicit CFirmwareUpdateDlg(QWidget* parent = nullptr);
    ~CFirmwareUpdateDlg() override;

    // Enables each image check box whose member is set and the Upgrade
    // button when a configuration was loaded; ticks "Host" as its member says.
    // A box the release does not offer stays enabled while it is ticked, so
    // that the tick of an earlier release can always be taken off.
    void UpdateControlStates() override;

    // Fills `out` (kResourceListSize bytes) with the resource list text and
    // shows the run in the log pane and progress bar.
    void DiscoverInstruments(char* out);

    void OnSysCommand(unsigned id, intptr_t lParam) override;
    QIcon OnQueryDragIcon() const;

    // Members in the order the workflow knows them.
    std::string m_hostImageFile;
    std::string m_familyName;
    CComboBox m_instrumentCombo;
    std::string m_releaseDir;
    std::string m_instrument;
    std::string m_log;
    int m_upgradeHost = 0;
    int m_upgradeRecovery = 0;
    int m_upgradeBootRom = 0;
    int m_upgradeUbl = 0;
    QIcon m_appIcon;
    bool m_configLoaded = false;
    // What the release offers, as UpdateControlStates last found it in the
    // members; a run leaves out any other image.
    workflow::ImageChoice m_offered;

    // Text limits of the data exchange.
    static constexpr int kReleaseDirMaxChars = 256;
    static constexpr int kLogMaxChars = 1500;
    static constexpr int kInstrumentMaxChars = 64;

protected:
    MessageMap GetMessageMap() const override;
    void DoDataExchange(CDataExchange* pDX) override;
    bool OnInitDialog() override;
    void OnPaint() override;

    void OnDropdownInstrument();
    void OnBrowse();
    void OnUpdateReleaseDir();
    void OnUpgrade();
    void OnImageTicked();

    // A close request during a run is a stop request: the run ends at its
    // next safe point, and the window closes after it.
    void closeEvent(QCloseEvent* event) override;

    // Runs the release-directory picker modally from `start`; true with the
    // chosen directory, ending in '/', when the operator chose OK. Tests
    // answer it themselves.
    bool PickReleaseDir(const std::string& start, std::string& chosen) override;

private:
    // The Alt+letter keys of the controls and of the About box, and the
    // accessible names of the controls that have no label.
    void AddKeyboardAccess();

    // Enables the image box `id` when `offered`, or while it is ticked.
    void EnableImageBox(int id, bool offered);
    // The ticked images the last Browse offered; names the others in `left`.
    workflow::ImageChoice OfferedTicks(const workflow::ImageChoice& ticks, std::string& left) const;
    // A stop signal came: a run hears of it at its next safe point; without
    // one the window closes now.
    void OnStopSignal();
    // Asked by the run at its safe points.
    bool RunStopRequested();

    bool m_running = false;
    bool m_closeRequested = false;

    // Operator
    void SetLog(const std::string& text) override;
    void AppendLog(const std::string& text) override;
    void ShowLog() override;
    void SetProgressRange(int lower, int upper) override;
    void SetProgressPos(int pos) override;
    void BeginWaitCursor() override;
    void EndWaitCursor() override;
    void ScrollLog(int lines) override;
    void Repaint() override;
    int MessageBox(const std::string& text, const std::string& caption, unsigned type) override;
    // The run's boxes, each with its cause and the next step as details.
    bool ConfirmErase(const workflow::RunOutcome& run) override;
    void ReportNotStarted(const std::string& text, const workflow::Cause& cause) override;
    void ReportNotIdentified(const workflow::Cause& cause) override;
    void ReportLocked(const std::string& text, const workflow::Cause& cause) override;
    void ReportHostFailed(const workflow::ImageOutcome& image,
                          const workflow::RunOutcome& run) override;
    void ReportImageFailed(const workflow::ImageOutcome& image,
                           const workflow::RunOutcome& run) override;

    // BrowseSite
    void ShowReleaseDir(const std::string& dir) override;
    void SetOffered(const workflow::ImageChoice& offered) override;
};
