#include "dialog.h"

#include <QAbstractButton>
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

#include "controls.h"
#include "dialog_geometry.h"
#include "dialog_templates.h"
#include "resource.h"

namespace {

const char* const kIdProperty = "dlgCtrlId";
const char* const kLimitProperty = "dlgTextLimit";

// Characters, not bytes, of a UTF-8 text.
int CountChars(const std::string& text) {
    return static_cast<int>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

bool IsStatic(const QWidget* w) {
    return qobject_cast<const QLabel*>(w) || qobject_cast<const QGroupBox*>(w) ||
           qobject_cast<const QProgressBar*>(w);
}

QString ControlText(const QWidget* c) {
    if (auto* e = qobject_cast<const QLineEdit*>(c)) return e->text();
    if (auto* m = qobject_cast<const QPlainTextEdit*>(c)) {
        // The multi-line edit keeps lines apart with bare line feeds; its text
        // is read with the CR LF pairs the program wrote.
        QString text = m->toPlainText();
        text.replace(QLatin1Char('\n'), QLatin1String("\r\n"));
        return text;
    }
    if (auto* cb = qobject_cast<const QComboBox*>(c)) return cb->currentText();
    if (auto* b = qobject_cast<const QAbstractButton*>(c)) return b->text();
    if (auto* l = qobject_cast<const QLabel*>(c)) return l->text();
    if (auto* g = qobject_cast<const QGroupBox*>(c)) return g->title();
    return c->windowTitle();
}

void SetControlText(QWidget* c, const QString& text) {
    if (auto* e = qobject_cast<QLineEdit*>(c)) {
        // A limit stops typing only: a longer text from the program is kept
        // whole, so that reading it back can report it instead of silently
        // losing its end.
        const int limit = e->property(kLimitProperty).toInt();
        if (limit > 0) e->setMaxLength(std::max(limit, static_cast<int>(text.size())));
        e->setText(text);
        e->setCursorPosition(0);
        return;
    }
    if (auto* m = qobject_cast<QPlainTextEdit*>(c)) {
        QString plain = text;
        plain.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        m->setPlainText(plain);
        return;
    }
    if (auto* cb = qobject_cast<QComboBox*>(c)) {
        if (cb->isEditable()) cb->setEditText(text);
        return;
    }
    if (auto* b = qobject_cast<QAbstractButton*>(c)) {
        b->setText(text);
        return;
    }
    if (auto* l = qobject_cast<QLabel*>(c)) {
        l->setText(text);
        return;
    }
    if (auto* g = qobject_cast<QGroupBox*>(c)) {
        g->setTitle(text);
        return;
    }
    c->setWindowTitle(text);
}

void ApplyTextLimit(QLineEdit* edit, int limit) {
    const bool hooked = edit->property(kLimitProperty).toInt() > 0;
    edit->setProperty(kLimitProperty, limit);
    edit->setMaxLength(std::max(limit, static_cast<int>(edit->text().size())));
    if (hooked) return;
    // Once the operator has shortened an over-long text to the limit, the
    // limit holds again.
    QObject::connect(edit, &QLineEdit::textChanged, edit, [edit](const QString& text) {
        const int current = edit->property(kLimitProperty).toInt();
        if (current > 0 && text.size() <= current && edit->maxLength() != current)
            edit->setMaxLength(current);
    });
}

QString IconPath(const char* id) {
    const char* path = FindPicturePath(QString::fromLatin1(id).toInt());
    return path ? QString::fromLatin1(path) : QString();
}

}  // namespace

// ---- data exchange ------------------------------------------------------------

QWidget* CDataExchange::PrepareCtrl(int id) {
    m_lastControl = m_pDlgWnd->GetDlgItem(id);
    return m_lastControl;
}

void CDataExchange::Fail() {
    if (m_lastControl) {
        m_lastControl->setFocus(Qt::OtherFocusReason);
        if (auto* e = qobject_cast<QLineEdit*>(m_lastControl))
            e->selectAll();
        else if (auto* cb = qobject_cast<QComboBox*>(m_lastControl); cb && cb->lineEdit())
            cb->lineEdit()->selectAll();
    }
    m_failed = true;
}

void DDX_Text(CDataExchange* pDX, int id, std::string& value) {
    if (pDX->m_failed) return;
    QWidget* control = pDX->PrepareCtrl(id);
    if (!control) return;
    if (pDX->m_bSaveAndValidate)
        value = ControlText(control).toStdString();
    else
        SetControlText(control, QString::fromStdString(value));
}

void DDV_MaxChars(CDataExchange* pDX, const std::string& value, int maxChars) {
    if (pDX->m_failed) return;
    if (!pDX->m_bSaveAndValidate) {
        // Only a plain edit control stops typing at the limit; other text
        // controls meet it when read back.
        if (auto* edit = qobject_cast<QLineEdit*>(pDX->m_lastControl))
            ApplyTextLimit(edit, maxChars);
        return;
    }
    if (CountChars(value) <= maxChars) return;
    const std::string text =
        "Please enter no more than " + std::to_string(maxChars) + " characters.";
    pDX->m_pDlgWnd->MessageBox(text, QCoreApplication::applicationName().toStdString(),
                               MB_OK | MB_ICONEXCLAMATION);
    pDX->Fail();
}

void DDX_Check(CDataExchange* pDX, int id, int& value) {
    if (pDX->m_failed) return;
    auto* button = qobject_cast<QAbstractButton*>(pDX->PrepareCtrl(id));
    if (!button) return;
    if (pDX->m_bSaveAndValidate)
        value = button->isChecked() ? 1 : 0;
    else
        button->setChecked(value != 0);
}

void DDX_Control(CDataExchange* pDX, int id, CComboBox& control) {
    if (pDX->m_failed) return;
    auto* combo = dynamic_cast<CComboBoxControl*>(pDX->PrepareCtrl(id));
    if (combo && !control.GetControl()) control.Attach(combo);
}

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
    return exec();
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

int CDialog::MessageBox(const std::string& text, const std::string& caption, unsigned type) {
    return ShowMessageBox(this, text, caption, type);
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
        if (entry.m_code == code && entry.m_id == id) {
            (this->*entry.m_handler)();
            return;
        }
    }
    if (code == BN_CLICKED && id == IDOK)
        OnOK();
    else if (code == BN_CLICKED && id == IDCANCEL)
        OnCancel();
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

QWidget* CDialog::CreateControl(const DialogItemTemplate& item) {
    const QString className = QString::fromLatin1(item.m_className);
    const QString text = QString::fromUtf8(item.m_text);
    const uint32_t style = item.m_style;

    if (className.compare(QLatin1String("Edit"), Qt::CaseInsensitive) == 0) {
        if (style & ES_MULTILINE) {
            auto* edit = new QPlainTextEdit(this);
            edit->setReadOnly(style & ES_READONLY);
            edit->setTabChangesFocus(true);
            edit->setLineWrapMode((style & (ES_AUTOHSCROLL | WS_HSCROLL))
                                      ? QPlainTextEdit::NoWrap
                                      : QPlainTextEdit::WidgetWidth);
            edit->setVerticalScrollBarPolicy((style & WS_VSCROLL) ? Qt::ScrollBarAlwaysOn
                                                                  : Qt::ScrollBarAlwaysOff);
            edit->setHorizontalScrollBarPolicy((style & WS_HSCROLL) ? Qt::ScrollBarAlwaysOn
                                                                    : Qt::ScrollBarAlwaysOff);
            edit->setPlainText(text);
            return edit;
        }
        auto* edit = new QLineEdit(text, this);
        edit->setReadOnly(style & ES_READONLY);
        return edit;
    }
    if (className.compare(QLatin1String("Button"), Qt::CaseInsensitive) == 0) {
        const uint32_t type = style & BS_TYPEMASK;
        if (type == BS_GROUPBOX) {
            // The caption sits on the frame's top line, so controls placed
            // just below it (as templates do) are not crowded by the frame.
            auto* group = new QGroupBox(text, this);
            const int half = QFontMetrics(font()).height() / 2;
            group->setStyleSheet(
                QStringLiteral("QGroupBox { border: 1px solid palette(mid); margin-top: %1px; }"
                               "QGroupBox::title { subcontrol-origin: margin;"
                               " subcontrol-position: top left; left: 6px; padding: 0 2px; }")
                    .arg(half));
            return group;
        }
        if (type == BS_CHECKBOX || type == BS_AUTOCHECKBOX) return new QCheckBox(text, this);
        auto* button = new QPushButton(text, this);
        // Enter is routed by the dialog itself (see keyPressEvent); Qt's own
        // default-button logic would make the first button the default.
        button->setAutoDefault(false);
        button->setDefault(type == BS_DEFPUSHBUTTON);
        return button;
    }
    if (className.compare(QLatin1String("ComboBox"), Qt::CaseInsensitive) == 0)
        return new CComboBoxControl(style & CBS_SORT, this);
    if (className.compare(QLatin1String("Static"), Qt::CaseInsensitive) == 0) {
        auto* label = new QLabel(this);
        if ((style & SS_TYPEMASK) == SS_ICON) {
            label->setPixmap(QIcon(IconPath(item.m_text)).pixmap(32, 32));
        } else {
            label->setTextFormat(Qt::PlainText);
            label->setText(text);
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        }
        return label;
    }
    if (className.compare(QLatin1String("msctls_progress32"), Qt::CaseInsensitive) == 0)
        return new CProgressControl(this);
    if (className.compare(QLatin1String("SysTreeView32"), Qt::CaseInsensitive) == 0) {
        auto* tree = new QTreeWidget(this);
        tree->setHeaderHidden(true);
        return tree;
    }
    return nullptr;
}

void CDialog::Build() {
    const DialogTemplate& t = *m_template;

    // The template's face is a stand-in for "the desktop's ordinary sans".
    QFont font(QStringLiteral("Sans Serif"), t.m_pointSize);
    font.setStyleHint(QFont::SansSerif);
    font.setWeight(t.m_weight >= 700 ? QFont::Bold : QFont::Normal);
    font.setItalic(t.m_italic);
    setFont(font);
    const QFontMetrics metrics(font);
    const DialogBaseUnits units = BaseUnitsFromFont(
        metrics.horizontalAdvance(
            QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz")),
        metrics.height());
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

    QWidget* previousTabStop = nullptr;
    for (const DialogItemTemplate& item : t.m_items) {
        QWidget* control = CreateControl(item);
        if (!control) continue;
        PixelRect r = MapDialogRect(item.m_x, item.m_y, item.m_cx, item.m_cy, units);
        if (auto* combo = qobject_cast<QComboBox*>(control)) {
            // A combo box's template height includes its dropped list.
            r.m_height = combo->sizeHint().height();
        } else if (auto* label = qobject_cast<QLabel*>(control);
                   label && !label->pixmap().isNull()) {
            r.m_width = label->pixmap().width();
            r.m_height = label->pixmap().height();
        }
        control->setGeometry(r.m_x, r.m_y, r.m_width, r.m_height);
        control->setProperty(kIdProperty, item.m_id);
        control->setEnabled(!(item.m_style & WS_DISABLED));
        control->setVisible(item.m_style & WS_VISIBLE);
        if (item.m_style & WS_TABSTOP) {
            control->setFocusPolicy(Qt::StrongFocus);
            if (previousTabStop) setTabOrder(previousTabStop, control);
            previousTabStop = control;
        } else {
            control->setFocusPolicy(IsStatic(control) ? Qt::NoFocus : Qt::ClickFocus);
        }
        if (qobject_cast<QGroupBox*>(control)) {
            // A group box only frames its neighbours: it must neither cover
            // them nor take their clicks.
            control->setAttribute(Qt::WA_TransparentForMouseEvents);
        }
        m_controls.emplace_back(item.m_id, control);
        Connect(control, item.m_id);
    }
    for (const auto& [id, control] : m_controls) {
        if (qobject_cast<QGroupBox*>(control)) control->lower();
    }

    auto* systemMenuKey = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Space), this);
    connect(systemMenuKey, &QShortcut::activated, this,
            [this] { ShowSystemMenu(mapToGlobal(QPoint(0, 0))); });
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
