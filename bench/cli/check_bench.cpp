// fwupgrade check on 8 simulated instruments with -j 8, against one
// identification of one instrument: the check of a fleet should cost little
// more than asking one instrument who it is (the target: 1.5 times).
//
// Runs in a network namespace of its own (root), so that its simulators on
// 127.0.0.30-37 meet nobody else's.
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "sim_process.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int instruments = 8;
constexpr int rounds = 21;

bool private_loopback() {
    if (::unshare(CLONE_NEWNET) != 0) return false;
    const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    const bool up = ::ioctl(s, SIOCGIFFLAGS, &ifr) == 0 && (ifr.ifr_flags |= IFF_UP) &&
                    ::ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    ::close(s);
    return up;
}

// Runs fwupgrade with `args`, output discarded; its exit status and seconds.
std::pair<int, double> fwupgrade(const std::vector<std::string>& args, const fs::path& state) {
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::setenv("XDG_STATE_HOME", state.c_str(), 1);
        std::vector<char*> argv{const_cast<char*>(FWUPGRADE_PATH)};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1,
            std::chrono::duration<double>(Clock::now() - start).count()};
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main() {
    if (!private_loopback()) {
        std::puts("check_bench: skipped (needs root for a private network namespace and port 111)");
        return 0;
    }
    const fs::path work =
        fs::temp_directory_path() / ("fw-check-bench-" + std::to_string(::getpid()));
    fs::create_directories(work / "rel" / "host");
    std::ofstream(work / "rel" / "host" / "ubl-nor-ais.bin") << std::string(128 << 10, 'u');
    std::ofstream(work / "rel" / "Firmware_Upgrade.txt") << "HUBL\n";

    std::vector<std::unique_ptr<SimProcess>> sims;
    std::vector<std::string> resources;
    for (int i = 0; i < instruments; ++i) {
        sims.push_back(std::make_unique<SimProcess>("127.0.0." + std::to_string(30 + i),
                                                    std::vector<std::string>{}, false));
        resources.push_back(sims.back()->vxi11());
    }
    std::vector<std::string> check{"check"};
    check.insert(check.end(), resources.begin(), resources.end());
    check.insert(check.end(), {"--release", (work / "rel").string(), "-j", "8"});
    const std::vector<std::string> one{"check", resources[0], "--release", (work / "rel").string()};
    // Taken in turns, so that a busy moment of the machine weighs on all alike.
    std::vector<double> identify_times, check_times, one_times;
    int identify_code = -1, check_code = -1, one_code = -1;
    for (int i = 0; i < rounds; ++i) {
        const auto [ic, it] = fwupgrade({"identify", resources[0]}, work / "state");
        const auto [cc, ct] = fwupgrade(check, work / "state");
        const auto [oc, ot] = fwupgrade(one, work / "state");
        identify_code = ic, check_code = cc, one_code = oc;
        identify_times.push_back(it);
        check_times.push_back(ct);
        one_times.push_back(ot);
    }
    const double identify = median(identify_times), all = median(check_times);
    std::printf(
        "fwupgrade check, -j 8, a 128 KiB image (median of %d):\n"
        "  identify, one instrument   %7.2f ms (exit %d)\n"
        "  check, one instrument      %7.2f ms (exit %d)\n"
        "  check, %d instruments       %7.2f ms (exit %d)\n"
        "  check of %d / identify      %7.2f x (target: at most 1.5)\n",
        rounds, identify * 1000, identify_code, median(one_times) * 1000, one_code, instruments,
        all * 1000, check_code, instruments, all / identify);
    sims.clear();
    fs::remove_all(work);
    return 0;
}
