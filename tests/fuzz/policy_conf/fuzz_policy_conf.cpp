// policy.conf: any text either gives a policy or is refused with a reason
// (the callers stop on a refusal), and a file that says nothing of the
// signature keeps the requirement as it was.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "tests/fuzz/scratch_file.h"
#include "workflow/release_verify.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz::write_scratch("policy.conf", data, size);
    workflow::VerifyPolicy policy;
    policy.m_requireSignature = true;
    std::string error;
    if (workflow::LoadVerifyPolicy(policy, error, path)) {
        if (!error.empty()) std::abort();
        const std::string text(reinterpret_cast<const char*>(data), size);
        if (text.find("require-signature") == std::string::npos && !policy.m_requireSignature)
            std::abort();
    } else if (error.empty()) {
        std::abort();
    }
    return 0;
}
