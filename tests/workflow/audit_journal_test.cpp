// The journal entries of an attempt, as journald would receive them: a test
// socket in the journal's place, in a mount namespace of a child's own, so
// that the machine's journal (if any) sees nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "workflow/audit.h"
#include "workflow/audit_journal.h"

namespace {

using namespace workflow;
using Entry = std::multimap<std::string, std::string>;

// One datagram of the journal's native protocol: KEY=value lines, or KEY,
// a line feed, a little-endian 64-bit length and the value (any bytes).
Entry ParseNative(const std::string& data) {
    Entry entry;
    for (std::size_t at = 0; at < data.size();) {
        const std::size_t nl = data.find('\n', at);
        const std::string line = data.substr(at, nl - at);
        at = nl == std::string::npos ? data.size() : nl + 1;
        if (const std::size_t eq = line.find('='); eq != std::string::npos) {
            entry.emplace(line.substr(0, eq), line.substr(eq + 1));
            continue;
        }
        std::uint64_t size = 0;
        for (int i = 7; i >= 0 && at + 8 <= data.size(); --i)
            size = (size << 8) | static_cast<unsigned char>(data[at + i]);
        entry.emplace(line, data.substr(at + 8, size));
        at += 8 + size + 1;
    }
    return entry;
}

// In the child: the journal's socket, this process's own.
int BindJournalSocket() {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
        return -1;
    if (::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0) return -1;
    ::mkdir("/run/systemd", 0755);
    ::mkdir("/run/systemd/journal", 0755);
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, "/run/systemd/journal/socket");
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return -1;
    return fd;
}

// A failed attempt of the user's own trail, and its restart, in a child
// whose datagrams come back through `out`, each after its length.
[[noreturn]] void RunChild(int out, const std::string& state) {
    const int journal = BindJournalSocket();
    if (journal < 0) ::_exit(77);
    ::setenv("XDG_STATE_HOME", state.c_str(), 1);
    AuditTrail trail("fwupgrade", "TCPIP0::127.0.0.9::INSTR", "/rel/");
    trail.SetIdentity("Maker,K7141HA,S135,3.1\r\n");
    trail.SetChecked({}, "signed", "0123456789ABCDEF0123456789ABCDEF01234567");
    std::string error;
    trail.WriteStarted(error);
    trail.WriteStarted(error);  // the identified line: no second entry
    trail.StartImage("HBRM", "/rel/host/bootrom.bin", 3);
    trail.FinishImage(kAuditOk, std::string(64, 'b'));
    trail.StartImage("HUBL", "/rel/host/ubl-nor-ais.bin", 3);
    trail.FinishImage(kAuditFailed, std::string(64, 'a'));
    trail.SetRestartSent(false);
    trail.Write(kAuditFailed, "no reply\nafter the image", error);
    trail.WriteRestart(error);
    char buffer[65536];
    for (ssize_t n; (n = ::recv(journal, buffer, sizeof buffer, 0)) > 0;) {
        const std::uint32_t size = static_cast<std::uint32_t>(n);
        if (::write(out, &size, sizeof size) != sizeof size || ::write(out, buffer, size) != n)
            ::_exit(1);
    }
    ::_exit(0);
}

TEST(AuditJournalTest, EachAttemptGoesToTheJournalWithItsFields) {
    const std::filesystem::path state =
        std::filesystem::temp_directory_path() / ("journal-test-" + std::to_string(::getpid()));
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t child = ::fork();
    if (child == 0) RunChild(pipeFds[1], state.string());
    ::close(pipeFds[1]);
    std::string received;
    char chunk[4096];
    for (ssize_t n; (n = ::read(pipeFds[0], chunk, sizeof chunk)) > 0;)
        received.append(chunk, static_cast<std::size_t>(n));
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    std::filesystem::remove_all(state);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "no private mount namespace here (needs root)";
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::vector<Entry> entries;
    for (std::size_t at = 0; at + 4 <= received.size();) {
        std::uint32_t size = 0;
        std::memcpy(&size, received.data() + at, sizeof size);
        entries.push_back(ParseNative(received.substr(at + 4, size)));
        at += 4 + size;
    }
    // Its start (once), its end and the restart.
    ASSERT_EQ(entries.size(), 3u);
    const auto one = [](const Entry& entry, const std::string& key) {
        EXPECT_EQ(entry.count(key), 1u) << key;
        return entry.count(key) ? entry.find(key)->second : std::string();
    };
    EXPECT_EQ(one(entries[0], "FW_RECORD"), "started");
    EXPECT_EQ(one(entries[0], "PRIORITY"), "6");
    EXPECT_EQ(entries[0].count("FW_RESULT"), 0u);
    const Entry& final = entries[1];
    EXPECT_EQ(one(final, "MESSAGE"),
              "firmware upgrade of TCPIP0::127.0.0.9::INSTR (K7141HA S135) by " +
                  one(final, "FW_USER") + ": failed: no reply\nafter the image");
    EXPECT_EQ(one(final, "PRIORITY"), "3");
    EXPECT_EQ(one(final, "MESSAGE_ID"), kAuditJournalMessageId);
    EXPECT_EQ(one(final, "SYSLOG_IDENTIFIER"), "fwupgrade");
    EXPECT_EQ(one(final, "FW_SERIAL"), "S135");
    EXPECT_EQ(one(final, "FW_RELEASE"), "/rel/");
    EXPECT_EQ(one(final, "FW_RESULT"), "failed");
    EXPECT_EQ(one(final, "FW_IMAGES"), "HBRM:ok HUBL:failed");
    EXPECT_EQ(final.count("FW_SHA256"), 2u);  // each digest can be looked for
    EXPECT_EQ(one(final, "FW_SIGNER"), "0123456789ABCDEF0123456789ABCDEF01234567");
    EXPECT_EQ(one(final, "FW_RESTART_SENT"), "0");
    EXPECT_EQ(one(final, "FW_ATTEMPT"), one(entries[0], "FW_ATTEMPT"));
    EXPECT_EQ(final.count("FW_FIRMWARE_AFTER"), 0u);  // not known: left out, not empty
    EXPECT_EQ(one(entries[2], "FW_RECORD"), "restart");
    EXPECT_EQ(one(entries[2], "PRIORITY"), "4");
}

}  // namespace
