// Asking an instrument who it is, and accepting only the models we upgrade.
#pragma once

#include <cstddef>
#include <string>

namespace workflow {

inline constexpr int kIdentifyTimeoutMs = 2000;
inline constexpr int kIdentityReplySize = 256;
// Every accepted reply starts with one of the known prefixes, compared over
// exactly this many characters.
inline constexpr std::size_t kIdentityPrefixLength = 28;

// What an accepted identification gives, the same for every accepted model.
inline constexpr const char* kFamilyName = "K7100x";
inline constexpr const char* kHostImageFile = "vxWorks_rom.bin";

// The models whose replies are accepted, as people and the model field of a
// reply name them; each accepted prefix ends in one of them.
inline constexpr const char* kAcceptedModels[] = {"K7141HA", "K7142HA", "K7141B"};

// True if `model` is one of kAcceptedModels, compared without regard to case;
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
