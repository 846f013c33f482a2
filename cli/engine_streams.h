// What the engine tells the command line while a run talks to an
// instrument: its printed lines and typed events (workflow/engine_events.h),
// and the progress line made of those events.
#pragma once

#include <cstdint>
#include <string>

#include "workflow/engine_events.h"

namespace cli {

using workflow::EngineEvents;
using workflow::EngineStreams;

// "1.5 MiB of 4.0 MiB  37%  820 KiB/s  3 s left": an image's progress for a
// terminal line, after `seconds` of sending. Rate and time left only once
// they can be told.
std::string progress_text(int64_t sent, int64_t total, double seconds);

}  // namespace cli
