// fwsim's image store: made when missing, refused when it cannot be.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "sim_process.h"

namespace {

const std::string sim_address = "127.0.0.230";

class SimStore : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ =
            std::filesystem::temp_directory_path() / ("fwsim-store-" + std::to_string(::getpid()));
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::filesystem::path dir_;
};

TEST_F(SimStore, MissingFolderIsMadeWithItsParents) {
    const auto store = dir_ / "a" / "b" / "images";
    SimProcess sim(sim_address, {"--store", store.string()}, false);
    EXPECT_TRUE(std::filesystem::is_directory(store));
}

TEST_F(SimStore, FolderThatCannotBeMadeStopsTheStart) {
    std::ofstream(dir_ / "file") << "in the way\n";
    // Bounded: before the fix fwsim started and served.
    const std::string cmd = "timeout 10 " + std::string(FWSIM_PATH) + " --address " + sim_address +
                            " --no-portmap --socket-port 0 --hislip-port 0" + " --store " +
                            (dir_ / "file" / "images").string() + " 2>&1";
    FILE* p = ::popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[256];
    while (std::fgets(buf, sizeof buf, p) != nullptr)
        out += buf;
    const int status = ::pclose(p);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1) << out;
    EXPECT_NE(out.find("fwsim: image store making " + (dir_ / "file" / "images").string()),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("fwsim ready"), std::string::npos) << out;
}

}  // namespace
