// SPDX-License-Identifier: GPL-3.0-or-later
// The one settings folder: where it is for each environment, and the move of
// the old folder's files into it, which loses no setting: a file already in
// the new folder wins, and a file that cannot be moved is still read where it
// is. Each case has a configuration home of its own (a temporary
// XDG_CONFIG_HOME), since the move happens once per home in a process.
#include "settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "capture_stderr.h"
#include "scoped_env.h"
#include "sim_test_support.h"

namespace {

using testsupport::ScopedEnv;

void write_text(const std::string &path, const std::string &text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << text;
}

std::string read_text(const std::string &path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

bool exists(const std::string &path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0;
}

TEST(SettingsFolder, FollowsXdgConfigHomeElseHome) {
    const struct {
        const char *xdg;   // nullptr: unset
        const char *home;  // nullptr: unset
        const char *folder;
    } cases[] = {
        {"/nonexistent/xdg", "/nonexistent/home", "/nonexistent/xdg/labbench"},
        {nullptr, "/nonexistent/home", "/nonexistent/home/.config/labbench"},
        {"", "/nonexistent/home", "/nonexistent/home/.config/labbench"},
        {"relative/config", "/nonexistent/home", "/nonexistent/home/.config/labbench"},
        {nullptr, nullptr, ""},
        {"relative/config", "", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string("XDG_CONFIG_HOME=") + (c.xdg ? c.xdg : "(unset)") +
                     " HOME=" + (c.home ? c.home : "(unset)"));
        ScopedEnv xdg("XDG_CONFIG_HOME", c.xdg);
        ScopedEnv home("HOME", c.home);
        StderrCapture err;
        EXPECT_EQ(labbench::settings_folder(), c.folder);
        EXPECT_EQ(labbench::settings_file("instruments.conf"),
                  c.folder[0] ? std::string(c.folder) + "/instruments.conf" : "");
        EXPECT_EQ(err.text(), "") << "nothing to move, nothing to say";
    }
}

TEST(SettingsFolder, OldFolderIsMovedIntoTheNewOnceAndThenRemoved) {
    simtest::TempDir config;
    ScopedEnv xdg("XDG_CONFIG_HOME", config.path());
    write_text(config.file("LabBench/labbench-deska.conf"), "[export]\nlastFolder=/data/deska\n");
    write_text(config.file("LabBench/labbench-generator.conf"), "[export]\nlastFolder=/data/gen\n");
    write_text(config.file("labbench/instruments.conf"), "8 = USBTMC::/dev/usbtmc0\n");

    StderrCapture err;
    const std::string deska = labbench::settings_file("labbench-deska.conf");
    EXPECT_EQ(deska, config.file("labbench/labbench-deska.conf"));
    EXPECT_EQ(read_text(deska), "[export]\nlastFolder=/data/deska\n");
    EXPECT_EQ(read_text(config.file("labbench/labbench-generator.conf")),
              "[export]\nlastFolder=/data/gen\n");
    EXPECT_EQ(read_text(labbench::settings_file("instruments.conf")), "8 = USBTMC::/dev/usbtmc0\n");
    EXPECT_FALSE(exists(config.file("LabBench"))) << "the emptied old folder is removed";
    const std::string said = err.text();
    EXPECT_NE(said.find("moved " + config.file("LabBench/labbench-deska.conf") + " to " + deska),
              std::string::npos)
        << said;

    StderrCapture again;
    EXPECT_EQ(labbench::settings_folder(), config.file("labbench"));
    EXPECT_EQ(again.text(), "") << "the move is done once";
}

TEST(SettingsFolder, FileAlreadyInTheNewFolderWinsAndTheOldOneStays) {
    simtest::TempDir config;
    ScopedEnv xdg("XDG_CONFIG_HOME", config.path());
    write_text(config.file("LabBench/labbench-deska.conf"), "old\n");
    write_text(config.file("labbench/labbench-deska.conf"), "new\n");

    StderrCapture err;
    const std::string file = labbench::settings_file("labbench-deska.conf");
    const std::string said = err.text();
    EXPECT_EQ(file, config.file("labbench/labbench-deska.conf"));
    EXPECT_EQ(read_text(file), "new\n");
    EXPECT_EQ(read_text(config.file("LabBench/labbench-deska.conf")), "old\n")
        << "the old file is neither lost nor merged";
    EXPECT_NE(said.find(config.file("LabBench/labbench-deska.conf") +
                        " is no longer read: " + file + " holds that setting"),
              std::string::npos)
        << said;
}

TEST(SettingsFolder, FileThatCannotBeMovedIsStillReadWhereItIs) {
    simtest::TempDir config;
    ScopedEnv xdg("XDG_CONFIG_HOME", config.path());
    write_text(config.file("LabBench/labbench-deska.conf"), "kept\n");
    write_text(config.file("labbench"), "a file where the folder should be\n");

    StderrCapture err;
    const std::string file = labbench::settings_file("labbench-deska.conf");
    const std::string said = err.text();
    EXPECT_EQ(file, config.file("LabBench/labbench-deska.conf"));
    EXPECT_EQ(read_text(file), "kept\n");
    EXPECT_EQ(labbench::settings_file("instruments.conf"), config.file("labbench/instruments.conf"))
        << "a file the old folder never held is looked for in the new one";
    EXPECT_NE(said.find("cannot move " + config.file("LabBench/labbench-deska.conf") + " to " +
                        config.file("labbench/labbench-deska.conf")),
              std::string::npos)
        << said;
    EXPECT_NE(said.find("it is still read where it is"), std::string::npos) << said;
}

TEST(SettingsFolder, OldNameThatIsTheSameFolderMovesNothing) {
    simtest::TempDir config;
    ScopedEnv xdg("XDG_CONFIG_HOME", config.path());
    write_text(config.file("labbench/labbench-deska.conf"), "one\n");
    ASSERT_EQ(::symlink("labbench", config.file("LabBench").c_str()), 0);

    StderrCapture err;
    EXPECT_EQ(labbench::settings_file("labbench-deska.conf"),
              config.file("labbench/labbench-deska.conf"));
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(read_text(config.file("labbench/labbench-deska.conf")), "one\n");
    EXPECT_TRUE(exists(config.file("LabBench")));
}

}  // namespace
