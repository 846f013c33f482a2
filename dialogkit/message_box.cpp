#include "message_box.h"

#include <QApplication>
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

std::string& Details() {
    static std::string details;
    return details;
}

// Clears the details when the box (or the hook) is done with them.
struct DetailsShown {
    explicit DetailsShown(const std::string& details) { Details() = details; }
    ~DetailsShown() { Details().clear(); }
    DetailsShown(const DetailsShown&) = delete;
    DetailsShown& operator=(const DetailsShown&) = delete;
};

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

const std::string& MessageBoxDetails() {
    return Details();
}

void ReturnFocusTo(QWidget* owner) {
    QWidget* window = owner ? owner->window() : nullptr;
    if (!window || !window->isVisible()) return;
    // Without a window manager nobody hands the focus back when a modal
    // window goes; the window asks for it itself.
    window->activateWindow();
    QApplication::setActiveWindow(window);
}

int ShowMessageBox(QWidget* owner, const std::string& text, const std::string& caption,
                   unsigned type, const std::string& details) {
    const std::string title = caption.empty() ? std::string("Error") : caption;
    const DetailsShown shown(details);
    if (Hook()) return Hook()(owner, text, title, type);

    QMessageBox box(IconOf(type), QString::fromStdString(title), QString::fromStdString(text),
                    QMessageBox::NoButton, owner);
    if (!details.empty()) box.setInformativeText(QString::fromStdString(details));
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
    ReturnFocusTo(owner);
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
