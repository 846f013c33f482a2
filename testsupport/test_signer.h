// A throwaway OpenPGP signing key for tests and benchmarks: made by gpg in a
// GNUPGHOME of its own (no passphrase), which is removed, with any agent gpg
// started for it, when the signer goes.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

class TestSigner {
public:
    // `name` goes into the key's user id and the home directory's name.
    explicit TestSigner(const std::string& name) {
        if (!gpg_installed()) return;
        home_ = std::filesystem::temp_directory_path() /
                ("fw-gpg-" + name + "-" + std::to_string(::getpid()));
        std::filesystem::remove_all(home_);
        std::filesystem::create_directories(home_);
        std::filesystem::permissions(home_, std::filesystem::perms::owner_all);
        if (!gpg("--quick-gen-key '" + name + " <" + name +
                 "@example.invalid>' ed25519 sign never"))
            return;
        const std::string listing = (home_ / "listing").string();
        if (!gpg("--with-colons --list-keys > '" + listing + "'")) return;
        std::ifstream in(listing);
        for (std::string line; std::getline(in, line);) {
            // "fpr:::::::::<40 hex>:"
            if (line.rfind("fpr:", 0) == 0 && line.size() > 52) {
                fingerprint_ = line.substr(12, 40);
                break;
            }
        }
    }

    ~TestSigner() {
        if (home_.empty()) return;
        std::system(
            ("GNUPGHOME='" + home_.string() + "' gpgconf --kill all >/dev/null 2>&1").c_str());
        std::error_code ignored;
        std::filesystem::remove_all(home_, ignored);
    }
    TestSigner(const TestSigner&) = delete;
    TestSigner& operator=(const TestSigner&) = delete;

    static bool gpg_installed() {
        return std::system(
                   "command -v gpg >/dev/null 2>&1 && command -v gpgconf >/dev/null 2>&1") == 0;
    }
    // False when gpg is missing or could not make the key.
    bool ready() const { return fingerprint_.size() == 40; }
    const std::string& fingerprint() const { return fingerprint_; }

    // The public key into `file`, binary or armored.
    bool export_key(const std::string& file, bool armor) const {
        return gpg(std::string(armor ? "--armor " : "") + "--output '" + file + "' --export " +
                   fingerprint_);
    }
    // A detached signature of `file` into `signature`, binary or armored.
    bool sign(const std::string& file, const std::string& signature, bool armor) const {
        return gpg(std::string(armor ? "--armor " : "") + "--yes --local-user " + fingerprint_ +
                   " --output '" + signature + "' --detach-sign '" + file + "'");
    }

private:
    bool gpg(const std::string& arguments) const {
        const std::string command = "GNUPGHOME='" + home_.string() +
                                    "' gpg --batch --quiet --pinentry-mode loopback "
                                    "--passphrase '' " +
                                    arguments + " 2>/dev/null";
        return std::system(command.c_str()) == 0;
    }

    std::filesystem::path home_;
    std::string fingerprint_;
};
