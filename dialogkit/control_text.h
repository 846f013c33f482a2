// Reading and writing a control's text the same way whatever widget carries
// it, and the properties the dialog layer keeps on its controls. Shared by
// the dialog, its data exchange and its control factory; not for dialogs.
#pragma once

#include <QString>
#include <string>

class QLineEdit;
class QWidget;

namespace dialog_detail {

// The numeric control id a control carries, and the text limit of an edit.
inline const char* const kIdProperty = "dlgCtrlId";
inline const char* const kLimitProperty = "dlgTextLimit";

// Characters, not bytes, of a UTF-8 text.
int CountChars(const std::string& text);

// Labels, group boxes and progress bars: controls that never take focus.
bool IsStatic(const QWidget* w);

// The text a control shows; multi-line edits give their lines CR LF apart.
QString ControlText(const QWidget* c);
void SetControlText(QWidget* c, const QString& text);

// Stops typing at `limit` characters without cutting a longer text that the
// program put there.
void ApplyTextLimit(QLineEdit* edit, int limit);

// The file of the picture resource `id` (decimal text), or empty.
QString IconPath(const char* id);

}  // namespace dialog_detail
