#pragma once

#include "visa.h"

namespace visa {

// This library's name and version, as "fwvisa 1.0.0".
const char* library_name_and_version();

// Answers the attributes that describe the library itself (manufacturer,
// its own version and the VISA version it implements), which every object has, the
// resource manager included. Writes exactly the attribute's size at `value`;
// returns false, writing nothing, for any other attribute.
bool library_attribute(ViAttr attr, void* value);

// True for the attributes library_attribute() answers: they are read-only.
bool is_library_attribute(ViAttr attr);

}  // namespace visa
