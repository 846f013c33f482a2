#include "workflow/run_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <ctime>
#include <string>

#include "platform/abstract_socket.h"
#include "visa/instrument_key.h"
#include "visa/lock_table.h"
#include "visa/rsrc_name.h"
#include "workflow/visa_extension.h"

namespace workflow {
namespace {

using platform::BindResult;

// Keys and instruments of this process alone, so that runs of the suite side
// by side on one machine never meet.
std::string unique_key(const char* what) {
    return std::string("test:") + what + "/" + std::to_string(getpid());
}

std::string unique_loopback_rsrc() {
    const unsigned p = unsigned(getpid());
    return "TCPIP0::127." + std::to_string((p >> 16) & 255) + "." + std::to_string((p >> 8) & 255) +
           "." + std::to_string(p & 255) + "::inst0::INSTR";
}

// Another process that takes the run lock `key` as "fwupgrade" and keeps it
// until killed.
class HolderProcess {
public:
    explicit HolderProcess(const std::string& key) {
        int ready[2];
        if (pipe(ready) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            RunLockResult result;
            auto lock = RunLock::TryAcquire(key, "fwupgrade", &result, nullptr, nullptr);
            const char c = lock ? 'y' : 'n';
            if (write(ready[1], &c, 1) != 1) _exit(1);
            pause();
            _exit(0);
        }
        close(ready[1]);
        char c = 0;
        holds_ = pid_ > 0 && read(ready[0], &c, 1) == 1 && c == 'y';
        close(ready[0]);
    }
    ~HolderProcess() { kill_it(); }

    // As a crash would: nothing is released by the holder itself.
    void kill_it() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    pid_t pid() const { return pid_; }
    bool holds() const { return holds_; }

private:
    pid_t pid_ = -1;
    bool holds_ = false;
};

TEST(RunLock, AnotherRunIsToldWhoHoldsIt) {
    const std::string key = unique_key("held");
    const std::time_t before = std::time(nullptr);
    HolderProcess holder(key);
    ASSERT_TRUE(holder.holds());

    RunLockResult result = RunLockResult::Granted;
    RunLockHolder who;
    std::string why;
    EXPECT_EQ(RunLock::TryAcquire(key, "window", &result, &who, &why), nullptr);
    EXPECT_EQ(result, RunLockResult::Held);
    EXPECT_TRUE(who.m_known);
    EXPECT_EQ(who.m_pid, holder.pid());
    EXPECT_EQ(who.m_uid, long(geteuid()));
    EXPECT_EQ(who.m_tool, "fwupgrade");
    std::tm tm{};
    ASSERT_NE(strptime(who.m_since.c_str(), "%Y-%m-%dT%H:%M:%SZ", &tm), nullptr) << who.m_since;
    const std::time_t since = timegm(&tm);
    EXPECT_LE(before, since);
    EXPECT_LE(since, std::time(nullptr));
    EXPECT_EQ(why, "locked by another upgrade: " + who.m_user + ", pid " +
                       std::to_string(holder.pid()) + ", since " + who.m_since);

    // A killed holder leaves nothing behind.
    holder.kill_it();
    auto lock = RunLock::TryAcquire(key, "window", &result, &who, &why);
    EXPECT_NE(lock, nullptr) << why;
    EXPECT_EQ(result, RunLockResult::Granted);
}

TEST(RunLock, ReleasedOnDestructionAndKeysIndependent) {
    const std::string a = unique_key("a"), b = unique_key("b");
    RunLockResult result;
    RunLockHolder who;
    std::string why;
    auto first = RunLock::TryAcquire(a, "the window", &result, &who, &why);
    ASSERT_NE(first, nullptr) << why;
    // A second run in this very process is told too; the tool stays one word.
    EXPECT_EQ(RunLock::TryAcquire(a, "fwupgrade", &result, &who, &why), nullptr);
    EXPECT_EQ(result, RunLockResult::Held);
    EXPECT_EQ(who.m_pid, long(getpid()));
    EXPECT_EQ(who.m_tool, "the_window");
    auto second = RunLock::TryAcquire(b, "fwupgrade", &result, &who, &why);
    EXPECT_NE(second, nullptr) << why;
    first.reset();
    auto again = RunLock::TryAcquire(a, "fwupgrade", &result, &who, &why);
    EXPECT_NE(again, nullptr) << why;
}

// A run keeps its instrument and still takes the per-operation locks on it;
// children it starts hold neither.
TEST(RunLock, LeavesVisaLocksFreeAndChildrenOut) {
    const std::string rsrc = unique_loopback_rsrc();
    std::string why;
    const std::string key = unique_key("visa");
    RunLockResult result;
    auto run = RunLock::TryAcquire(key, "window", &result, nullptr, &why);
    ASSERT_NE(run, nullptr) << why;
    visa::LockTable& visa_locks = visa::LockTable::process();
    const std::string lock_key = visa::instrument_key(*visa::parse_rsrc_name(rsrc));
    ASSERT_EQ(visa_locks.acquire(lock_key, 1, VI_EXCLUSIVE_LOCK, "", 0), VI_SUCCESS);

    // A program started while both are held (close-on-exec) keeps neither.
    int input[2], exec_done[2];
    ASSERT_EQ(pipe2(input, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(exec_done, O_CLOEXEC), 0);
    pid_t child = fork();
    if (child == 0) {
        dup2(input[0], 0);
        execl("/bin/sh", "sh", "-c", "cat >/dev/null", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(input[0]);
    // Until exec the child shares every descriptor: wait for its exec to
    // close the last write end of exec_done.
    close(exec_done[1]);
    char c;
    EXPECT_EQ(read(exec_done[0], &c, 1), 0);
    close(exec_done[0]);
    run.reset();
    visa_locks.release_all(lock_key, 1);
    EXPECT_NE(RunLock::TryAcquire(key, "window", &result, nullptr, &why), nullptr) << why;
    visa::LockTable other("fwvisa/");  // the same names as the process table
    EXPECT_EQ(other.acquire(lock_key, 2, VI_EXCLUSIVE_LOCK, "", 0), VI_SUCCESS);
    other.release_all(lock_key, 2);
    close(input[1]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// A name taken by something that does not answer as a run lock: refused as
// unavailable, naming who has it, whether it listens or not.
TEST(RunLock, ForeignHolderIsUnavailable) {
    const std::string listening = unique_key("mute"), bound = unique_key("bound");
    int mute;
    std::string why;
    ASSERT_EQ(platform::bind_abstract(RunLockName(listening), &mute, &why), BindResult::bound)
        << why;
    int quiet = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string name = RunLockName(bound);
    name.copy(addr.sun_path + 1, name.size());
    ASSERT_EQ(::bind(quiet, reinterpret_cast<sockaddr*>(&addr),
                     socklen_t(offsetof(sockaddr_un, sun_path) + 1 + name.size())),
              0);
    for (const std::string& key : {listening, bound}) {
        RunLockResult result;
        RunLockHolder who;
        EXPECT_EQ(RunLock::TryAcquire(key, "window", &result, &who, &why), nullptr);
        EXPECT_EQ(result, RunLockResult::Unavailable);
        EXPECT_EQ(who.m_tool, "");
        EXPECT_EQ(why, "lock unavailable: run lock " + key + " is held by " +
                           platform::user_name(geteuid()) + " (pid " + std::to_string(getpid()) +
                           ")");
    }
    close(mute);
    close(quiet);
}

TEST(RunLock, Keys) {
    std::string why;
    EXPECT_EQ(RunLockKey("not a resource", &why), "");
    EXPECT_NE(why.find("not a resource"), std::string::npos) << why;
    EXPECT_EQ(RunLockSerialKey("PS-100", "AbC12"), "serial:ps-100/abc12");
    EXPECT_LE(RunLockName(std::string(500, 'k')).size(), platform::max_abstract_name);
    // Every name of one instrument gives one key, once the library can say.
    const std::string rsrc = unique_loopback_rsrc();
    if (!InstrumentKey(rsrc)) GTEST_SKIP() << "the library in use gives no instrument key";
    const std::string key = RunLockKey(rsrc, &why);
    EXPECT_EQ(key.rfind("instrument:", 0), 0u) << why;
    EXPECT_EQ(
        RunLockKey("TCPIP1::" + rsrc.substr(8, rsrc.find("::inst0") - 8) + "::5025::SOCKET", &why),
        key);
    EXPECT_EQ(RunLockKey("USB0::0x1A2B::0x0C3D::SN1::INSTR", &why),
              RunLockKey("usb1::0x1a2b::0x0c3d::sn1::INSTR", &why));
}

}  // namespace
}  // namespace workflow
