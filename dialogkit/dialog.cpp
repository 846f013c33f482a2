#include "dialog.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShortcut>
#include <QTreeWidget>
#include <QWindow>
#include <algorithm>

#include "control_text.h"
#include "controls.h"
#include "dialog_geometry.h"
#include "dialog_templates.h"
#include "resource.h"
#include "win_app.h"

using namespace dialog_detail;

// ---- menu ---------------------------------------------------------------------

CMenu::CMenu(CDialog* owner) : m_owner(owner), m_menu(std::make_unique<QMenu>(owner)) {}

CMenu::~CMenu() = default;

bool CMenu::AppendMenu(unsigned flags, unsigned id, const char* text) {
    if (flags & MF_SEPARATOR) {
        m_menu->addSeparator();
        return true;
    }
    if (!text) return false;
    QAction* action = m_menu->addAction(QString::fromUtf8(text));
    CDialog* owner = m_owner;
    QObject::connect(action, &QAction::triggered, owner,
                     [owner, id] { owner->OnSysCommand(id, 0); });
    return true;
}

// ---- dialog -------------------------------------------------------------------

CDialog::CDialog(int templateId, QWidget* parent) : QDialog(parent), m_templateId(templateId) {}

CDialog::~CDialog() {
    while (m_waitCursors > 0)
        EndWaitCursor();
}

bool CDialog::Create() {
    if (m_created) return true;
    m_template = FindDialogTemplate(m_templateId);
    if (!m_template) return false;
    Build();
    m_created = true;
    if (OnInitDialog()) {
        for (const auto& [id, control] : m_controls) {
            if (control->focusPolicy() & Qt::TabFocus && control->isEnabled()) {
                control->setFocus(Qt::TabFocusReason);
                break;
            }
        }
    }
    return true;
}

intptr_t CDialog::DoModal() {
    if (!Create()) return -1;
    const int result = exec();
    ReturnFocusTo(parentWidget());
    return result;
}

void CDialog::EndDialog(int result) {
    done(result);
}

bool CDialog::UpdateData(bool saveAndValidate) {
    CDataExchange dx(this, saveAndValidate);
    DoDataExchange(&dx);
    return !dx.m_failed;
}

QWidget* CDialog::GetDlgItem(int id) const {
    for (const auto& [itemId, control] : m_controls) {
        if (itemId == id) return control;
    }
    return nullptr;
}

int CDialog::GetDlgCtrlID(const QWidget* widget) {
    for (const QWidget* w = widget; w && !dynamic_cast<const CDialog*>(w); w = w->parentWidget()) {
        const QVariant id = w->property(kIdProperty);
        if (id.isValid()) return id.toInt();
    }
    return 0;
}

void CDialog::SetDlgItemText(int id, const std::string& text) {
    if (QWidget* control = GetDlgItem(id)) SetControlText(control, QString::fromStdString(text));
}

std::string CDialog::GetDlgItemText(int id) const {
    const QWidget* control = GetDlgItem(id);
    return control ? ControlText(control).toStdString() : std::string();
}

int CDialog::MessageBox(const std::string& text, const std::string& caption, unsigned type,
                        const std::string& details) {
    return ShowMessageBox(this, text, caption, type, details);
}

void CDialog::BeginWaitCursor() {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    ++m_waitCursors;
}

void CDialog::EndWaitCursor() {
    if (m_waitCursors == 0) return;
    QApplication::restoreOverrideCursor();
    --m_waitCursors;
}

void CDialog::RedrawWindow() {
    repaint();
}

CMenu* CDialog::GetSystemMenu(bool revert) {
    if (!m_systemMenu || revert) {
        m_systemMenu = std::make_unique<CMenu>(this);
        m_systemMenu->AppendMenu(MF_STRING, SC_MOVE, "&Move");
        m_systemMenu->AppendMenu(MF_SEPARATOR);
        m_systemMenu->AppendMenu(MF_STRING, SC_CLOSE, "&Close\tAlt+F4");
    }
    return m_systemMenu.get();
}

void CDialog::ShowSystemMenu(const QPoint& globalPos) {
    GetSystemMenu(false)->GetMenu()->popup(globalPos);
}

bool CDialog::IsIconic() const {
    return isMinimized();
}

void CDialog::SetIcon(const QIcon& icon, bool) {
    // One icon serves both sizes here; the window manager scales it.
    setWindowIcon(icon);
}

void CDialog::SendNotify(int id, unsigned code) {
    for (const MessageMapEntry& entry : GetMessageMap()) {
        if (entry.m_handler && entry.m_code == code && entry.m_id == id) {
            (this->*entry.m_handler)();
            return;
        }
    }
    if (code == BN_CLICKED && id == IDOK)
        OnOK();
    else if (code == BN_CLICKED && id == IDCANCEL)
        OnCancel();
}

LRESULT CDialog::SendNotify(NotifyHeader* header) {
    LRESULT result = 0;
    for (const MessageMapEntry& entry : GetMessageMap()) {
        if (entry.m_notifyHandler && entry.m_code == header->m_code &&
            entry.m_id == header->m_idFrom) {
            (this->*entry.m_notifyHandler)(header, &result);
            break;
        }
    }
    return result;
}

bool CDialog::SendCommand(unsigned id) {
    CWinApp* app = GetWinApp();
    return app && app->OnCmdMsg(id, this);
}

void CDialog::SetControlName(int id, const QString& name) {
    if (QWidget* control = GetDlgItem(id)) control->setAccessibleName(name);
}

void CDialog::SetControlShortcut(int id, const QKeySequence& key) {
    QWidget* control = GetDlgItem(id);
    if (!control) return;
    control->setAccessibleDescription(key.toString(QKeySequence::NativeText));
    auto* shortcut = new QShortcut(key, this);
    connect(shortcut, &QShortcut::activated, control, [control] {
        if (!control->isEnabled() || !control->isVisible()) return;
        auto* button = qobject_cast<QAbstractButton*>(control);
        if (!button || qobject_cast<QCheckBox*>(button)) control->setFocus(Qt::ShortcutFocusReason);
        if (button) button->click();
    });
}

void CDialog::OnSysCommand(unsigned id, intptr_t) {
    switch (id & 0xFFF0) {
        case SC_CLOSE:
            close();
            break;
        case SC_MOVE:
            if (QWindow* window = windowHandle()) window->startSystemMove();
            break;
        default:
            break;
    }
}

MessageMap CDialog::GetMessageMap() const {
    return {};
}

void CDialog::DoDataExchange(CDataExchange*) {}

bool CDialog::OnInitDialog() {
    UpdateData(false);
    return true;
}

void CDialog::OnOK() {
    if (!UpdateData(true)) return;
    EndDialog(IDOK);
}

void CDialog::OnCancel() {
    EndDialog(IDCANCEL);
}

void CDialog::OnPaint() {}

DialogBaseUnits CDialog::ApplyTemplateFont(const DialogTemplate& t) {
    // The template's face is a stand-in for "the desktop's ordinary sans".
    QFont font(QStringLiteral("Sans Serif"), t.m_pointSize);
    font.setStyleHint(QFont::SansSerif);
    font.setWeight(t.m_weight >= 700 ? QFont::Bold : QFont::Normal);
    font.setItalic(t.m_italic);
    setFont(font);
    const QFontMetrics metrics(font);
    return BaseUnitsFromFont(metrics.horizontalAdvance(QStringLiteral(
                                 "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")),
                             metrics.height());
}

void CDialog::PlaceControl(const DialogItemTemplate& item, QWidget* control,
                           const DialogBaseUnits& units) {
    PixelRect r = MapDialogRect(item.m_x, item.m_y, item.m_cx, item.m_cy, units);
    if (auto* combo = qobject_cast<QComboBox*>(control)) {
        // A combo box's template height includes its dropped list.
        r.m_height = combo->sizeHint().height();
    } else if (auto* label = qobject_cast<QLabel*>(control); label && !label->pixmap().isNull()) {
        r.m_width = label->pixmap().width();
        r.m_height = label->pixmap().height();
    }
    control->setGeometry(r.m_x, r.m_y, r.m_width, r.m_height);
    control->setProperty(kIdProperty, item.m_id);
    control->setEnabled(!(item.m_style & WS_DISABLED));
    control->setVisible(item.m_style & WS_VISIBLE);
    if (item.m_style & WS_TABSTOP) {
        control->setFocusPolicy(Qt::StrongFocus);
    } else {
        control->setFocusPolicy(IsStatic(control) ? Qt::NoFocus : Qt::ClickFocus);
    }
    if (qobject_cast<QGroupBox*>(control)) {
        // A group box only frames its neighbours: it must neither cover them
        // nor take their clicks.
        control->setAttribute(Qt::WA_TransparentForMouseEvents);
    }
    m_controls.emplace_back(item.m_id, control);
    Connect(control, item.m_id);
}

void CDialog::Build() {
    const DialogTemplate& t = *m_template;
    const DialogBaseUnits units = ApplyTemplateFont(t);
    m_baseX = units.m_cx;
    m_baseY = units.m_cy;

    Qt::WindowFlags flags =
        ((t.m_exStyle & WS_EX_APPWINDOW) && !parentWidget()) ? Qt::Window : Qt::Dialog;
    flags |= Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
             Qt::WindowCloseButtonHint;
    if (t.m_style & WS_MINIMIZEBOX) flags |= Qt::WindowMinimizeButtonHint;
    setWindowFlags(flags);
    setWindowTitle(QString::fromUtf8(t.m_caption));
    const PixelRect client = MapDialogRect(0, 0, t.m_cx, t.m_cy, units);
    setFixedSize(client.m_width, client.m_height);

    for (const DialogItemTemplate& item : t.m_items) {
        if (QWidget* control = CreateControl(item)) PlaceControl(item, control, units);
    }
    for (const auto& [id, control] : m_controls) {
        if (qobject_cast<QGroupBox*>(control)) control->lower();
    }
    NestInGroupBoxes();
    TieLabelsToFields();
    ChainTabStops();

    auto* systemMenuKey = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Space), this);
    connect(systemMenuKey, &QShortcut::activated, this,
            [this] { ShowSystemMenu(mapToGlobal(QPoint(0, 0))); });
}

void CDialog::NestInGroupBoxes() {
    for (const auto& [groupId, groupControl] : m_controls) {
        auto* group = qobject_cast<QGroupBox*>(groupControl);
        if (!group) continue;
        bool nested = false;
        for (const auto& [id, control] : m_controls) {
            if (qobject_cast<QGroupBox*>(control) || control->parentWidget() != this ||
                !group->geometry().contains(control->geometry()))
                continue;
            // A new parent hides the widget; it keeps the template's visibility.
            const bool shown = !control->isHidden();
            const QRect inGroup = control->geometry().translated(-group->pos());
            control->setParent(group);
            control->setGeometry(inGroup);
            control->setVisible(shown);
            nested = true;
        }
        // Its members now take their clicks through it.
        if (nested) group->setAttribute(Qt::WA_TransparentForMouseEvents, false);
    }
}

void CDialog::TieLabelsToFields() {
    const auto inDialog = [this](const QWidget* w) {
        return QRect(w->mapTo(this, QPoint(0, 0)), w->size());
    };
    for (const auto& [labelId, labelControl] : m_controls) {
        auto* label = qobject_cast<QLabel*>(labelControl);
        if (!label || label->text().isEmpty()) continue;
        const QRect text = inDialog(label);
        // The nearest field to the right whose height spans the label's middle.
        QWidget* field = nullptr;
        for (const auto& [id, control] : m_controls) {
            const bool isField =
                qobject_cast<QLineEdit*>(control) || qobject_cast<QComboBox*>(control) ||
                qobject_cast<QPlainTextEdit*>(control) || qobject_cast<QAbstractItemView*>(control);
            const QRect r = inDialog(control);
            if (!isField || r.left() < text.right() || r.top() > text.center().y() ||
                r.bottom() < text.center().y())
                continue;
            if (!field || r.left() < inDialog(field).left()) field = control;
        }
        if (!field) continue;
        label->setBuddy(field);
        if (field->accessibleName().isEmpty()) field->setAccessibleName(label->text());
        if (auto* combo = qobject_cast<QComboBox*>(field); combo && combo->lineEdit())
            combo->lineEdit()->setAccessibleName(label->text());
    }
}

void CDialog::ChainTabStops() {
    QWidget* previous = nullptr;
    for (const auto& [id, control] : m_controls) {
        if (control->focusPolicy() != Qt::StrongFocus) continue;
        if (previous) setTabOrder(previous, control);
        previous = control;
    }
}

void CDialog::Connect(QWidget* control, int id) {
    if (auto* button = qobject_cast<QAbstractButton*>(control)) {
        connect(button, &QAbstractButton::clicked, this,
                [this, id] { SendNotify(id, BN_CLICKED); });
    } else if (auto* edit = qobject_cast<QLineEdit*>(control)) {
        connect(edit, &QLineEdit::textChanged, this, [this, id] {
            SendNotify(id, EN_UPDATE);
            SendNotify(id, EN_CHANGE);
        });
    } else if (auto* multi = qobject_cast<QPlainTextEdit*>(control)) {
        connect(multi, &QPlainTextEdit::textChanged, this, [this, id] {
            SendNotify(id, EN_UPDATE);
            SendNotify(id, EN_CHANGE);
        });
    } else if (auto* combo = dynamic_cast<CComboBoxControl*>(control)) {
        combo->SetDropDownHandler([this, id] { SendNotify(id, CBN_DROPDOWN); });
    }
}

void CDialog::SendOkCommand() {
    QWidget* ok = GetDlgItem(IDOK);
    if (!ok) {
        OnOK();
        return;
    }
    if (auto* button = qobject_cast<QAbstractButton*>(ok); button && button->isEnabled())
        button->click();
}

void CDialog::paintEvent(QPaintEvent*) {
    OnPaint();
}

void CDialog::keyPressEvent(QKeyEvent* event) {
    const Qt::KeyboardModifiers mods = event->modifiers() & ~Qt::KeypadModifier;
    if (mods == Qt::NoModifier && event->key() == Qt::Key_Escape) {
        OnCancel();
        return;
    }
    if (mods == Qt::NoModifier && event->key() == Qt::Key_F1) {
        SendCommand(ID_HELP);
        return;
    }
    if (mods == Qt::NoModifier &&
        (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)) {
        if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
            if (button->isEnabled()) button->click();
            return;
        }
        SendOkCommand();
        return;
    }
    QDialog::keyPressEvent(event);
}

void CDialog::contextMenuEvent(QContextMenuEvent* event) {
    const QWidget* under = childAt(event->pos());
    if (!under || IsStatic(under)) {
        ShowSystemMenu(event->globalPos());
        return;
    }
    QDialog::contextMenuEvent(event);
}

void CDialog::accept() {
    OnOK();
}

void CDialog::reject() {
    OnCancel();
}
