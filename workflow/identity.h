// The fields of an identification reply, for people and records.
#pragma once

#include <string>

namespace workflow {

// "<maker>,<model>,<serial>,<firmware>" as IEEE 488.2 has *IDN? answer;
// each field without surrounding blanks and line ends. Missing fields are
// empty; a fifth comma and what follows stay in the firmware field.
struct IdentityFields {
    std::string maker;
    std::string model;
    std::string serial;
    std::string firmware;
};

IdentityFields SplitIdentity(const std::string& reply);

}  // namespace workflow
