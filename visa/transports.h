#pragma once

#include <memory>

#include "visa/rsrc_name.h"
#include "visa/transport.h"

namespace visa {

// A new, unopened transport for resources of `kind`, or nullptr when this
// build has none (the caller answers VI_ERROR_RSRC_NFOUND).
std::unique_ptr<Transport> make_transport(RsrcKind kind);

}  // namespace visa
