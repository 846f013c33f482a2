// Release verification's files: reading them, the list's lines and paths,
// SHA256SUMS and the administrator's policy.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>

#include "platform/lines.h"
#include "platform/regular_file.h"
#include "platform/root_owned.h"
#include "platform/trim.h"
#include "platform/unique_fd.h"
#include "workflow/release_verify.h"
#include "workflow/release_verify_parts.h"

namespace workflow {

namespace detail {

namespace {

std::string TooLarge(std::size_t cap) {
    return "larger than " + std::to_string(cap) + " bytes";
}

// The sentence for a refused file; the FIFO or device itself is not named.
std::string RefusalWhy(platform::FileRefusal refusal, int error, std::size_t cap) {
    switch (refusal) {
        case platform::FileRefusal::not_regular:
            return "not a regular file";
        case platform::FileRefusal::too_large:
            return TooLarge(cap);
        default:
            return std::strerror(error);
    }
}

bool ReadAll(int fd, std::size_t cap, std::string& content, std::string& why) {
    int error = 0;
    if (platform::read_capped(fd, cap, &content, &error)) return true;
    why = error != 0 ? std::string(std::strerror(error)) : TooLarge(cap);
    return false;
}

}  // namespace

bool ReadDescriptor(int fd, std::size_t cap, std::string& content, std::string& why) {
    struct stat st {};
    int error = 0;
    const platform::FileRefusal refusal = platform::check_regular(fd, cap, &st, &error);
    if (refusal != platform::FileRefusal::none) {
        why = RefusalWhy(refusal, error, cap);
        return false;
    }
    return ReadAll(fd, cap, content, why);
}

ReadResult ReadSmallFile(const std::string& path, std::size_t cap, std::string& content,
                         std::string& why) {
    const platform::RegularFile file = platform::open_regular(path, cap);
    if (file.refusal == platform::FileRefusal::missing) return ReadResult::Missing;
    if (!file) {
        why = RefusalWhy(file.refusal, file.error, cap);
        return ReadResult::Error;
    }
    return ReadAll(file.fd.get(), cap, content, why) ? ReadResult::Ok : ReadResult::Error;
}

ReadResult ReadRootOwnedFile(const std::string& path, std::size_t cap, unsigned owner,
                             std::string& content, std::string& why) {
    bool missing = false;
    const platform::UniqueFd fd(
        platform::open_root_owned(path, O_RDONLY | O_NONBLOCK | O_NOCTTY, why, &missing, owner));
    if (!fd) return missing ? ReadResult::Missing : ReadResult::Error;
    return ReadDescriptor(fd.get(), cap, content, why) ? ReadResult::Ok : ReadResult::Error;
}

std::vector<std::string> Lines(const std::string& text) {
    return platform::split_lines(text);
}

bool NormalizeRelative(const std::string& path, std::string& normal) {
    if (path.empty() || path[0] == '/') return false;
    normal.clear();
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        const std::string part = path.substr(start, end - start);
        if (part == "..") return false;
        if (!part.empty() && part != ".") normal += (normal.empty() ? "" : "/") + part;
        start = end + 1;
    }
    return !normal.empty();
}

ReleaseVerification Failed(std::string message, std::vector<std::string> checked) {
    ReleaseVerification result;
    result.m_status = ReleaseVerification::Status::Failed;
    result.m_message = std::move(message);
    result.m_filesChecked = std::move(checked);
    return result;
}

}  // namespace detail

namespace {

using detail::Lines;
using detail::NormalizeRelative;

// sha256sum writes a name holding '\\', '\n' or '\r' escaped, and marks the
// line with a leading backslash.
bool Unescape(const std::string& escaped, std::string& name) {
    name.clear();
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] != '\\') {
            name += escaped[i];
            continue;
        }
        if (++i == escaped.size()) return false;
        switch (escaped[i]) {
            case '\\':
                name += '\\';
                break;
            case 'n':
                name += '\n';
                break;
            case 'r':
                name += '\r';
                break;
            default:
                return false;
        }
    }
    return true;
}

// SHA256SUMS as `sha256sum -c` reads it: relative path -> lower-case digest.
bool ParseSums(const std::string& content, std::map<std::string, std::string>& sums,
               std::string& why) {
    const std::vector<std::string> lines = Lines(content);
    for (std::size_t number = 1; number <= lines.size(); ++number) {
        std::string line = lines[number - 1];
        if (platform::trim(line).empty()) continue;
        const std::string where = "line " + std::to_string(number) + ": ";
        const bool escaped = line[0] == '\\';
        if (escaped) line.erase(0, 1);
        if (line.size() < 67 || line[64] != ' ' || (line[65] != ' ' && line[65] != '*') ||
            !std::all_of(line.begin(), line.begin() + 64,
                         [](unsigned char c) { return std::isxdigit(c) != 0; })) {
            why = where + "not \"<SHA-256>  <file>\" as sha256sum writes it";
            return false;
        }
        std::string digest = line.substr(0, 64);
        std::transform(digest.begin(), digest.end(), digest.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        std::string name = line.substr(66), path;
        if (escaped && !Unescape(line.substr(66), name)) {
            why = where + "a bad escape in the file name";
            return false;
        }
        if (!NormalizeRelative(name, path)) {
            why = where + "'" + name + "' is not a path inside the release directory";
            return false;
        }
        const auto [at, added] = sums.emplace(path, digest);
        if (!added && at->second != digest) {
            why = where + path + " is listed again with another SHA-256";
            return false;
        }
    }
    return true;
}

}  // namespace

const char* ReleaseVerification::ResultWord() const {
    switch (m_status) {
        case ReleaseVerification::Status::NotChecksummed:
            return "not checksummed";
        case ReleaseVerification::Status::Checksummed:
            return "checksummed";
        case ReleaseVerification::Status::Signed:
            return "signed";
        case ReleaseVerification::Status::Failed:
            break;
    }
    return "failed";
}

bool LoadVerifyPolicy(VerifyPolicy& policy, std::string& error, const std::string& path) {
    std::string content, why;
    switch (detail::ReadRootOwnedFile(path, detail::kPolicyCap, policy.m_keyOwner, content, why)) {
        case detail::ReadResult::Missing:
            return true;
        case detail::ReadResult::Error:
            error = "policy " + path + ": " + why;
            return false;
        case detail::ReadResult::Ok:
            break;
    }
    // Each setting's value and the line that gave it first.
    std::map<std::string, std::pair<bool, std::size_t>> given;
    const std::vector<std::string> lines = Lines(content);
    for (std::size_t number = 1; number <= lines.size(); ++number) {
        std::string line = lines[number - 1];
        if (const std::size_t hash = line.find('#'); hash != std::string::npos) line.resize(hash);
        line = std::string(platform::trim(line));
        if (line.empty()) continue;
        const std::string where = "policy " + path + ": line " + std::to_string(number) + ": ";
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) {
            error = where + "not \"setting = value\"";
            return false;
        }
        const std::string key(platform::trim(std::string_view(line).substr(0, eq)));
        const std::string value(platform::trim(std::string_view(line).substr(eq + 1)));
        if (key != "require-signature" && key != "allow-user-keyrings") {
            error = where + "unknown setting '" + key + "'";
            return false;
        }
        if (value != "yes" && value != "no") {
            error = where + key + " is yes or no, not '" + value + "'";
            return false;
        }
        const auto [at, first] = given.emplace(key, std::make_pair(value == "yes", number));
        if (!first && at->second.first != (value == "yes")) {
            error = where + key + " is set again, to another value than on line " +
                    std::to_string(at->second.second);
            return false;
        }
    }
    const auto require = given.find("require-signature");
    const auto allow = given.find("allow-user-keyrings");
    if (require != given.end()) policy.m_requireSignature = require->second.first;
    if (allow != given.end())
        policy.m_allowUserKeyrings = allow->second.first;
    else if (require != given.end())
        policy.m_allowUserKeyrings = !require->second.first;
    return true;
}

bool ParseSha256Sums(const std::string& content, std::map<std::string, std::string>& sums,
                     std::string& why) {
    return ParseSums(content, sums, why);
}

}  // namespace workflow
