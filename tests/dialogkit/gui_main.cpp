// GoogleTest runner with the QApplication that every widget needs.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
    // Test discovery runs the binary outside ctest's environment too.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // Browse remembers its directory in the user's settings: keep the
    // tests' choices out of the real ones.
    std::string config = (std::filesystem::temp_directory_path() / "fw-gui-XXXXXX").string();
    if (!mkdtemp(config.data())) return 1;
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    // Upgrades through the window append to the audit trail: likewise.
    setenv("XDG_STATE_HOME", config.c_str(), 1);

    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    std::filesystem::remove_all(config);
    return result;
}
