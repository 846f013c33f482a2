// The instrument models this program upgrades: one row each, from which
// identification, the command line's --model, the simulator's --model and
// the man pages' lists all come. A new model is a new row here.
//
// Other rooms see this header under a name of their own (the simulator
// does), so it includes nothing of ours and holds nothing but the table.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace workflow {

struct AcceptedModel {
    // As people and the model field of a reply name it.
    const char* m_model;
    // How the instrument's identification reply begins, compared over
    // kIdentityPrefixLength characters. The older model's maker name is
    // followed by a blank, the newer models' are not: both spellings are
    // what the instruments send.
    const char* m_identityPrefix;
    // What an accepted identification gives the run.
    const char* m_familyName;
    const char* m_hostImageFile;
};

// Every accepted reply starts with one of the prefixes, compared over
// exactly this many characters.
inline constexpr std::size_t kIdentityPrefixLength = 28;

// In the order people are told them; the first is the simulator's default.
inline constexpr AcceptedModel kAcceptedModelTable[] = {
    {"K7141HA", "Tavrion Technologies,K7141HA", "K7100x", "vxWorks_rom.bin"},
    {"K7142HA", "Tavrion Technologies,K7142HA", "K7100x", "vxWorks_rom.bin"},
    {"K7141B", "Tavrion Technologies, K7141B", "K7100x", "vxWorks_rom.bin"},
};

// The models for a sentence: "A, B" + `last` + "C" ("K7141HA, K7142HA or
// K7141B" with " or ").
inline std::string AcceptedModelList(std::string_view last) {
    std::string text;
    const std::size_t count = std::size(kAcceptedModelTable);
    for (std::size_t i = 0; i < count; ++i) {
        text += i == 0 ? "" : i + 1 == count ? std::string(last) : ", ";
        text += kAcceptedModelTable[i].m_model;
    }
    return text;
}

// Each prefix is compared over its full length and ends in its model after a
// comma or a blank, so a reply's model field names the row it matched.
constexpr bool AcceptedModelTableIsSound() {
    for (const AcceptedModel& row : kAcceptedModelTable) {
        const std::string_view prefix = row.m_identityPrefix, model = row.m_model;
        if (prefix.size() != kIdentityPrefixLength || !prefix.ends_with(model)) return false;
        const char before = prefix[prefix.size() - model.size() - 1];
        if (before != ',' && before != ' ') return false;
    }
    return true;
}
static_assert(AcceptedModelTableIsSound());

}  // namespace workflow
