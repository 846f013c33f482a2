// Requests from outside to end the program: SIGTERM, SIGHUP (the session is
// ending) and SIGINT. An upgrade run blocks the window's event loop, so a
// signal only sets a flag, which the run reads at its safe points, and wakes
// the event loop through a pipe for when no run is under way. The process is
// never ended by these signals themselves: a run always leaves the
// instrument's update mode first.
#pragma once

namespace stop_signals {

// Installs the handlers (restarting interrupted system calls). Once, early
// in main, before any thread is started. False when it could not.
bool Install();

// True once one of the signals came.
bool Requested();

// A descriptor that becomes readable when a signal came, for the event loop;
// -1 before Install. Drain() empties it.
int WakeFd();
void Drain();

// Forgets a request that was heeded, for a program that goes on to show
// another window.
void Clear();

}  // namespace stop_signals
