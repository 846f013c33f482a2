#include "visa/transports.h"

#include "visa/hislip/hislip_transport.h"
#include "visa/socket/socket_transport.h"
#include "visa/usbtmc/usbtmc_transport.h"
#include "visa/vxi11/vxi11_transport.h"

namespace visa {
namespace {

struct Row {
    RsrcKind kind;
    std::unique_ptr<Transport> (*make)();
};

template <class T>
std::unique_ptr<Transport> make() {
    return std::make_unique<T>();
}

// One row per resource kind. The parser has already decided the kind, so the
// order of rows carries no meaning. Serial resources are
// recognised but have no transport yet.
constexpr Row rows[] = {
    {RsrcKind::vxi11, &make<vxi11::Vxi11Transport>},
    {RsrcKind::socket, &make<socket::SocketTransport>},
    {RsrcKind::hislip, &make<hislip::HislipTransport>},
    {RsrcKind::usb, &make<usbtmc::UsbtmcTransport>},
};

}  // namespace

std::unique_ptr<Transport> make_transport(RsrcKind kind) {
    for (const auto& row : rows)
        if (row.kind == kind) return row.make();
    return nullptr;
}

}  // namespace visa
