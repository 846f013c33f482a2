#pragma once

#include <cstddef>

#include "visa.h"

namespace visa {

// Writes "<SYMBOL>: <sentence>" for `status` into `out` (at most `size`
// bytes with the terminator). Returns false, with a generic text, for a
// status the library does not know.
bool status_desc(ViStatus status, char* out, size_t size);

}  // namespace visa
