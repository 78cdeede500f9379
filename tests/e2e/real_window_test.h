// SPDX-License-Identifier: GPL-3.0-or-later
// The fixture of the real-window tests: a fresh folder and a private X server per
// test, and the built programs started on it against the simulated bench (the
// simulated instrument as the GPIB driver library, the simulated board as the
// port library, one bench state file and one bus log per test).
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench_state.h"
#include "desktop.h"

namespace e2e {

class RealWindowTest : public ::testing::Test {
protected:
    std::filesystem::path run_dir;  // logs, state file and screenshots of this test
    std::unique_ptr<Desktop> desktop;

    void SetUp() override {
        const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
        run_dir = std::filesystem::path(E2E_RUN_ROOT) /
                  (std::string(info->test_suite_name()) + "." + info->name());
        std::filesystem::remove_all(run_dir);
        std::filesystem::create_directories(run_dir / "runtime");
        chmod((run_dir / "runtime").c_str(), 0700);
        desktop = std::make_unique<Desktop>(run_dir);
        ASSERT_EQ(desktop->error(), "") << "the private X server did not start";
    }

    std::filesystem::path state_file() const { return run_dir / "bench.state"; }
    std::filesystem::path bus_log() const { return run_dir / "gpib.log"; }

    // Starts a built program on this test's display and simulated bench; its
    // output goes to <run_dir>/<name>.out.
    std::unique_ptr<Process> start(const std::string &path, Env extra = {}) const {
        Env env{{"DISPLAY", desktop->display()},
                {"QT_QPA_PLATFORM", "xcb"},
                {"XDG_RUNTIME_DIR", (run_dir / "runtime").string()},
                {"GPIB_LIBRARY", LABBENCH_SIM_GPIB_PATH},
                {"PORTIO_LIBRARY", LABBENCH_SIM_BOARD_PATH},
                {"BENCH_SIM_STATE", state_file().string()},
                {"GPIB_SIM_LOG", bus_log().string()},
                {"GPIB_TRACE", ""},
                {"PORTIO_TRACE", ""},
                {"BOARD_SIM_ABSENT", ""},
                {"BOARD_SIM_SIGNAL", ""},
                {"BOARD_SIM_NOISE_V", ""},
                {"GPIB_SIM_BYTES_PER_S", ""}};
        for (auto &[name, value] : extra) env[name] = value;
        std::string name = std::filesystem::path(path).filename().string();
        return std::make_unique<Process>(std::vector<std::string>{path}, env,
                                         run_dir / (name + ".out"));
    }

    // The window titled `title` (a regular expression) of `program`, or a test failure.
    unsigned long window_of(Process &program, const std::string &title) const {
        if (!program.started()) {
            ADD_FAILURE() << "the program could not be started";
            return 0;
        }
        auto window = desktop->find_window(program.pid(), title);
        if (!window) {
            ADD_FAILURE() << "no window titled /" << title << "/ appeared within 20 s; the program "
                          << (program.running() ? "is still running" : "has ended")
                          << "; its output:\n"
                          << program.output();
            return 0;
        }
        return *window;
    }

    // Presses keys in `window` (see Desktop::keys); on failure, what xdotool said.
    ::testing::AssertionResult pressed(unsigned long window,
                                       const std::vector<std::string> &keys) const {
        ToolResult r = desktop->keys(window, keys);
        if (r.status == 0) return ::testing::AssertionSuccess();
        std::string list;
        for (const auto &k : keys) list += " " + k;
        return ::testing::AssertionFailure() << "pressing" << list << " failed: " << r.describe();
    }
    ::testing::AssertionResult typed(const std::string &text) const {
        ToolResult r = desktop->type(text);
        if (r.status == 0) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "typing '" << text << "' failed: " << r.describe();
    }

    // The simulated instrument's output as it last published it.
    benchsim::BenchOutput instrument() const {
        benchsim::BenchOutput output;
        std::string error;
        if (!benchsim::read_bench_state(state_file().string(), output, error))
            ADD_FAILURE() << "cannot read the simulated instrument's state: " << error;
        return output;
    }

    // One routine call on the simulated bus, from the instrument's log.
    struct BusCall {
        std::string routine;  // SendIFC, EnableRemote, EnableLocal, Send or Receive
        std::string data;     // the bytes that crossed the bus, escaped as the log writes them
        std::string line;     // the whole log line
    };
    std::vector<BusCall> bus() const {
        std::vector<BusCall> calls;
        std::istringstream lines(read_file(bus_log()));
        for (std::string line; std::getline(lines, line);) {
            BusCall call{line.substr(0, line.find(' ')), {}, line};
            auto begin = line.find(" data=\"");
            auto end = line.rfind("\" ibsta=");
            if (begin != std::string::npos && end != std::string::npos && end >= begin + 7)
                call.data = line.substr(begin + 7, end - begin - 7);
            calls.push_back(call);
        }
        return calls;
    }
    // Completed uploads: the last of an upload's six transfers selects the user waveform.
    int uploads() const {
        int count = 0;
        for (const auto &call : bus())
            count += call.routine == "Send" && call.data == "FUNC:SHAP USER";
        return count;
    }
    // The text of the last command sent that starts with `prefix`.
    std::string last_sent(const std::string &prefix) const {
        std::string found;
        for (const auto &call : bus())
            if (call.routine == "Send" && call.data.rfind(prefix, 0) == 0) found = call.data;
        return found;
    }

    // Saves a screenshot into this test's folder and into the folder the README's
    // pictures are taken from (E2E_SCREENSHOT_DIR).
    void save_screenshot(unsigned long window, const std::string &name,
                         bool with_popups = false) const {
        const auto png = run_dir / name;
        std::string error = desktop->screenshot(window, png, with_popups);
        ASSERT_EQ(error, "") << "screenshot " << name << " failed";
        std::filesystem::create_directories(E2E_SCREENSHOT_DIR);
        std::filesystem::copy_file(png, std::filesystem::path(E2E_SCREENSHOT_DIR) / name,
                                   std::filesystem::copy_options::overwrite_existing);
    }
};

}  // namespace e2e
