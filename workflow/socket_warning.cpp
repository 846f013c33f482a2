#include "workflow/socket_warning.h"

#include "workflow/visa_extension.h"

namespace workflow {

namespace {

// The instrument's `device` resource on the host and board of `socket`, in
// the library's spelling.
std::string Sibling(const ParsedResource& socket, const std::string& device) {
    const std::string text =
        "TCPIP" + std::to_string(socket.m_board) + "::" + socket.m_host + "::" + device + "::INSTR";
    const std::optional<ParsedResource> parsed = ParseResource(text);
    return parsed ? parsed->m_canonical : text;
}

}  // namespace

std::string UnlockableResourceWarning(const std::string& resource) {
    const std::optional<ParsedResource> name = ParseResource(resource);
    if (!name || name->m_protocol != "socket") return {};
    return "warning: " + resource +
           " is a raw socket, which cannot be locked against other machines: another computer "
           "may talk to the instrument during the upgrade; prefer " +
           Sibling(*name, "inst0") + " or " + Sibling(*name, "hislip0") +
           " where the instrument offers them";
}

}  // namespace workflow
