// What checking a signed release adds to an upgrade: one 64 MiB image,
// Firmware_Upgrade.txt, their SHA256SUMS and a detached signature by a
// throwaway key, checked as a run checks them (the image read once into its
// sealed copy and hashed on the way, then VerifyRelease with gpgv), against
// one SHA-256 pass over the image and against the same image uploaded over
// HiSLIP to fwsim on its own loopback address, from the file and from the
// copy. Median of 5 each, after one untimed round of each, so the image is in
// the page cache for all: the figures are the hash's, the copy's and gpgv's
// cost, not the disk's.
#include <fcntl.h>
#include <sys/resource.h>
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

// Processor time used so far by this process's threads and its reaped
// children (gpgv), in seconds.
double cpu_seconds() {
    double total = 0;
    for (const int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        rusage usage{};
        ::getrusage(who, &usage);
        total += double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
    return total;
}

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

// One SHA-256 pass over the image, read from an open descriptor.
bool hash_image(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    std::string error;
    const std::optional<workflow::FileDigest> digest =
        workflow::DigestDescriptor(fd, "host/vxWorks_rom.bin", &error);
    ::close(fd);
    return digest.has_value();
}

// The image as a run takes it: read once into its sealed copy, hashed.
bool check_image(const std::string& release, std::vector<workflow::CheckedImage>& images) {
    workflow::ImageChoice host{};
    host.m_host = 1;
    std::string error;
    return workflow::CheckImages(release, host, images, error);
}

std::map<std::string, std::string> digests_of(const std::vector<workflow::CheckedImage>& images) {
    std::map<std::string, std::string> digests;
    for (const workflow::CheckedImage& image : images)
        digests[image.m_relativePath] = image.m_sha256;
    return digests;
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
        << workflow::Sha256Hex("HPAP\n") << "  Firmware_Upgrade.txt\n"
        << workflow::DigestFile(image)->sha256 << "  host/vxWorks_rom.bin\n";
    const std::string dir = release.string() + "/";

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
    // The copies made are kept until the timing is over: a run lets its
    // copy go after the upload, not among its checks.
    std::vector<std::vector<workflow::CheckedImage>> kept;
    const auto check = [&] {
        kept.emplace_back();
        return check_image(dir, kept.back());
    };
    const double hash_s = median_seconds([&] { return hash_image(image); });
    const double snapshot_s = median_seconds(check);
    const std::vector<workflow::CheckedImage> checked = kept.back();
    kept.clear();
    const double verify_s = median_seconds(
        [&] { return workflow::VerifyRelease(dir, digests_of(checked), policy).m_status == want; });
    // A run's checks in all, as a run makes them: the copy with its hash,
    // gpgv beside it, then the release's list.
    const double checks_cpu_before = cpu_seconds();
    const double checks_s = median_seconds([&] {
        const auto hash = [&]() -> std::optional<workflow::Digests> {
            if (!check()) return std::nullopt;
            return digests_of(kept.back());
        };
        return workflow::VerifyReleaseWhile(dir, hash, policy).m_status == want;
    });
    const double checks_cpu_s = (cpu_seconds() - checks_cpu_before) / (rounds + 1);
    kept.clear();

    // The upload alone, and as a run makes it: from the sealed copy, the
    // digest of what was sent being the copy's.
    double upload_s = -1;
    double copy_upload_s = -1;
    {
        SimProcess sim(sim_address, {}, false);
        static FILE* sink = std::fopen("/dev/null", "w");
        update_set_streams(sink, sink);
        const std::string resource = sim.hislip();
        update_start(resource.c_str());
        upload_s = median_seconds(
            [&] { return update_image(resource.c_str(), "HPAP", image.c_str(), -1) == 0; });
        copy_upload_s = median_seconds([&] {
            workflow::SentFromSnapshot sent(checked.front());
            return update_image(resource.c_str(), "HPAP", image.c_str(), -1) == 0 &&
                   sent.Digest() == checked.front().m_sha256;
        });
        update_end(resource.c_str());
    }
    fs::remove_all(release);

    if (hash_s <= 0 || snapshot_s <= 0 || verify_s <= 0 || checks_s <= 0 || upload_s <= 0 ||
        copy_upload_s <= 0) {
        std::fprintf(stderr, "verify_bench: a timed step failed\n");
        return 1;
    }
    const double mb = double(image_size) / 1e6;
    const double sent_extra_s = std::max(0.0, copy_upload_s - upload_s);
    std::printf("64 MiB image, median of %d (page cache warm)\n", rounds);
    std::printf("  one SHA-256 pass (DigestDescriptor):      %7.3f s  %7.1f MB/s\n", hash_s,
                mb / hash_s);
    std::printf("  sealed copy, hashed (CheckImages):        %7.3f s  (%.2f hash passes)\n",
                snapshot_s, snapshot_s / hash_s);
    std::printf("  VerifyRelease (SHA256SUMS, gpgv):         %7.3f s\n", verify_s);
    std::printf("  checks in all (copy, gpgv beside it):     %7.3f s  (%.2f hash passes)\n",
                checks_s, checks_s / hash_s);
    std::printf(
        "  processor time of those checks:           %7.3f s  (%.2f hash passes; "
        "two cores share it)\n",
        checks_cpu_s, checks_cpu_s / hash_s);
    std::printf("  update_image over HiSLIP, from the file:  %7.3f s  %7.1f MB/s\n", upload_s,
                mb / upload_s);
    std::printf("  update_image over HiSLIP, from the copy:  %7.3f s  (%+.1f %%)\n", copy_upload_s,
                100.0 * (copy_upload_s - upload_s) / upload_s);
    std::printf(
        "  a run's checks in all, with what sending from the copy added: %.3f s = %.2f "
        "hash passes, %.1f %% of the upload\n",
        checks_s + sent_extra_s, (checks_s + sent_extra_s) / hash_s,
        100.0 * (checks_s + sent_extra_s) / upload_s);
    return 0;
}
