#include "control_text.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <algorithm>

#include "dialog_templates.h"

namespace dialog_detail {

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

}  // namespace dialog_detail
