// Message boxes with the window system's type and answer values.
//
// Every box of the program goes through ShowMessageBox, and ShowMessageBox
// through one replaceable hook, so that tests can answer boxes and record
// them without a modal loop.
#pragma once

#include <functional>
#include <string>

class QWidget;

// Buttons (low four bits) and icon (next four bits) of a box's type.
inline constexpr unsigned MB_OK = 0x00;
inline constexpr unsigned MB_OKCANCEL = 0x01;
inline constexpr unsigned MB_YESNOCANCEL = 0x03;
inline constexpr unsigned MB_YESNO = 0x04;
inline constexpr unsigned MB_ICONERROR = 0x10;
inline constexpr unsigned MB_ICONQUESTION = 0x20;
inline constexpr unsigned MB_ICONEXCLAMATION = 0x30;
inline constexpr unsigned MB_ICONINFORMATION = 0x40;

// The hook receives the owner window (may be null), the text, the caption and
// the type, and returns the answer: IDOK, IDCANCEL, IDYES or IDNO.
using MessageBoxHook = std::function<int(QWidget* owner, const std::string& text,
                                         const std::string& caption, unsigned type)>;

// Installs `hook` (an empty one restores the real boxes) and returns the
// previous hook, so a test can put it back.
MessageBoxHook SetMessageBoxHook(MessageBoxHook hook);

// Shows a modal box over `owner`, or asks the hook. An empty caption becomes
// "Error", as the window system does. `details` (may be empty) is shown under
// the text: what caused it and what to do next. When the box closes, the
// owner's window is made active again, so that its keys keep working where
// no window manager does that.
int ShowMessageBox(QWidget* owner, const std::string& text, const std::string& caption,
                   unsigned type, const std::string& details = std::string());

// The details of the box being shown, for a hook to see; empty outside one.
const std::string& MessageBoxDetails();

// Makes the window of `owner` the active one and gives it the keyboard
// focus, after a dialog of its own has closed.
void ReturnFocusTo(QWidget* owner);
