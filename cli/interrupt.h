// Safe interruption. SIGINT and SIGTERM are taken by a watcher thread, not
// by handlers: the first asks the work to stop at its next safe point (the
// engine is never cut off in the middle of an image), the second runs the
// `second` action, which ends the process at once.
#pragma once

#include <functional>

namespace cli::interrupt {

// Blocks SIGINT and SIGTERM for this thread and every thread it starts later,
// and starts the watcher. Call once, early in main, before other threads.
void start();

// What the watcher runs on the first and on the second signal, on its own
// thread. Without a second action, a second signal ends the process with the
// interrupted status; a third always does. Replacing an action waits until a
// running one has returned; an action must not replace one itself.
void on_first(std::function<void()> action);
void on_second(std::function<void()> action);

// True once the first signal came.
bool requested();

// Waits up to `milliseconds`; true (early) once a stop was requested.
bool sleep_ms(int milliseconds);

// A descriptor that becomes readable once a stop was requested (for poll).
int wake_fd();

}  // namespace cli::interrupt
