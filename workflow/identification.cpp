#include "workflow/identification.h"

#include <cctype>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

#include "update.h"

namespace workflow {

namespace {

// The row whose prefix the first kIdentityPrefixLength characters of `reply`
// (a terminated text) are; strncmp stops at the reply's terminator, so a
// reply shorter than a prefix matches none.
const AcceptedModel* AcceptedModelOf(const char* reply) {
    for (const AcceptedModel& row : kAcceptedModelTable) {
        if (std::strncmp(reply, row.m_identityPrefix, kIdentityPrefixLength) == 0) return &row;
    }
    return nullptr;
}

}  // namespace

bool IsAcceptedIdentity(const char* reply) {
    return AcceptedModelOf(reply) != nullptr;
}

bool IsAcceptedModel(const std::string& model, std::string* canonical) {
    for (const AcceptedModel& row : kAcceptedModelTable) {
        const std::string_view accepted = row.m_model;
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
    return AcceptedModelList(" or ");
}

bool IdentifyInstrument(const std::string& instrument, std::string& familyName,
                        std::string& hostImageFile, std::string* received) {
    char reply[kIdentityReplySize] = {};
    if (received) received->clear();
    if (!update_identify(instrument.c_str(), reply, kIdentityReplySize, kIdentifyTimeoutMs))
        return false;
    reply[kIdentityReplySize - 1] = '\0';
    if (received) *received = reply;
    const AcceptedModel* model = AcceptedModelOf(reply);
    if (model == nullptr) return false;
    familyName = model->m_familyName;
    hostImageFile = model->m_hostImageFile;
    return true;
}

}  // namespace workflow
