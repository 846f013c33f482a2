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
    if (className.compare(QLatin1String("SysTreeView32"), Qt::CaseInsensitive) == 0)
        return new CTreeControl(style, this);
    return nullptr;
}
