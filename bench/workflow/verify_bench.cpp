// What checking a signed release adds to an upgrade: one 64 MiB image, its
// SHA256SUMS and a detached signature by a throwaway key, verified as a run
// verifies it (the image hashed from an open descriptor, then VerifyRelease
// with gpgv), against the same image uploaded over HiSLIP to fwsim on its
// own loopback address. Median of 5 each, after one untimed round of each, so
// the image is in the page cache for both: the figure is the hash's and
// gpgv's cost, not the disk's.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "sim_process.h"
#include "test_signer.h"
#include "update.h"
#include "workflow/image_files.h"
#include "workflow/release_verify.h"
#include "workflow/sha256.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::size_t image_size = std::size_t{64} << 20;
constexpr int rounds = 5;
// No other benchmark or test uses this address.
constexpr const char* sim_address = "127.0.0.117";

double median_seconds(const std::function<bool()>& once) {
    std::vector<double> times;
    if (!once()) return -1;  // untimed: caches warm, buffers allocated
    for (int i = 0; i < rounds; ++i) {
        const Clock::time_point start = Clock::now();
        if (!once()) return -1;
        times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[rounds / 2];
}

void write_image(const fs::path& path) {
    std::ofstream file(path, std::ios::binary);
    std::string chunk(1 << 16, '\0');
    for (std::size_t i = 0; i < chunk.size(); ++i)
        chunk[i] = static_cast<char>(i * 131 + 7);
    for (std::size_t done = 0; done < image_size; done += chunk.size())
        file.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
}

// The image's digest as a run takes it: from the descriptor it would send.
bool hash_image(const std::string& path, std::map<std::string, std::string>& digests) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    std::string error;
    const std::optional<workflow::FileDigest> digest =
        workflow::DigestDescriptor(fd, "host/vxWorks_rom.bin", &error);
    ::close(fd);
    if (!digest) return false;
    digests["host/vxWorks_rom.bin"] = digest->sha256;
    return true;
}

}  // namespace

int main() {
    const fs::path release =
        fs::temp_directory_path() / ("verify-bench-" + std::to_string(::getpid()));
    fs::remove_all(release);
    fs::create_directories(release / "host");
    const std::string image = (release / "host/vxWorks_rom.bin").string();
    write_image(image);
    std::ofstream(release / "Firmware_Upgrade.txt") << "HPAP\n";
    std::ofstream(release / "SHA256SUMS")
        << workflow::DigestFile(image)->sha256 << "  host/vxWorks_rom.bin\n";

    workflow::VerifyPolicy policy;
    policy.m_trustedKeysDir = (release / "no-trusted-keys").string();
    const TestSigner signer("bench");
    if (signer.ready() && signer.export_key((release / "lab.gpg").string(), false) &&
        signer.sign((release / "SHA256SUMS").string(), (release / "SHA256SUMS.sig").string(),
                    false)) {
        policy.m_keyrings = {(release / "lab.gpg").string()};
        policy.m_requireSignature = true;
    } else {
        std::printf("gpg is missing: the release is checksummed only, not signed\n");
    }

    const workflow::ReleaseVerification::Status want =
        policy.m_requireSignature ? workflow::ReleaseVerification::Status::Signed
                                  : workflow::ReleaseVerification::Status::Checksummed;
    std::map<std::string, std::string> digests;
    const double hash_s = median_seconds([&] { return hash_image(image, digests); });
    const double gpgv_s = median_seconds([&] {
        return workflow::VerifyRelease(release.string(), digests, policy).m_status == want;
    });
    const double verify_s = median_seconds([&] {
        std::map<std::string, std::string> fresh;
        return hash_image(image, fresh) &&
               workflow::VerifyRelease(release.string(), fresh, policy).m_status == want;
    });

    // The upload alone, and the upload as a run makes it: the engine's bytes
    // digested as they are read and held to the verified digest.
    double upload_s = -1;
    double digested_s = -1;
    {
        SimProcess sim(sim_address, {}, false);
        static FILE* sink = std::fopen("/dev/null", "w");
        update_set_streams(sink, sink);
        const std::string resource = sim.hislip();
        const std::string verified = digests.begin()->second;
        update_start(resource.c_str());
        upload_s = median_seconds(
            [&] { return update_image(resource.c_str(), "HPAP", image.c_str(), -1) == 0; });
        digested_s = median_seconds([&] {
            workflow::SentImageDigest sent(verified);
            return update_image(resource.c_str(), "HPAP", image.c_str(), -1) == 0 &&
                   sent.Digest() == verified;
        });
        update_end(resource.c_str());
    }
    fs::remove_all(release);

    if (hash_s <= 0 || gpgv_s <= 0 || verify_s <= 0 || upload_s <= 0 || digested_s <= 0) {
        std::fprintf(stderr, "verify_bench: a timed step failed\n");
        return 1;
    }
    const double mb = double(image_size) / 1e6;
    std::printf("64 MiB image, median of %d (page cache warm)\n", rounds);
    std::printf("  SHA-256 of the image (DigestDescriptor): %7.3f s  %7.1f MB/s\n", hash_s,
                mb / hash_s);
    std::printf("  VerifyRelease alone (SHA256SUMS + gpgv): %7.3f s\n", gpgv_s);
    std::printf("  verify, both:                            %7.3f s\n", verify_s);
    std::printf("  update_image over HiSLIP:                %7.3f s  %7.1f MB/s\n", upload_s,
                mb / upload_s);
    std::printf("  verify / upload:                         %7.1f %%\n",
                100.0 * verify_s / upload_s);
    std::printf("  update_image, sent bytes digested:       %7.3f s  (+%.1f %%)\n", digested_s,
                100.0 * (digested_s - upload_s) / upload_s);
    std::printf("  a run's checks in all, against the upload: +%.1f %%\n",
                100.0 * (verify_s + digested_s - upload_s) / upload_s);
    return 0;
}
