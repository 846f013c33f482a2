#include "workflow/identification.h"

#include <cctype>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

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

// The names people are told must be the models the prefixes accept.
constexpr bool EveryPrefixEndsInAnAcceptedModel() {
    if (std::size(kAcceptedPrefixes) != std::size(kAcceptedModels)) return false;
    for (const std::string_view prefix : kAcceptedPrefixes) {
        bool named = false;
        for (const std::string_view model : kAcceptedModels)
            named = named ||
                    (prefix.ends_with(model) && (prefix[prefix.size() - model.size() - 1] == ',' ||
                                                 prefix[prefix.size() - model.size() - 1] == ' '));
        if (!named) return false;
    }
    return true;
}
static_assert(EveryPrefixEndsInAnAcceptedModel());

}  // namespace

bool IsAcceptedIdentity(const char* reply) {
    // strncmp stops at the reply's terminator, so a reply shorter than a
    // prefix never matches it.
    for (const char* prefix : kAcceptedPrefixes) {
        if (std::strncmp(reply, prefix, kIdentityPrefixLength) == 0) return true;
    }
    return false;
}

bool IsAcceptedModel(const std::string& model, std::string* canonical) {
    for (const std::string_view accepted : kAcceptedModels) {
        if (model.size() != accepted.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < model.size() && same; ++i)
            same = std::toupper(static_cast<unsigned char>(model[i])) == accepted[i];
        if (!same) continue;
        if (canonical) *canonical = accepted;
        return true;
    }
    return false;
}

std::string AcceptedModelsText() {
    std::string text;
    const std::size_t count = std::size(kAcceptedModels);
    for (std::size_t i = 0; i < count; ++i)
        text += std::string(i == 0 ? "" : i + 1 == count ? " or " : ", ") + kAcceptedModels[i];
    return text;
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
