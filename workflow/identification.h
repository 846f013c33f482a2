// Asking an instrument who it is, and accepting only the models we upgrade.
#pragma once

#include <cstddef>
#include <string>

#include "workflow/accepted_models.h"

namespace workflow {

inline constexpr int kIdentifyTimeoutMs = 2000;
inline constexpr int kIdentityReplySize = 256;

// What an accepted identification gives, the same for every accepted model
// today (the table's rows may differ one day; these name its first).
inline constexpr const char* kFamilyName = kAcceptedModelTable[0].m_familyName;
inline constexpr const char* kHostImageFile = kAcceptedModelTable[0].m_hostImageFile;

// True if `model` is one of kAcceptedModelTable's models, compared without regard to case;
// `canonical`, when given, gets the list's spelling.
bool IsAcceptedModel(const std::string& model, std::string* canonical = nullptr);

// "K7141HA, K7142HA or K7141B": the accepted models for a sentence.
std::string AcceptedModelsText();

// True if the first kIdentityPrefixLength characters of `reply` (a terminated
// text) are one of the accepted prefixes; a shorter reply matches none.
bool IsAcceptedIdentity(const char* reply);

// Queries `instrument` (a VISA resource string) for its identity. On an
// accepted reply sets the family name and the Host application's file name
// and returns true; otherwise returns false and changes neither. When asked,
// `reply` gets the reply as received (empty when none came), accepted or not.
bool IdentifyInstrument(const std::string& instrument, std::string& familyName,
                        std::string& hostImageFile, std::string* reply = nullptr);

}  // namespace workflow
