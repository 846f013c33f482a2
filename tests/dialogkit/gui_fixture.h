// Shared helpers of the GUI tests: a recording message-box hook and a way to
// answer a modal dialog that is about to run.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

#include "message_box.h"
#include "resource.h"

struct RecordedBox {
    std::string m_text;
    std::string m_caption;
    unsigned m_type;
    std::string m_details;
};

// Records every message box while it lives and answers with m_answer.
class BoxRecorder {
public:
    BoxRecorder() {
        m_previous = SetMessageBoxHook(
            [this](QWidget*, const std::string& text, const std::string& caption, unsigned type) {
                m_boxes.push_back({text, caption, type, MessageBoxDetails()});
                return m_answer;
            });
    }
    ~BoxRecorder() { SetMessageBoxHook(m_previous); }

    std::vector<RecordedBox> m_boxes;
    int m_answer = IDOK;

private:
    MessageBoxHook m_previous;
};

// Once the event loop runs (inside the next DoModal), hands the active modal
// dialog, or null, to `inspect`, then cancels it. Returns a flag that tells
// whether a modal dialog was seen.
inline std::shared_ptr<bool> AnswerNextModal(std::function<void(QDialog*)> inspect = {}) {
    auto seen = std::make_shared<bool>(false);
    QTimer::singleShot(0, qApp, [seen, inspect] {
        auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        *seen = modal != nullptr;
        if (inspect) inspect(modal);
        if (modal) modal->reject();
    });
    return seen;
}
