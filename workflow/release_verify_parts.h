// What the parts of release verification share: reading the release's and
// the administrator's small files, the list's lines and paths, and the
// signature check. Not for use outside workflow/release_verify*.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "workflow/release_verify.h"

namespace workflow::detail {

inline constexpr std::size_t kSumsCap = std::size_t{1} << 20;
inline constexpr std::size_t kSignatureCap = std::size_t{1} << 20;
inline constexpr std::size_t kKeyCap = std::size_t{16} << 20;
inline constexpr std::size_t kPolicyCap = std::size_t{64} << 10;

enum class ReadResult { Ok, Missing, Error };

// Reads the open file `fd` whole when it is a regular file of at most `cap`
// bytes; false with `why` otherwise. Leaves `fd` open.
bool ReadDescriptor(int fd, std::size_t cap, std::string& content, std::string& why);

// Reads a small file whole: regular files only (opened without waiting, so a
// FIFO or a device named in its place is refused at once), at most `cap`
// bytes. Missing only when the name does not exist.
ReadResult ReadSmallFile(const std::string& path, std::size_t cap, std::string& content,
                         std::string& why);

// The administrator's files, read only when nobody but root can have written
// them or the folders above them (see platform/root_owned.h); `why` names
// the file or folder and the rule. Missing only when the name does not exist
// below folders that are safe.
ReadResult ReadRootOwnedFile(const std::string& path, std::size_t cap, unsigned owner,
                             std::string& content, std::string& why);

// The lines of `text`, each without its '\r\n' or '\n'.
std::vector<std::string> Lines(const std::string& text);

// "./host//x.bin" -> "host/x.bin". False for absolute paths, ".." anywhere
// and empty paths: a list entry must stay inside the release directory.
bool NormalizeRelative(const std::string& path, std::string& normal);

// A failed verification saying `message`, with the files checked so far.
ReleaseVerification Failed(std::string message, std::vector<std::string> checked = {});

// Has gpgv check `signature` over the list `sums`: `checksummed` raised to
// signed, or the failure.
ReleaseVerification CheckSignature(const VerifyPolicy& policy, const std::string& sums,
                                   const std::string& signature, ReleaseVerification checksummed,
                                   const std::function<bool()>& stopRequested);

}  // namespace workflow::detail
