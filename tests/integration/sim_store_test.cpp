// fwsim's image store: made when missing, refused when it cannot be.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "sim_process.h"

namespace {

TEST(SimStore, FolderIsMadeOrTheStartRefused) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("fwsim-store-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    {
        SimProcess sim("127.0.0.230", {"--store", (dir / "a" / "images").string()}, false);
        EXPECT_TRUE(std::filesystem::is_directory(dir / "a" / "images"));
    }
    // A file in the way. Bounded: before the fix fwsim started and served.
    std::ofstream(dir / "file") << "in the way\n";
    const std::string store = (dir / "file" / "images").string();
    FILE* p = ::popen(("timeout 10 " + std::string(FWSIM_PATH) +
                       " --address 127.0.0.230 --no-portmap --socket-port 0 --hislip-port 0" +
                       " --store " + store + " 2>&1")
                          .c_str(),
                      "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[256];
    while (std::fgets(buf, sizeof buf, p) != nullptr)
        out += buf;
    const int status = ::pclose(p);
    std::filesystem::remove_all(dir);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << out;
    EXPECT_NE(out.find("fwsim: image store making " + store), std::string::npos) << out;
}

}  // namespace
