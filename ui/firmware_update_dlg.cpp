#include "firmware_update_dlg.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QShortcut>
#include <QSocketNotifier>
#include <QStyle>
#include <memory>

#include "about_dlg.h"
#include "box_details.h"
#include "dialog_geometry.h"
#include "dialog_templates.h"
#include "dlg_get_path.h"
#include "resource.h"
#include "stop_signals.h"
#include "workflow/discovery.h"
#include "workflow/identification.h"
#include "workflow/upgrade.h"

CFirmwareUpdateDlg::CFirmwareUpdateDlg(QWidget* parent)
    : CDialog(IDD_FIRMWAREUPDATE_DIALOG, parent), m_appIcon(QString::fromLatin1(kMainIconPath)) {}

CFirmwareUpdateDlg::~CFirmwareUpdateDlg() = default;

MessageMap CFirmwareUpdateDlg::GetMessageMap() const {
    static const MessageMapEntry entries[] = {
        OnNotify(BN_CLICKED, IDC_BROWSE, &CFirmwareUpdateDlg::OnBrowse),
        OnNotify(BN_CLICKED, IDC_UPGRADE, &CFirmwareUpdateDlg::OnUpgrade),
        OnNotify(EN_UPDATE, IDC_RELEASE_DIR, &CFirmwareUpdateDlg::OnUpdateReleaseDir),
        OnNotify(CBN_DROPDOWN, IDC_INSTRUMENT, &CFirmwareUpdateDlg::OnDropdownInstrument),
        OnNotify(BN_CLICKED, IDC_UPGRADE_RECOVERY, &CFirmwareUpdateDlg::OnImageTicked),
        OnNotify(BN_CLICKED, IDC_UPGRADE_BOOTROM, &CFirmwareUpdateDlg::OnImageTicked),
        OnNotify(BN_CLICKED, IDC_UPGRADE_UBL, &CFirmwareUpdateDlg::OnImageTicked),
    };
    return entries;
}

void CFirmwareUpdateDlg::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_INSTRUMENT, m_instrumentCombo);
    DDX_Text(pDX, IDC_RELEASE_DIR, m_releaseDir);
    DDV_MaxChars(pDX, m_releaseDir, kReleaseDirMaxChars);
    DDX_Text(pDX, IDC_LOG, m_log);
    DDV_MaxChars(pDX, m_log, kLogMaxChars);
    DDX_Text(pDX, IDC_INSTRUMENT, m_instrument);
    DDV_MaxChars(pDX, m_instrument, kInstrumentMaxChars);
    DDX_Check(pDX, IDC_UPGRADE_HOST, m_upgradeHost);
    DDX_Check(pDX, IDC_UPGRADE_RECOVERY, m_upgradeRecovery);
    DDX_Check(pDX, IDC_UPGRADE_BOOTROM, m_upgradeBootRom);
    DDX_Check(pDX, IDC_UPGRADE_UBL, m_upgradeUbl);
}

bool CFirmwareUpdateDlg::OnInitDialog() {
    CDialog::OnInitDialog();

    if (CMenu* systemMenu = GetSystemMenu(false)) {
        const char* about = FindResourceString(IDS_ABOUTBOX);
        if (about && *about) {
            systemMenu->AppendMenu(MF_SEPARATOR);
            systemMenu->AppendMenu(MF_STRING, IDM_ABOUTBOX, about);
        }
    }

    SetIcon(m_appIcon, true);
    SetIcon(m_appIcon, false);
    AddKeyboardAccess();
    if (stop_signals::WakeFd() >= 0) {
        auto* wake = new QSocketNotifier(stop_signals::WakeFd(), QSocketNotifier::Read, this);
        connect(wake, &QSocketNotifier::activated, this, [this] { OnStopSignal(); });
    }

    UpdateControlStates();
    return true;
}

void CFirmwareUpdateDlg::AddKeyboardAccess() {
    // The controls' texts stay as the template writes them, without '&':
    // the keys work without an underline and are told through each
    // control's accessible description and the help window instead.
    static const struct {
        int m_id;
        Qt::Key m_key;
    } keys[] = {
        {IDC_RELEASE_DIR, Qt::Key_R},
        {IDC_BROWSE, Qt::Key_B},
        {IDC_INSTRUMENT, Qt::Key_V},
        {IDC_UPGRADE_HOST, Qt::Key_H},
        {IDC_UPGRADE_RECOVERY, Qt::Key_E},
        {IDC_UPGRADE_BOOTROM, Qt::Key_O},
        {IDC_UPGRADE_UBL, Qt::Key_U},
        {IDC_UPGRADE, Qt::Key_P},
        {IDCANCEL, Qt::Key_C},
        {IDC_LOG, Qt::Key_L},
    };
    for (const auto& key : keys)
        SetControlShortcut(key.m_id, QKeySequence(Qt::ALT | key.m_key));
    SetControlName(IDC_LOG, QStringLiteral("Log"));
    SetControlName(IDC_PROGRESS, QStringLiteral("Progress"));

    // Many window managers keep Alt+Space for themselves, which leaves the
    // system menu's About item out of the keyboard's reach.
    auto* aboutKey = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_A), this);
    connect(aboutKey, &QShortcut::activated, this, [this] { OnSysCommand(IDM_ABOUTBOX, 0); });
    setAccessibleDescription(QStringLiteral("Alt+A: About. F1: Help."));
}

void CFirmwareUpdateDlg::UpdateControlStates() {
    if (QWidget* host = GetDlgItem(IDC_UPGRADE_HOST)) {
        host->setEnabled(m_upgradeHost != 0);
        if (auto* box = qobject_cast<QAbstractButton*>(host)) box->setChecked(m_upgradeHost != 0);
    }
    // Called when the members say what a release offers (after a Browse),
    // never after a run's data exchange has put the ticks in them.
    m_offered = {m_upgradeHost, m_upgradeRecovery, m_upgradeBootRom, m_upgradeUbl};
    EnableImageBox(IDC_UPGRADE_RECOVERY, m_upgradeRecovery != 0);
    EnableImageBox(IDC_UPGRADE_BOOTROM, m_upgradeBootRom != 0);
    EnableImageBox(IDC_UPGRADE_UBL, m_upgradeUbl != 0);
    if (QWidget* upgrade = GetDlgItem(IDC_UPGRADE)) upgrade->setEnabled(m_configLoaded);
}

void CFirmwareUpdateDlg::EnableImageBox(int id, bool offered) {
    auto* box = qobject_cast<QAbstractButton*>(GetDlgItem(id));
    if (!box) return;
    // A tick kept from an earlier release on a disabled box could not be
    // taken off; such an image is left out of a run, and the box says so.
    const bool stale = !offered && box->isChecked();
    box->setEnabled(offered || stale);
    box->setToolTip(stale ? QStringLiteral("This release does not offer this image: an upgrade "
                                           "leaves it out. Untick it to clear the tick.")
                          : QString());
}

void CFirmwareUpdateDlg::OnImageTicked() {
    EnableImageBox(IDC_UPGRADE_RECOVERY, m_offered.m_recovery != 0);
    EnableImageBox(IDC_UPGRADE_BOOTROM, m_offered.m_bootRom != 0);
    EnableImageBox(IDC_UPGRADE_UBL, m_offered.m_ubl != 0);
}

void CFirmwareUpdateDlg::OnSysCommand(unsigned id, intptr_t lParam) {
    if ((id & 0xFFF0) == IDM_ABOUTBOX) {
        CAboutDlg about(this);
        about.DoModal();
        return;
    }
    CDialog::OnSysCommand(id, lParam);
}

void CFirmwareUpdateDlg::OnPaint() {
    if (!IsIconic()) {
        CDialog::OnPaint();
        return;
    }
    // Window managers here draw minimised windows themselves; this is only
    // reached if one asks the window to paint while it is minimised.
    QPainter painter(this);
    painter.eraseRect(rect());
    const int iconSize = style()->pixelMetric(QStyle::PM_LargeIconSize);
    const PixelPoint origin = IconicIconOrigin(width(), height(), iconSize, iconSize);
    m_appIcon.paint(&painter, origin.m_x, origin.m_y, iconSize, iconSize);
}

QIcon CFirmwareUpdateDlg::OnQueryDragIcon() const {
    return m_appIcon;
}

void CFirmwareUpdateDlg::OnDropdownInstrument() {
    auto list = std::make_unique<char[]>(workflow::kResourceListSize);
    m_instrumentCombo.ResetContent();
    DiscoverInstruments(list.get());
    for (const std::string& line : workflow::SplitResourceList(list.get()))
        m_instrumentCombo.AddString(line);
}

void CFirmwareUpdateDlg::OnBrowse() {
    workflow::Browse(*this, *this, workflow::SettingsFile(), m_releaseDir, m_configLoaded);
}

void CFirmwareUpdateDlg::SetOffered(const workflow::ImageChoice& offered) {
    m_upgradeHost = offered.m_host;
    m_upgradeRecovery = offered.m_recovery;
    m_upgradeBootRom = offered.m_bootRom;
    m_upgradeUbl = offered.m_ubl;
}

void CFirmwareUpdateDlg::OnUpdateReleaseDir() {
    workflow::UpdateReleaseDir(m_releaseDir);
}

void CFirmwareUpdateDlg::OnUpgrade() {
    OnUpdateReleaseDir();
    // A failed check has already told the operator; the run goes on with
    // what the members hold.
    UpdateData(true);
    std::string leftOut;
    const workflow::ImageChoice images =
        OfferedTicks({m_upgradeHost, m_upgradeRecovery, m_upgradeBootRom, m_upgradeUbl}, leftOut);
    workflow::RunOptions options;
    options.m_stopRequested = [this] { return RunStopRequested(); };
    m_running = true;
    workflow::RunUpgrade(*this, m_releaseDir, m_instrument, images, m_familyName, m_hostImageFile,
                         nullptr, options);
    m_running = false;
    if (!leftOut.empty()) {
        AppendLog(leftOut);
        ShowLog();
    }
    // The run has left the instrument's update mode and kept its record:
    // now the window may go.
    if (stop_signals::Requested() || m_closeRequested) EndDialog(IDCANCEL);
}

workflow::ImageChoice CFirmwareUpdateDlg::OfferedTicks(const workflow::ImageChoice& ticks,
                                                       std::string& left) const {
    workflow::ImageChoice chosen = ticks;
    for (const workflow::ImageInfo& image : workflow::kImages) {
        if (chosen.*image.m_flag == 0 || m_offered.*image.m_flag != 0) continue;
        chosen.*image.m_flag = 0;
        left += std::string(image.m_name) + " is not offered by this release: not written\r\n";
    }
    return chosen;
}

bool CFirmwareUpdateDlg::RunStopRequested() {
    // The run blocks the event loop between its safe points; here a close
    // request from the window manager, or a stop signal, gets its turn. The
    // operator's input waits: the run is not to be re-entered.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    return stop_signals::Requested() || m_closeRequested;
}

void CFirmwareUpdateDlg::OnStopSignal() {
    stop_signals::Drain();
    // A box of the run (or any other) is answered as by its close button:
    // No to the Host warning, OK to the others. A run then stops at its
    // next safe point and closes the window itself.
    for (int i = 0; i < 8; ++i) {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || modal == this) break;
        modal->close();
    }
    if (!m_running) EndDialog(IDCANCEL);
}

void CFirmwareUpdateDlg::closeEvent(QCloseEvent* event) {
    if (m_running) {
        m_closeRequested = true;
        event->ignore();
        return;
    }
    CDialog::closeEvent(event);
}

bool CFirmwareUpdateDlg::PickReleaseDir(const std::string& start, std::string& chosen) {
    CDlgGetPath picker(this);
    picker.SetPath(start);
    if (picker.DoModal() != IDOK) return false;
    chosen = picker.GetPath();
    return true;
}

void CFirmwareUpdateDlg::ShowReleaseDir(const std::string& dir) {
    // The field raises its text-update notification only when its text
    // changes; choosing the directory it already shows must run the
    // handler all the same.
    if (GetDlgItemText(IDC_RELEASE_DIR) == dir)
        OnUpdateReleaseDir();
    else
        SetDlgItemText(IDC_RELEASE_DIR, dir);
}

void CFirmwareUpdateDlg::DiscoverInstruments(char* out) {
    workflow::DiscoverInstruments(*this, out, workflow::kResourceListSize);
}

void CFirmwareUpdateDlg::SetLog(const std::string& text) {
    m_log = text;
}

void CFirmwareUpdateDlg::AppendLog(const std::string& text) {
    m_log += text;
}

void CFirmwareUpdateDlg::ShowLog() {
    SetDlgItemText(IDC_LOG, m_log);
}

void CFirmwareUpdateDlg::SetProgressRange(int lower, int upper) {
    if (auto* progress = dynamic_cast<CProgressControl*>(GetDlgItem(IDC_PROGRESS)))
        progress->SetRange(lower, upper);
}

void CFirmwareUpdateDlg::SetProgressPos(int pos) {
    if (auto* progress = dynamic_cast<CProgressControl*>(GetDlgItem(IDC_PROGRESS)))
        progress->SetPos(pos);
}

void CFirmwareUpdateDlg::BeginWaitCursor() {
    CDialog::BeginWaitCursor();
}

void CFirmwareUpdateDlg::EndWaitCursor() {
    CDialog::EndWaitCursor();
}

void CFirmwareUpdateDlg::ScrollLog(int lines) {
    if (auto* pane = qobject_cast<QPlainTextEdit*>(GetDlgItem(IDC_LOG))) {
        QScrollBar* bar = pane->verticalScrollBar();
        bar->setValue(bar->value() + lines);
    }
}

void CFirmwareUpdateDlg::Repaint() {
    RedrawWindow();
}

int CFirmwareUpdateDlg::MessageBox(const std::string& text, const std::string& caption,
                                   unsigned type) {
    return CDialog::MessageBox(text, caption, type);
}

bool CFirmwareUpdateDlg::ConfirmErase(const workflow::RunOutcome& run) {
    return CDialog::MessageBox(workflow::kHostWarningText, "Warning", workflow::kBoxYesNoWarning,
                               box_details::EraseWarning(run)) != workflow::kAnswerNo;
}

void CFirmwareUpdateDlg::ReportNotStarted(const std::string& text, const workflow::Cause& cause) {
    CDialog::MessageBox(text, "Error", workflow::kBoxError, box_details::NotStarted(cause));
}

void CFirmwareUpdateDlg::ReportNotIdentified(const workflow::Cause& cause) {
    CDialog::MessageBox(workflow::kNotIdentifiedText, "Error", workflow::kBoxError,
                        box_details::NotIdentified(cause));
}

void CFirmwareUpdateDlg::ReportLocked(const std::string& text, const workflow::Cause& cause) {
    CDialog::MessageBox(text, "Error", workflow::kBoxError, box_details::Locked(cause));
}

void CFirmwareUpdateDlg::ReportHostFailed(const workflow::ImageOutcome& image,
                                          const workflow::RunOutcome& run) {
    CDialog::MessageBox(workflow::kHostFailedText, "Failed", workflow::kBoxError,
                        box_details::ImageFailed(image, run));
}

void CFirmwareUpdateDlg::ReportImageFailed(const workflow::ImageOutcome& image,
                                           const workflow::RunOutcome& run) {
    CDialog::MessageBox(workflow::kImageFailedText, "Error", workflow::kBoxError,
                        box_details::ImageFailed(image, run));
}
