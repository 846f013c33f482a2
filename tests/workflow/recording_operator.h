// An Operator that records what the workflow shows, in order.
#pragma once

#include <string>
#include <vector>

#include "workflow/operator.h"

class RecordingOperator : public workflow::Operator {
public:
    void SetLog(const std::string& text) override { m_log = text; }
    void AppendLog(const std::string& text) override { m_log += text; }
    void ShowLog() override {
        m_pane = m_log;
        m_events.push_back("pane:" + m_pane);
    }
    void ScrollLog(int lines) override { m_events.push_back("scroll:" + std::to_string(lines)); }
    void SetProgressRange(int lower, int upper) override {
        m_lower = lower;
        m_upper = upper;
        m_events.push_back("range:" + std::to_string(lower) + ".." + std::to_string(upper));
    }
    void SetProgressPos(int pos) override {
        m_pos = pos;
        m_events.push_back("pos:" + std::to_string(pos));
    }
    void BeginWaitCursor() override {
        ++m_waitDepth;
        m_events.push_back("wait:begin");
    }
    void EndWaitCursor() override {
        --m_waitDepth;
        m_events.push_back("wait:end");
    }
    void Repaint() override { m_events.push_back("repaint"); }
    int MessageBox(const std::string& text, const std::string& caption, unsigned type) override {
        m_events.push_back("box:" + caption + ":" + text + ":" + std::to_string(type));
        return m_answer;
    }
    // Kept apart from the events: the window never shows them.
    void Diagnostic(const std::string& line) override { m_diagnostics.push_back(line); }

    std::vector<std::string> m_diagnostics;
    std::string m_log;
    std::string m_pane;
    int m_lower = 0;
    int m_upper = 100;
    int m_pos = 0;
    int m_waitDepth = 0;
    int m_answer = 1;
    std::vector<std::string> m_events;
};
