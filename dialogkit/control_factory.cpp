// Turns a template's item into the Qt widget that plays its window class.
#include <QCheckBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include "control_text.h"
#include "controls.h"
#include "dialog.h"
#include "dialog_templates.h"
#include "tree_ctrl.h"

using namespace dialog_detail;

namespace {

QWidget* CreateEdit(uint32_t style, const QString& text, QWidget* parent) {
    if (style & ES_MULTILINE) {
        auto* edit = new QPlainTextEdit(parent);
        edit->setReadOnly(style & ES_READONLY);
        // A read-only pane can still be selected and copied from the keyboard.
        if (style & ES_READONLY)
            edit->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
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
    auto* edit = new QLineEdit(text, parent);
    edit->setReadOnly(style & ES_READONLY);
    return edit;
}

QWidget* CreateButton(uint32_t style, const QString& text, QWidget* parent) {
    const uint32_t type = style & BS_TYPEMASK;
    if (type == BS_GROUPBOX) {
        // The caption sits on the frame's top line, so controls placed just
        // below it (as templates do) are not crowded by the frame.
        auto* group = new QGroupBox(text, parent);
        const int half = QFontMetrics(parent->font()).height() / 2;
        group->setStyleSheet(
            QStringLiteral("QGroupBox { border: 1px solid palette(mid); margin-top: %1px; }"
                           "QGroupBox::title { subcontrol-origin: margin;"
                           " subcontrol-position: top left; left: 6px; padding: 0 2px; }")
                .arg(half));
        return group;
    }
    if (type == BS_CHECKBOX || type == BS_AUTOCHECKBOX) return new QCheckBox(text, parent);
    auto* button = new QPushButton(text, parent);
    // Enter is routed by the dialog itself (see keyPressEvent); Qt's own
    // default-button logic would make the first button the default.
    button->setAutoDefault(false);
    button->setDefault(type == BS_DEFPUSHBUTTON);
    return button;
}

QWidget* CreateStatic(const DialogItemTemplate& item, const QString& text, QWidget* parent) {
    auto* label = new QLabel(parent);
    if ((item.m_style & SS_TYPEMASK) == SS_ICON) {
        label->setPixmap(QIcon(IconPath(item.m_text)).pixmap(32, 32));
        // A picture only, but screen readers still need to call it something.
        label->setAccessibleName(QStringLiteral("Icon"));
    } else {
        label->setTextFormat(Qt::PlainText);
        label->setText(text);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    }
    return label;
}

bool IsClass(const QString& className, const char* name) {
    return className.compare(QLatin1String(name), Qt::CaseInsensitive) == 0;
}

}  // namespace

QWidget* CDialog::CreateControl(const DialogItemTemplate& item) {
    const QString className = QString::fromLatin1(item.m_className);
    const QString text = QString::fromUtf8(item.m_text);
    const uint32_t style = item.m_style;
    if (IsClass(className, "Edit")) return CreateEdit(style, text, this);
    if (IsClass(className, "Button")) return CreateButton(style, text, this);
    if (IsClass(className, "ComboBox")) return new CComboBoxControl(style & CBS_SORT, this);
    if (IsClass(className, "Static")) return CreateStatic(item, text, this);
    if (IsClass(className, "msctls_progress32")) return new CProgressControl(this);
    if (IsClass(className, "SysTreeView32")) return new CTreeControl(style, this);
    return nullptr;
}
