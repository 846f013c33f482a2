// What the workflow needs from the window in front of the operator.
//
// The main dialog implements it with its log pane, progress bar, wait cursor
// and message boxes; tests implement it with a recorder. The workflow calls
// it on the one thread that runs everything and never keeps a reference
// beyond the call it was handed one for.
#pragma once

#include <cstdio>
#include <string>

#include "platform/shown_text.h"

namespace workflow {

// Box types and answers, in the window system's values.
inline constexpr unsigned kBoxError = 0x10;         // OK button, error icon
inline constexpr unsigned kBoxYesNoWarning = 0x34;  // Yes and No buttons, exclamation icon
inline constexpr unsigned kBoxInformation = 0x40;   // OK button, information icon
inline constexpr int kAnswerOk = 1;
inline constexpr int kAnswerYes = 6;
inline constexpr int kAnswerNo = 7;

class Operator {
public:
    // The log text (the whole of what the log pane shows): replace, append.
    // Neither touches the pane; ShowLog writes the whole text into it.
    virtual void SetLog(const std::string& text) = 0;
    virtual void AppendLog(const std::string& text) = 0;
    virtual void ShowLog() = 0;
    // Moves the pane's view `lines` lines down from where ShowLog left it
    // (the top). Windows without a scrolling pane need not implement it.
    virtual void ScrollLog(int lines) { (void)lines; }

    // Progress bar. A range whose bounds are equal shows an empty bar.
    virtual void SetProgressRange(int lower, int upper) = 0;
    virtual void SetProgressPos(int pos) = 0;

    // Busy indication while the workflow holds the thread; calls pair up.
    virtual void BeginWaitCursor() = 0;
    virtual void EndWaitCursor() = 0;

    // Repaints the whole window at once: the workflow blocks the event loop,
    // so nothing would be shown otherwise.
    virtual void Repaint() = 0;

    // A modal box; `type` and the answer use the window system's values
    // (0x10 error, 0x34 yes/no warning, 0x40 information; IDOK 1, IDYES 6,
    // IDNO 7).
    virtual int MessageBox(const std::string& text, const std::string& caption, unsigned type) = 0;

    // A line for the diagnostic log, which the window never shows: what
    // someone looking into a run wants to know beyond its boxes and log.
    // Paths and replies in it are written out (platform/shown_text.h).
    virtual void Diagnostic(const std::string& line) {
        std::fprintf(stderr, "firmware-update: %s\n", platform::escape_controls(line).c_str());
    }

protected:
    ~Operator() = default;
};

// An operator without a window, for runs without a person (the command line,
// benchmarks): shows nothing and answers every box with OK.
class SilentOperator : public Operator {
public:
    void SetLog(const std::string&) override {}
    void AppendLog(const std::string&) override {}
    void ShowLog() override {}
    void SetProgressRange(int, int) override {}
    void SetProgressPos(int) override {}
    void BeginWaitCursor() override {}
    void EndWaitCursor() override {}
    void Repaint() override {}
    int MessageBox(const std::string&, const std::string&, unsigned) override { return kAnswerOk; }
    void Diagnostic(const std::string&) override {}
};

}  // namespace workflow
