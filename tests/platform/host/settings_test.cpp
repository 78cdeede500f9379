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
#include "case_name.h"
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

// A configuration home of the test's own, and the settings file looked up in it
// with what was said meanwhile.
class SettingsMove : public testing::Test {
protected:
    std::string at(const char *relative) const { return config.file(relative); }
    std::string look_up(const std::string &name) {
        StderrCapture err;
        const std::string file = labbench::settings_file(name);
        said = err.text();
        return file;
    }
    simtest::TempDir config;
    ScopedEnv xdg{"XDG_CONFIG_HOME", config.path()};
    std::string said;
};

TEST_F(SettingsMove, OldFolderIsMovedIntoTheNewOnceAndThenRemoved) {
    write_text(at("LabBench/labbench-deska.conf"), "[export]\nlastFolder=/data/deska\n");
    write_text(at("LabBench/labbench-generator.conf"), "[export]\nlastFolder=/data/gen\n");
    write_text(at("labbench/instruments.conf"), "8 = USBTMC::/dev/usbtmc0\n");

    const std::string deska = look_up("labbench-deska.conf");
    EXPECT_EQ(deska, at("labbench/labbench-deska.conf"));
    EXPECT_EQ(read_text(deska), "[export]\nlastFolder=/data/deska\n");
    EXPECT_EQ(read_text(at("labbench/labbench-generator.conf")),
              "[export]\nlastFolder=/data/gen\n");
    EXPECT_NE(said.find("moved " + at("LabBench/labbench-deska.conf") + " to " + deska),
              std::string::npos)
        << said;
    EXPECT_EQ(read_text(look_up("instruments.conf")), "8 = USBTMC::/dev/usbtmc0\n");
    EXPECT_EQ(said, "") << "the move is done once";
    EXPECT_FALSE(exists(at("LabBench"))) << "the emptied old folder is removed";
}

// Something in the way of the move: the old file stays whole where it is, and the
// file read is the one named, with a line saying why.
struct InTheWay {
    const char *what;
    const char *path, *text;  // what is in the way, in the configuration home
    const char *read;         // the file read afterwards: in "labbench" or in "LabBench"
    const char *holds;        // what that file holds
    const char *says;         // the line's middle, between the old file and the new
    const char *why;          // and what else it says
};
const InTheWay inTheWay[] = {
    {"a file already in the new folder wins", "labbench/labbench-deska.conf", "new\n",
     "labbench/labbench-deska.conf", "new\n", " is no longer read: ", "holds that setting"},
    {"a move that fails keeps the old file read", "labbench", "a file where the folder should be\n",
     "LabBench/labbench-deska.conf", "old\n", " to ", "it is still read where it is"},
};
void PrintTo(const InTheWay &c, std::ostream *os) { *os << c.what; }

class SettingsMoveInTheWay : public SettingsMove, public testing::WithParamInterface<InTheWay> {};

TEST_P(SettingsMoveInTheWay, OldFileStaysAndIsReadOnlyWhenItCouldNotMove) {
    const InTheWay &c = GetParam();
    write_text(at("LabBench/labbench-deska.conf"), "old\n");
    write_text(at(c.path), c.text);

    const std::string file = look_up("labbench-deska.conf");
    EXPECT_EQ(file, at(c.read));
    EXPECT_EQ(read_text(file), c.holds);
    EXPECT_EQ(read_text(at("LabBench/labbench-deska.conf")), "old\n")
        << "the old file is neither lost nor merged";
    EXPECT_NE(
        said.find(at("LabBench/labbench-deska.conf") + c.says + at("labbench/labbench-deska.conf")),
        std::string::npos)
        << said;
    EXPECT_NE(said.find(c.why), std::string::npos) << said;
    EXPECT_EQ(look_up("instruments.conf"), at("labbench/instruments.conf"))
        << "a file the old folder never held is looked for in the new one";
}

INSTANTIATE_TEST_SUITE_P(Cases, SettingsMoveInTheWay, testing::ValuesIn(inTheWay),
                         [](const auto &info) { return test_support::case_name(info.param.what); });

TEST_F(SettingsMove, OldNameThatIsTheSameFolderMovesNothing) {
    write_text(at("labbench/labbench-deska.conf"), "one\n");
    ASSERT_EQ(::symlink("labbench", at("LabBench").c_str()), 0);

    EXPECT_EQ(look_up("labbench-deska.conf"), at("labbench/labbench-deska.conf"));
    EXPECT_EQ(said, "");
    EXPECT_EQ(read_text(at("labbench/labbench-deska.conf")), "one\n");
    EXPECT_TRUE(exists(at("LabBench")));
}

}  // namespace
