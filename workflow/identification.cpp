#include "workflow/identification.h"

#include <cstring>
#include <string>

#include "update.h"

namespace workflow {

namespace {

// Tried in this order. The older model's maker name is followed by a blank,
// the newer models' are not: both spellings are what the instruments send.
constexpr const char* kAcceptedPrefixes[] = {
    "Tavrion Technologies, K7141B",
    "Tavrion Technologies,K7141HA",
    "Tavrion Technologies,K7142HA",
};

constexpr bool AllPrefixesHaveFullLength() {
    for (const char* prefix : kAcceptedPrefixes) {
        if (std::char_traits<char>::length(prefix) != kIdentityPrefixLength) return false;
    }
    return true;
}
static_assert(AllPrefixesHaveFullLength());

}  // namespace

bool IsAcceptedIdentity(const char* reply) {
    // strncmp stops at the reply's terminator, so a reply shorter than a
    // prefix never matches it.
    for (const char* prefix : kAcceptedPrefixes) {
        if (std::strncmp(reply, prefix, kIdentityPrefixLength) == 0) return true;
    }
    return false;
}

bool IdentifyInstrument(const std::string& instrument, std::string& familyName,
                        std::string& hostImageFile, std::string* received) {
    char reply[kIdentityReplySize] = {};
    if (received) received->clear();
    if (!update_identify(instrument.c_str(), reply, kIdentityReplySize, kIdentifyTimeoutMs))
        return false;
    reply[kIdentityReplySize - 1] = '\0';
    if (received) *received = reply;
    if (!IsAcceptedIdentity(reply)) return false;
    familyName = kFamilyName;
    hostImageFile = kHostImageFile;
    return true;
}

}  // namespace workflow
