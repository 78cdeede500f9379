// SPDX-License-Identifier: GPL-3.0-or-later
// Real-window test support: each test gets a private X server (Xvfb), starts the
// built programs on it as ordinary X11 clients on the simulated bench, and operates
// and reads them the way an operator and the desktop's own tools do: xdotool for
// real key presses (XTEST), xclip for the clipboard, ImageMagick's import for
// screenshots, and a WM_DELETE_WINDOW message for the window's close box.
//
// Every wait is bounded; every failure says what was expected and what was seen.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace e2e {

using namespace std::chrono_literals;
using Env = std::map<std::string, std::string>;  // name -> value; an empty value unsets
using Clock = std::chrono::steady_clock;

struct ToolResult {
    int status = -1;  // exit status, 128 + signal, or -1 when it could not start
    bool timed_out = false;
    std::string out;
    std::string err;
    std::string describe() const;  // status and both streams, for failure messages
};

// Runs a command to its end, at most `timeout` (then kills it), with the
// process's environment changed by `env`.
ToolResult run_tool(const std::vector<std::string> &argv, const Env &env,
                    std::chrono::milliseconds timeout = 15s);

// A program started in the background; standard output and error go to files.
// The destructor ends it (SIGTERM, then SIGKILL) if it is still running.
class Process {
public:
    Process(const std::vector<std::string> &argv, const Env &env,
            const std::filesystem::path &output);
    // Takes charge of a child already started elsewhere.
    Process(pid_t child, const std::filesystem::path &output) : pid_(child), output_(output) {}
    ~Process();
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // The exit status (128 + signal when killed) once it has ended, waiting at most `timeout`.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout);
    bool running();
    std::string output() const;  // what it wrote to stdout and stderr so far

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::filesystem::path output_;
};

// Polls `done` every 50 ms until it holds or `timeout` runs out.
bool wait_until(const std::function<bool()> &done, std::chrono::milliseconds timeout);

// A private X server with its desktop tools. Construct, then check error().
class Desktop {
public:
    explicit Desktop(const std::filesystem::path &work_dir);
    ~Desktop();

    const std::string &error() const { return error_; }  // empty when the server runs
    const std::string &display() const { return display_; }

    // Runs an X client tool on this display.
    ToolResult tool(const std::vector<std::string> &argv,
                    std::chrono::milliseconds timeout = 15s) const;

    // The first visible window of process `pid` whose title matches the regular
    // expression `title` (as xdotool search takes it), waiting at most `timeout`.
    std::optional<unsigned long> find_window(pid_t pid, const std::string &title,
                                             std::chrono::milliseconds timeout = 20s) const;
    bool window_visible(pid_t pid, const std::string &title) const;

    // Gives `window` the keyboard focus, then presses the keys (xdotool names,
    // e.g. "alt+n", "ctrl+a", "Return") one after another as real key events.
    ToolResult keys(unsigned long window, const std::vector<std::string> &keys) const;
    // Types text into the focused control as real key events.
    ToolResult type(const std::string &text) const;

    // Copies the focused control's text (ctrl+a, ctrl+c) and reads it back from
    // the clipboard, waiting until the clipboard holds text other than `previous`.
    std::optional<std::string> copy_focused_text(unsigned long window,
                                                 const std::string &previous = "",
                                                 std::chrono::milliseconds timeout = 30s) const;

    // Sends the close box's request (WM_PROTOCOLS / WM_DELETE_WINDOW), as a window manager does.
    std::string request_close(unsigned long window) const;  // empty, or what failed

    // Saves a PNG of the window, or of the screen area it covers (so that popups
    // over it are included). Empty, or what failed.
    std::string screenshot(unsigned long window, const std::filesystem::path &png,
                           bool with_popups = false) const;

private:
    std::string error_;
    std::string display_;
    std::filesystem::path work_dir_;
    std::unique_ptr<Process> server_;
};

// Pixels of exactly this colour (0xRRGGBB) in a PNG; -1 when it cannot be read.
long count_pixels(const std::filesystem::path &png, unsigned rgb);

std::string read_file(const std::filesystem::path &path);

}  // namespace e2e
