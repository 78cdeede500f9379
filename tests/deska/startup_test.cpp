// SPDX-License-Identifier: GPL-3.0-or-later
// deska started where its panel file is missing: it must end at once with status -1
// (255 as a process) and never show a window. This executable has no deska.uir beside it.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QWidget>
#include <filesystem>
#include <string>

// The program's own main, renamed in its test copy.
extern "C" int deska_main(int argc, char *argv[]);

namespace {

TEST(DeskaStartup, MissingPanelFileReturnsMinusOneAndShowsNoWindow) {
    static char name[] = "deska";
    static char *argv[] = {name, nullptr};
    EXPECT_EQ(deska_main(1, argv), -1);
    for (QWidget *w : QApplication::topLevelWidgets())
        EXPECT_FALSE(w->isVisible()) << "a window was shown: " << w->objectName().toStdString();
}

TEST(DeskaStartup, ProgramWithoutItsPanelFileExitsWith255) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("deska-nopanel-" + std::to_string(getpid()));
    fs::create_directories(dir);
    fs::copy_file(DESKA_PROGRAM, dir / "deska", fs::copy_options::overwrite_existing);
    ASSERT_FALSE(fs::exists(dir / "deska.uir"));

    const std::string command = "'" + (dir / "deska").string() + "' </dev/null";
    const int status = std::system(command.c_str());
    fs::remove_all(dir);
    ASSERT_TRUE(WIFEXITED(status)) << "deska did not exit normally (status " << status << ")";
    EXPECT_EQ(WEXITSTATUS(status), 255);
}

}  // namespace
