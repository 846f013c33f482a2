#include "help_window.h"

#include <QFileInfo>
#include <QKeyEvent>
#include <QTextBrowser>
#include <QTextDocument>
#include <QUrl>
#include <QVBoxLayout>

CHelpWindow::CHelpWindow(QWidget* owner, const QString& title)
    : QDialog(owner), m_browser(new QTextBrowser(this)) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(title);
    setAccessibleName(title);
    m_browser->setAccessibleName(QStringLiteral("Help text"));
    m_browser->setReadOnly(true);
    m_browser->setOpenLinks(false);
    m_browser->document()->setDocumentMargin(12);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_browser);
    resize(640, 560);
    setFocusProxy(m_browser);
    // Only links within the help's own files are followed: it is read
    // offline, and a link must never start a browser or a download.
    connect(m_browser, &QTextBrowser::anchorClicked, this, [this](const QUrl& link) {
        const QUrl target = m_browser->source().resolved(link);
        if (target.isLocalFile()) m_browser->setSource(target);
    });
}

void CHelpWindow::keyPressEvent(QKeyEvent* event) {
    // The text view leaves Escape to its window, which closes as a dialog does.
    if (event->key() == Qt::Key_Escape && (event->modifiers() & ~Qt::KeypadModifier) == 0) {
        close();
        return;
    }
    QDialog::keyPressEvent(event);
}

bool CHelpWindow::Load(const std::vector<QString>& files) {
    for (const QString& file : files) {
        const QFileInfo info(file);
        if (!info.isFile() || !info.isReadable()) continue;
        m_file = info.absoluteFilePath();
        m_browser->setSource(QUrl::fromLocalFile(m_file), QTextDocument::HtmlResource);
        return true;
    }
    QString text = QStringLiteral("The help file could not be found. It was looked for in:\n");
    for (const QString& file : files)
        text += QStringLiteral("\n    ") + file;
    if (files.empty()) text += QStringLiteral("\n    (no place is known)");
    m_browser->setPlainText(text);
    return false;
}
