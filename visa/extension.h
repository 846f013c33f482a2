#pragma once

#include <cstddef>
#include <optional>

#include "fwvisa_ext.h"
#include "visa/failure.h"

// The values behind fwvisa_ext.h's functions, for the entry points in
// visa_api.cpp and for test doubles that answer with the real parser.
namespace visa::ext {

// Fills `out` (its `size` checked) from `failure`; FWVISA_NOTHING when there
// is none. A lock refusal's holder is looked up now.
fwvisa_status fill_failure(const std::optional<Failure>& failure, fwvisa_failure* out);

fwvisa_status fill_resource(const char* resource, fwvisa_resource* out);

fwvisa_status fill_instrument_key(const char* resource, char* key, size_t key_size);

// When the process `pid` started, as "2026-01-31T12:00:00Z"; "" when not known.
std::string process_start_utc(long pid);

}  // namespace visa::ext
