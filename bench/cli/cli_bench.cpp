// fwupgrade's batch speed and its own cost: 8 simulated instruments with a
// 16 MiB image each, upgraded with -j 1 and with -j 8, and one upgrade
// through fwupgrade against the same engine calls made directly.
//
// Runs in a network namespace of its own (root), so that its simulators on
// 127.0.0.2-9 meet nobody else's.
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
#include <random>
#include <string>
#include <vector>

#include "sim_process.h"
#include "update.h"
#include "workflow/sha256.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int instruments = 8;
constexpr std::size_t image_size = 16u << 20;

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

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Runs fwupgrade with `args`, output discarded; its exit status.
int fwupgrade(const std::vector<std::string>& args, const fs::path& state) {
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
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main() {
    if (!private_loopback()) {
        std::puts("cli_bench: skipped (needs root for a private network namespace and port 111)");
        return 0;
    }
    const fs::path work =
        fs::temp_directory_path() / ("fw-cli-bench-" + std::to_string(::getpid()));
    fs::create_directories(work / "rel" / "host");
    {
        std::string image(image_size, '\0');
        std::mt19937 random(1);
        for (char& c : image)
            c = static_cast<char>(random());
        std::ofstream(work / "rel" / "host" / "ubl-nor-ais.bin", std::ios::binary) << image;
        std::ofstream(work / "rel" / "Firmware_Upgrade.txt") << "HUBL\n";
    }
    const std::string release = (work / "rel").string() + "/";

    std::vector<std::unique_ptr<SimProcess>> sims;
    std::vector<std::string> resources;
    for (int i = 0; i < instruments; ++i) {
        sims.push_back(std::make_unique<SimProcess>(
            "127.0.0.1" + std::to_string(i + 10), std::vector<std::string>{"--reboot-ms", "100"}));
        resources.push_back(sims.back()->vxi11());
    }

    std::printf(
        "fwupgrade batch: %d instruments, one %zu MiB image each (HUBL), the engine's\n"
        "4 s wait before each restart included\n",
        instruments, image_size >> 20);
    double j1 = 0;
    for (const int jobs : {1, 8}) {
        std::vector<std::string> args{"upgrade"};
        args.insert(args.end(), resources.begin(), resources.end());
        args.insert(args.end(),
                    {"--release", release, "--images", "HUBL", "-j", std::to_string(jobs)});
        const auto start = Clock::now();
        const int code = fwupgrade(args, work / "state");
        const double took = seconds_since(start);
        if (jobs == 1) j1 = took;
        std::printf(
            "  -j %d: %6.2f s (exit %d)%s\n", jobs, took, code,
            jobs == 1 ? "" : ("  " + std::to_string(j1 / took).substr(0, 4) + " x faster").c_str());
        ::usleep(300000);  // the last restarts
    }

    // One instrument: the same engine operations made directly, against
    // fwupgrade running them (start-up, identification events, hashing the
    // image for the audit trail, the events, the audit line).
    std::FILE* sink = std::fopen("/dev/null", "w");
    update_set_streams(sink, sink);
    std::vector<double> bare, cli, image_only;
    const std::string path = release + "host/ubl-nor-ais.bin";
    for (int round = 0; round < 3; ++round) {
        const std::string& r = resources[0];
        auto start = Clock::now();
        char reply[256];
        update_identify(r.c_str(), reply, sizeof reply, 2000);
        update_start(r.c_str());
        const auto image_start = Clock::now();
        update_image(r.c_str(), "HUBL", path.c_str(), -1);
        image_only.push_back(seconds_since(image_start));
        update_end(r.c_str());
        update_reboot_host(r.c_str());
        bare.push_back(seconds_since(start));
        ::usleep(300000);

        start = Clock::now();
        fwupgrade({"upgrade", r, "--release", release, "--images", "HUBL"}, work / "state");
        cli.push_back(seconds_since(start));
        ::usleep(300000);
    }
    update_set_streams(nullptr, nullptr);
    std::fclose(sink);
    std::vector<double> hashing;
    for (int round = 0; round < 3; ++round) {
        const auto start = Clock::now();
        workflow::DigestFile(path);
        hashing.push_back(seconds_since(start));
    }
    std::printf(
        "one instrument, median of 3:\n"
        "  update_image alone                    %6.3f s\n"
        "  identify, start, image, end, reboot   %6.3f s\n"
        "  fwupgrade upgrade, the same steps     %6.3f s\n"
        "  fwupgrade's own cost                  %6.3f s\n"
        "    of which SHA-256 of the image       %6.3f s\n",
        median(image_only), median(bare), median(cli), median(cli) - median(bare), median(hashing));

    sims.clear();
    fs::remove_all(work);
    return 0;
}
