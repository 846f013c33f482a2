// The details the window adds under a run's boxes: what caused the box and
// what to do next, from the run's typed outcome. The box's own text, caption
// and type stay as a person has always seen them.
#pragma once

#include <string>

#include "workflow/outcome.h"

namespace box_details {

// Under "Unable to find ... instrument": why none was found.
std::string NotIdentified(const workflow::Cause& cause);
// Under the run lock's box: who holds the instrument, and since when.
std::string Locked(const workflow::Cause& cause);
// Under a box of a run that did not start; empty where the text says it all.
std::string NotStarted(const workflow::Cause& cause);
// Under "Host Upgrade Failed." or "Upgrade failed!": which image, how far it
// got, what the VISA library and the instrument said, what was sent after,
// and what to do next.
std::string ImageFailed(const workflow::ImageOutcome& image, const workflow::RunOutcome& run);
// Under the erase warning: which instrument, and how the release was checked.
std::string EraseWarning(const workflow::RunOutcome& run);

}  // namespace box_details
