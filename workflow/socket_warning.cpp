#include "workflow/socket_warning.h"

#include "visa/rsrc_name.h"

namespace workflow {

std::string UnlockableResourceWarning(const std::string& resource) {
    const std::optional<visa::RsrcName> name = visa::parse_rsrc_name(resource);
    if (!name || name->kind != visa::RsrcKind::socket) return {};
    visa::RsrcName vxi11 = *name;
    vxi11.kind = visa::RsrcKind::vxi11;
    vxi11.device_name = "inst0";
    vxi11.port = 0;
    visa::RsrcName hislip = vxi11;
    hislip.kind = visa::RsrcKind::hislip;
    hislip.device_name = "hislip0";
    return "warning: " + resource +
           " is a raw socket, which cannot be locked against other machines: another computer "
           "may talk to the instrument during the upgrade; prefer " +
           vxi11.canonical() + " or " + hislip.canonical() + " where the instrument offers them";
}

}  // namespace workflow
