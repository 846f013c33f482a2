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
#include "workflow/outcome.h"

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

    // What the run has to tell or ask, as intents. Each default shows the
    // box a person has always seen for it, with its exact text, caption and
    // type; the window adds the cause and the next step as the box's
    // details, the command line turns them into its events.

    // Before the Host application erases the instrument's saved states:
    // true to go on. `run` holds the identity and the release's verification.
    virtual bool ConfirmErase(const RunOutcome& run);
    // The run cannot start: no instrument named, a text too long, an image
    // that cannot be sent, a release that failed verification. `text` is
    // the box's text, made by the run.
    virtual void ReportNotStarted(const std::string& text, const Cause& cause);
    // No instrument that may be upgraded answered at the resource (it is
    // unreachable, silent, of another model, or locked by another run).
    virtual void ReportNotIdentified(const Cause& cause);
    // Another run of this machine owns the instrument; `text` is the box's
    // text, made by the run from who holds it.
    virtual void ReportLocked(const std::string& text, const Cause& cause);
    // The Host application failed: the instrument is left in update mode.
    virtual void ReportHostFailed(const ImageOutcome& image, const RunOutcome& run);
    // A later image failed: update mode was ended, no restart.
    virtual void ReportImageFailed(const ImageOutcome& image, const RunOutcome& run);
    // Every image was written; the restart follows the answer.
    virtual void ReportComplete(const RunOutcome& run);

protected:
    ~Operator() = default;
};

// The boxes' texts, as a person has always seen them.
inline constexpr const char* kNoInstrumentText =
    "Please select VISA instrument or \nenter IP address.";
inline constexpr const char* kNotIdentifiedText =
    "Unable to find K7141HA or K7142HA instrument.\nPlease make sure your\ninstrument is "
    "connected.";
inline constexpr const char* kHostWarningText =
    "Instrument saved state(s) will be erased.\nDo you want to proceed?";
inline constexpr const char* kHostFailedText = "Host Upgrade Failed.\n";
inline constexpr const char* kImageFailedText =
    "Upgrade failed!\nPlease re-run the upgrade application.";
inline constexpr const char* kCompleteText =
    "Upgrade complete.\nInstrument will be power cycled on pressing OK";

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
