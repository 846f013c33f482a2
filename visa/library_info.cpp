#include "visa/library_info.h"

#include <cstring>

namespace visa {
namespace {

// A version packs major.minor.sub as 12.12.8 bits (0x00100000 is 1.0.0),
// the layout of the standard's own version attribute.
constexpr ViVersion pack(unsigned major, unsigned minor, unsigned sub) {
    return ViVersion((major & 0xFFFu) << 20 | (minor & 0xFFFu) << 8 | (sub & 0xFFu));
}

constexpr ViVersion impl_version =
    pack(FWVISA_VERSION_MAJOR, FWVISA_VERSION_MINOR, FWVISA_VERSION_PATCH);
// The edition of the VISA library standard whose C interface this follows.
constexpr ViVersion spec_version = pack(5, 0, 0);
constexpr char manufacturer[] = "fwvisa";

#define FWVISA_STR2(x) #x
#define FWVISA_STR(x) FWVISA_STR2(x)
constexpr char name_and_version[] = "fwvisa " FWVISA_STR(FWVISA_VERSION_MAJOR) "." FWVISA_STR(
    FWVISA_VERSION_MINOR) "." FWVISA_STR(FWVISA_VERSION_PATCH);

}  // namespace

const char* library_name_and_version() {
    return name_and_version;
}

bool is_library_attribute(ViAttr attr) {
    return attr == VI_ATTR_RSRC_IMPL_VERSION || attr == VI_ATTR_RSRC_SPEC_VERSION ||
           attr == VI_ATTR_RSRC_MANF_NAME;
}

bool library_attribute(ViAttr attr, void* value) {
    switch (attr) {
        case VI_ATTR_RSRC_IMPL_VERSION:
            std::memcpy(value, &impl_version, sizeof impl_version);
            return true;
        case VI_ATTR_RSRC_SPEC_VERSION:
            std::memcpy(value, &spec_version, sizeof spec_version);
            return true;
        case VI_ATTR_RSRC_MANF_NAME:
            std::memcpy(value, manufacturer, sizeof manufacturer);
            return true;
        default:
            return false;
    }
}

}  // namespace visa
