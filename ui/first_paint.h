// Start-up measurement for benchmarks: with FW_EXIT_AFTER_FIRST_PAINT=1 the
// program prints how long it took to paint its main window for the first
// time and then closes it.
#pragma once

class QApplication;

// Watches `application` for the main window's first paint when the
// environment asks for it; does nothing otherwise. Call once, before the
// main window is shown.
void WatchFirstPaintIfAsked(QApplication& application);
