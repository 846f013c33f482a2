#include "workflow/audit_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace workflow {

namespace {

// How much is read at once: a few records, so `history -n 5` reads little.
constexpr std::size_t kBlock = std::size_t{64} << 10;
// A log of garbage must not fill memory with descriptions of it.
constexpr std::size_t kMaxProblems = 20;

std::string SystemError(const std::string& path, const char* what, int code) {
    return "audit log " + path + ": " + what + ": " + std::strerror(code);
}

// Lines in the order read (last first), each whole, handed to a record
// parser; a line that grows past kMaxAuditLine is dropped until its start.
class LineSplitter {
public:
    LineSplitter(const std::function<bool(Json)>& take, std::vector<std::string>& problems)
        : m_take(take), m_problems(problems) {}

    // Takes the block that comes before everything fed so far; false once
    // `take` asked to stop.
    bool Feed(const char* data, std::size_t size) {
        std::size_t end = size;
        while (end > 0) {
            const void* at = ::memrchr(data, '\n', end);
            if (at == nullptr) break;
            const std::size_t newline =
                static_cast<std::size_t>(static_cast<const char*>(at) - data);
            Prepend(data + newline + 1, end - newline - 1);
            if (!EndLine()) return false;
            end = newline;
        }
        Prepend(data, end);
        return true;
    }
    // The log's first line, which no line feed comes before.
    bool Finish() { return EndLine(); }
    // Says how many skipped lines were not described one by one.
    void Summarise() {
        if (m_undescribed > 0)
            m_problems.push_back("and " + std::to_string(m_undescribed) + " more lines skipped");
    }

private:
    void Prepend(const char* data, std::size_t size) {
        if (m_tooLong || size == 0) return;
        if (m_line.size() + size > kMaxAuditLine) {
            m_tooLong = true;
            m_line.clear();
            m_line.shrink_to_fit();
            return;
        }
        m_line.insert(0, data, size);
    }

    bool EndLine() {
        const bool tooLong = m_tooLong;
        m_tooLong = false;
        std::string line;
        line.swap(m_line);
        // The empty "line" after the log's final line feed is none.
        if (!m_started) {
            m_started = true;
            if (line.empty() && !tooLong) return true;
        }
        ++m_number;
        if (tooLong) {
            Problem("longer than " + std::to_string(kMaxAuditLine >> 20) + " MiB, skipped");
            return true;
        }
        if (line.empty()) return true;
        std::string why;
        std::optional<Json> record = ParseJsonObject(line, &why);
        if (!record) {
            Problem(why);
            return true;
        }
        return m_take(std::move(*record));
    }

    void Problem(const std::string& what) {
        if (m_described++ < kMaxProblems)
            m_problems.push_back(Where() + what);
        else
            ++m_undescribed;
    }

    std::string Where() const { return "line " + std::to_string(m_number) + " from the end: "; }

    const std::function<bool(Json)>& m_take;
    std::vector<std::string>& m_problems;
    std::string m_line;
    bool m_tooLong = false;
    long m_number = 0;
    bool m_started = false;
    std::size_t m_described = 0;
    std::size_t m_undescribed = 0;
};

}  // namespace

bool ReadAuditLogBackward(const std::string& path, const std::function<bool(Json record)>& take,
                          std::vector<std::string>& problems, std::string& error,
                          std::uint64_t maxBytes) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT) return true;
        error = SystemError(path, "opening", errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        error = "audit log " + path + ": not a regular file";
        return false;
    }
    // Appends that come while this reads are left for the next reader.
    const off_t stop = maxBytes > 0 && static_cast<std::uint64_t>(st.st_size) > maxBytes
                           ? st.st_size - static_cast<off_t>(maxBytes)
                           : 0;
    LineSplitter lines(take, problems);
    std::vector<char> block(kBlock);
    for (off_t at = st.st_size; at > stop;) {
        const std::size_t want = static_cast<std::size_t>(std::min<off_t>(at - stop, kBlock));
        const ssize_t got = ::pread(fd, block.data(), want, at - static_cast<off_t>(want));
        if (got < 0 && errno == EINTR) continue;
        if (got != static_cast<ssize_t>(want)) {
            const int code = got < 0 ? errno : EIO;  // short: the log shrank under us
            ::close(fd);
            error = SystemError(path, "reading", code);
            return false;
        }
        at -= static_cast<off_t>(want);
        if (!lines.Feed(block.data(), want)) {
            ::close(fd);
            lines.Summarise();
            return true;
        }
    }
    ::close(fd);
    if (stop == 0) lines.Finish();
    lines.Summarise();
    if (stop > 0) {
        // The line cut by the bound is not a record.
        problems.push_back("only the last " + std::to_string(maxBytes >> 20) +
                           " MiB of the log were read");
    }
    return true;
}

bool ReadAuditRecordsBackward(const std::string& path,
                              const std::function<bool(AuditRecord record)>& take,
                              std::vector<std::string>& problems, std::string& error,
                              std::uint64_t maxBytes) {
    return ReadAuditLogBackward(
        path, [&take](const Json& json) { return take(AuditRecordFromJson(json)); }, problems,
        error, maxBytes);
}

}  // namespace workflow
