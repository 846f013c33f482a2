// Another unprivileged user of this machine against the locks we hold: a
// throwaway system user, made for the run (needs root) and acting from child
// processes.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/abstract_socket.h"
#include "visa/lock_table.h"
#include "visa/log.h"
#include "workflow/run_lock.h"

namespace visa {
namespace {

using platform::bind_abstract;
using platform::BindResult;
using platform::name_piece;
using workflow::RunLock;
using workflow::RunLockHolder;
using workflow::RunLockName;
using workflow::RunLockResult;

std::mutex log_mutex;
std::vector<std::string> log_lines;
void keep_line(const char* line) {
    std::lock_guard<std::mutex> guard(log_mutex);
    log_lines.emplace_back(line);
}

char code(ViStatus st) {
    return st == VI_SUCCESS ? 'y' : st == VI_ERROR_TMO ? 't' : 'f';
}

class OtherUser : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (geteuid() != 0) return;
        const std::string name = "fwlocktest-" + std::to_string(getpid());
        const std::string add =
            "useradd --system --no-create-home --shell /usr/sbin/nologin " + name;
        if (std::system(add.c_str()) != 0) return;
        user_ = name;
        if (passwd* pw = getpwnam(name.c_str())) {
            uid_ = pw->pw_uid;
            gid_ = pw->pw_gid;
        }
    }
    static void TearDownTestSuite() {
        if (!user_.empty()) (void)!std::system(("userdel " + user_).c_str());
        user_.clear();
    }

    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
        ASSERT_FALSE(user_.empty()) << "useradd failed";
        ASSERT_NE(uid_, 0u);
        static int n = 0;
        prefix_ = "fwvisa-test/" + std::to_string(getpid()) + "." + std::to_string(++n) + "/";
    }
    void TearDown() override {
        for (pid_t pid : children_) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        set_log_sink(nullptr);
    }

    struct Attacker {
        pid_t pid = -1;
        std::string said;
    };

    // Runs `step` as the other user in a child process, which reports one
    // line and keeps whatever it took until the test ends.
    Attacker attack(const std::function<std::string()>& step) {
        Attacker a;
        int out[2];
        if (pipe(out) != 0) return a;
        a.pid = fork();
        if (a.pid == 0) {
            close(out[0]);
            std::string said = "could not become the other user";
            if (setgroups(0, nullptr) == 0 && setgid(gid_) == 0 && setuid(uid_) == 0) said = step();
            said += "\n";
            if (write(out[1], said.data(), said.size()) < 0) _exit(1);
            pause();
            _exit(0);
        }
        close(out[1]);
        children_.push_back(a.pid);
        char buf[256];
        pollfd p{out[0], POLLIN, 0};
        while (a.said.find('\n') == std::string::npos && poll(&p, 1, 10000) == 1) {
            const ssize_t n = read(out[0], buf, sizeof buf);
            if (n <= 0) break;
            a.said.append(buf, size_t(n));
        }
        close(out[0]);
        if (!a.said.empty() && a.said.back() == '\n') a.said.pop_back();
        return a;
    }

    static std::string user_;
    static uid_t uid_;
    static gid_t gid_;
    std::string prefix_;
    std::vector<pid_t> children_;
};

std::string OtherUser::user_;
uid_t OtherUser::uid_ = 0;
gid_t OtherUser::gid_ = 0;

// Nothing the other user can do takes a held lock away: not taking it, not
// files, links or FIFOs where lock files used to live.
TEST_F(OtherUser, HeldLocksSurviveIt) {
    const std::string rsrc = "lan-192.0.2.7", key = "test:attack/" + std::to_string(getpid());
    LockTable ours(prefix_);
    ASSERT_EQ(ours.acquire(rsrc, 1, VI_EXCLUSIVE_LOCK, "", 0), VI_SUCCESS);
    RunLockResult result;
    std::string why;
    auto run = RunLock::TryAcquire(key, "window", &result, nullptr, &why);
    ASSERT_NE(run, nullptr) << why;

    const std::vector<std::string> dirs = {"/run/lock/fwvisa", "/tmp/fwvisa"};
    std::vector<bool> existed;
    for (const auto& dir : dirs)
        existed.push_back(std::filesystem::exists(dir));
    std::vector<std::string> junk;
    for (const auto& dir : dirs)
        for (const std::string& name : {name_piece(rsrc, 200), name_piece(key, 200)})
            for (const char* kind : {".lock", ".link", ".fifo"})
                junk.push_back(dir + "/" + name + kind);

    const Attacker a = attack([&] {
        std::string out;
        auto try_all = [&] {
            LockTable theirs(prefix_);
            out += code(theirs.acquire(rsrc, 2, VI_EXCLUSIVE_LOCK, "", 0));
            out += code(theirs.acquire(rsrc, 3, VI_SHARED_LOCK, "k", 0));
            RunLockResult r;
            RunLockHolder h;
            std::string w;
            const bool got = RunLock::TryAcquire(key, "fwupgrade", &r, &h, &w) != nullptr;
            out += got ? " granted " : r == RunLockResult::Held ? " held " : " unavailable ";
        };
        try_all();
        for (const auto& dir : dirs) {
            if (mkdir(dir.c_str(), 01777) == 0) chmod(dir.c_str(), 01777);
        }
        for (const auto& path : junk) {
            if (path.ends_with(".lock")) {
                close(open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666));
                chmod(path.c_str(), 0600);
            } else if (path.ends_with(".link")) {
                symlink("/etc/shadow", path.c_str());
            } else {
                mkfifo(path.c_str(), 0666);
            }
        }
        try_all();
        return out;
    });
    EXPECT_EQ(a.said, "tt held tt held ");
    size_t made = 0;
    for (const auto& path : junk)
        made +=
            std::filesystem::symlink_status(path).type() != std::filesystem::file_type::not_found;
    EXPECT_EQ(made, junk.size());

    // Still ours, and still keeping everyone out.
    EXPECT_EQ(ours.state(rsrc, 1), ViAccessMode(VI_EXCLUSIVE_LOCK));
    LockTable again(prefix_);
    EXPECT_EQ(again.acquire(rsrc, 4, VI_SHARED_LOCK, "k", 0), VI_ERROR_TMO);
    EXPECT_EQ(RunLock::TryAcquire(key, "window", &result, nullptr, &why), nullptr);
    EXPECT_EQ(result, RunLockResult::Held);

    for (const auto& path : junk)
        std::filesystem::remove(path);
    for (size_t i = 0; i < dirs.size(); ++i) {
        std::error_code ec;
        if (!existed[i]) std::filesystem::remove(dirs[i], ec);  // only when empty
    }
}

// A name the other user took first: refused, as unavailable, naming them.
TEST_F(OtherUser, SquattedNamesNameTheSquatter) {
    const std::string rsrc = "lan-192.0.2.8", pid = std::to_string(getpid());
    const std::string listening = "test:squat/" + pid, bound = "test:bound/" + pid;
    LockTable ours(prefix_);
    const Attacker a = attack([&] {
        int fd;
        std::string why;
        for (const std::string& name : {ours.exclusive_name(rsrc), RunLockName(listening)})
            if (bind_abstract(name, &fd, &why) != BindResult::bound) return why;
        // Bound without listening: it cannot be asked, only looked up.
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const std::string name = RunLockName(bound);
        name.copy(addr.sun_path + 1, name.size());
        const auto len = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + name.size());
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) return std::string("bind");
        return std::string("ready");
    });
    ASSERT_EQ(a.said, "ready");
    const std::string owner =
        user_ + " (uid " + std::to_string(uid_) + "), pid " + std::to_string(a.pid);

    set_log_sink(keep_line);
    log_lines.clear();
    EXPECT_EQ(ours.acquire(rsrc, 1, VI_EXCLUSIVE_LOCK, "", 0), VI_ERROR_TMO);
    EXPECT_EQ(ours.acquire(rsrc, 1, VI_SHARED_LOCK, "k", 0), VI_ERROR_TMO);
    ASSERT_EQ(log_lines.size(), 2u);
    for (const std::string& line : log_lines)
        EXPECT_EQ(line, "visa.lock: " + rsrc + ": lock unavailable: " + ours.exclusive_name(rsrc) +
                            " is held by " + owner);
    // The same as a value, for a program to say (fwupgrade does); a refusal
    // within the process names no outside holder.
    const std::optional<LockRefusal> refusal = LockTable::last_refusal();
    ASSERT_TRUE(refusal);
    EXPECT_EQ(refusal->owner.uid, long(uid_));
    EXPECT_EQ(refusal->text(),
              "lock unavailable: " + ours.exclusive_name(rsrc) + " is held by " + owner);
    LockTable mine("");
    ASSERT_EQ(mine.acquire(rsrc, 1, VI_EXCLUSIVE_LOCK, "", 0), VI_SUCCESS);
    EXPECT_EQ(mine.acquire(rsrc, 2, VI_EXCLUSIVE_LOCK, "", 0), VI_ERROR_TMO);
    EXPECT_FALSE(LockTable::last_refusal());

    for (const std::string& key : {listening, bound}) {
        RunLockResult result;
        RunLockHolder who;
        std::string why;
        EXPECT_EQ(RunLock::TryAcquire(key, "window", &result, &who, &why), nullptr);
        EXPECT_EQ(result, RunLockResult::Unavailable);
        EXPECT_EQ(who.m_uid, long(uid_));
        EXPECT_EQ(why, "lock unavailable: run lock " + key + " is held by " + user_ + " (pid " +
                           std::to_string(a.pid) + ")");
    }
}

}  // namespace
}  // namespace visa
