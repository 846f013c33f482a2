#include "message_box.h"

#include <QMessageBox>
#include <QPushButton>
#include <QString>
#include <utility>

#include "resource.h"

namespace {

MessageBoxHook& Hook() {
    static MessageBoxHook hook;
    return hook;
}

QMessageBox::Icon IconOf(unsigned type) {
    switch (type & 0xF0) {
        case MB_ICONERROR:
            return QMessageBox::Critical;
        case MB_ICONQUESTION:
            return QMessageBox::Question;
        case MB_ICONEXCLAMATION:
            return QMessageBox::Warning;
        case MB_ICONINFORMATION:
            return QMessageBox::Information;
        default:
            return QMessageBox::NoIcon;
    }
}

}  // namespace

MessageBoxHook SetMessageBoxHook(MessageBoxHook hook) {
    return std::exchange(Hook(), std::move(hook));
}

int ShowMessageBox(QWidget* owner, const std::string& text, const std::string& caption,
                   unsigned type) {
    const std::string title = caption.empty() ? std::string("Error") : caption;
    if (Hook()) return Hook()(owner, text, title, type);

    QMessageBox box(IconOf(type), QString::fromStdString(title), QString::fromStdString(text),
                    QMessageBox::NoButton, owner);
    QPushButton* ok = nullptr;
    QPushButton* cancel = nullptr;
    QPushButton* yes = nullptr;
    QPushButton* no = nullptr;
    switch (type & 0x0F) {
        case MB_OKCANCEL:
            ok = box.addButton(QMessageBox::Ok);
            cancel = box.addButton(QMessageBox::Cancel);
            break;
        case MB_YESNOCANCEL:
            yes = box.addButton(QMessageBox::Yes);
            no = box.addButton(QMessageBox::No);
            cancel = box.addButton(QMessageBox::Cancel);
            break;
        case MB_YESNO:
            yes = box.addButton(QMessageBox::Yes);
            no = box.addButton(QMessageBox::No);
            break;
        default:
            ok = box.addButton(QMessageBox::Ok);
            break;
    }
    box.exec();
    const auto* clicked = box.clickedButton();
    if (clicked && clicked == yes) return IDYES;
    if (clicked && clicked == no) return IDNO;
    if (clicked && clicked == ok) return IDOK;
    // Escape or the close box: the box's cancel answer. A Yes/No box without a
    // Cancel button cannot be escaped on the window system either; Qt lets it,
    // and No is the harmless reading.
    if (cancel) return IDCANCEL;
    return no ? IDNO : IDOK;
}
