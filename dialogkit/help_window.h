// The framework's help window: one HTML file shown read-only, over the
// window that asked for it.
#pragma once

#include <QDialog>
#include <QString>
#include <vector>

class QTextBrowser;

// A dialog (not modal) rather than a bare window, so that screen readers
// announce it as a window of its own.
class CHelpWindow : public QDialog {
public:
    // A top-level window owned by `owner` (may be null), titled `title`. It
    // deletes itself when closed (Escape or its close box).
    CHelpWindow(QWidget* owner, const QString& title);

    // Shows the first of `files` that can be read; true if one could. When
    // none can, the window lists the places it looked instead of staying
    // blank. Links inside the file stay inside the window; nothing is ever
    // fetched from the network.
    bool Load(const std::vector<QString>& files);
    // The file shown, empty when none could be read.
    QString GetFile() const { return m_file; }
    QTextBrowser* GetBrowser() const { return m_browser; }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    QTextBrowser* m_browser;
    QString m_file;
};
