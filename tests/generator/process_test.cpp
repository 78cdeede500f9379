// SPDX-License-Identifier: GPL-3.0-or-later
// The built program started as a separate process, where the run-time cannot
// start or the panel file is missing: exit status 255 after the interface clear
// and remote enable, and nothing more on the bus.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Outcome {
    int exitStatus = -1;  // -1: killed or did not end
    std::vector<std::string> busLog;
    std::string stderrText;
};

std::string readFile(const fs::path &p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs `program` with the recording GPIB driver, the environment changed by `set` and
// `unset`, for at most 30 s.
Outcome run(const fs::path &program, const std::vector<std::string> &set,
            const std::vector<std::string> &unset) {
    fs::path dir = fs::temp_directory_path() / ("generator-process-" + std::to_string(getpid()));
    fs::create_directories(dir);
    fs::path log = dir / "bus.log", err = dir / "stderr.txt";
    fs::remove(log);
    pid_t child = fork();
    if (child == 0) {
        setenv("GPIB_LIBRARY", RECORDING_GPIB_PATH, 1);
        setenv("RECORDING_GPIB_LOG", log.c_str(), 1);
        for (const std::string &s : set) putenv(strdup(s.c_str()));
        for (const std::string &u : unset) unsetenv(u.c_str());
        freopen(err.c_str(), "w", stderr);
        execl(program.c_str(), program.c_str(), (char *)nullptr);
        _exit(127);
    }
    Outcome out;
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            ADD_FAILURE() << program << " did not end within 30 s";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (WIFEXITED(status)) out.exitStatus = WEXITSTATUS(status);
    std::istringstream lines(readFile(log));
    for (std::string line; std::getline(lines, line);)
        out.busLog.push_back(line.substr(0, line.find(' ')));
    out.stderrText = readFile(err);
    fs::remove_all(dir);
    return out;
}

TEST(GeneratorProcess, MissingPanelFileEndsWith255AfterBusPreparation) {
    // The program alone in a folder, without generator.uir beside it.
    fs::path dir = fs::temp_directory_path() / ("generator-alone-" + std::to_string(getpid()));
    fs::create_directories(dir);
    fs::copy_file(GENERATOR_PROGRAM, dir / "generator", fs::copy_options::overwrite_existing);
    Outcome out = run(dir / "generator", {"QT_QPA_PLATFORM=offscreen"}, {});
    fs::remove_all(dir);
    EXPECT_EQ(out.exitStatus, 255) << out.stderrText;
    EXPECT_EQ(out.busLog, (std::vector<std::string>{"SendIFC", "EnableRemote"}))
        << "nothing is uploaded without a panel";
    EXPECT_NE(out.stderrText.find("generator.uir"), std::string::npos)
        << "stderr should name the missing file: " << out.stderrText;
}

TEST(GeneratorProcess, NoDisplayEndsWith255AfterBusPreparation) {
    Outcome out = run(GENERATOR_PROGRAM, {}, {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"});
    EXPECT_EQ(out.exitStatus, 255) << out.stderrText;
    EXPECT_EQ(out.busLog, (std::vector<std::string>{"SendIFC", "EnableRemote"}));
    EXPECT_FALSE(out.stderrText.empty()) << "the reason goes to stderr";
}

}  // namespace
