// SPDX-License-Identifier: GPL-3.0-or-later
// Real-window test support (see desktop.h): processes, the private X server,
// and the desktop tools that operate the programs' windows.
#include "desktop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <QImage>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char **environ;

namespace e2e {

namespace {

std::vector<std::string> environment_with(const Env &changes) {
    std::vector<std::string> result;
    for (char **entry = environ; *entry; ++entry) {
        std::string text = *entry;
        std::string name = text.substr(0, text.find('='));
        if (!changes.count(name)) result.push_back(text);
    }
    for (const auto &[name, value] : changes)
        if (!value.empty()) result.push_back(name + "=" + value);
    return result;
}

std::vector<char *> pointers(std::vector<std::string> &strings) {
    std::vector<char *> result;
    for (auto &s : strings) result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

int decode_status(int raw) {
    if (WIFEXITED(raw)) return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
    return -1;
}

// Ends a child: SIGTERM, then SIGKILL after two seconds; reaps it.
int end_child(pid_t pid) {
    int raw = 0;
    kill(pid, SIGTERM);
    for (int i = 0; i < 40; ++i) {
        if (waitpid(pid, &raw, WNOHANG) == pid) return decode_status(raw);
        std::this_thread::sleep_for(50ms);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &raw, 0);
    return decode_status(raw);
}

std::string join(const std::vector<std::string> &words) {
    std::string text;
    for (const auto &w : words) text += (text.empty() ? "" : " ") + w;
    return text;
}

}  // namespace

std::string ToolResult::describe() const {
    std::ostringstream text;
    if (status == -1)
        text << "could not start";
    else if (timed_out)
        text << "timed out";
    else
        text << "exit status " << status;
    if (!out.empty()) text << "; stdout: " << out;
    if (!err.empty()) text << "; stderr: " << err;
    return text.str();
}

ToolResult run_tool(const std::vector<std::string> &argv, const Env &env,
                    std::chrono::milliseconds timeout) {
    ToolResult result;
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0) return result;
    if (pipe2(err_pipe, O_CLOEXEC) != 0) {
        close(out_pipe[0]);
        close(out_pipe[1]);
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    std::vector<std::string> args = argv;
    std::vector<std::string> envs = environment_with(env);
    auto arg_ptrs = pointers(args);
    auto env_ptrs = pointers(envs);
    pid_t pid = -1;
    int spawn_error =
        posix_spawnp(&pid, args[0].c_str(), &actions, nullptr, arg_ptrs.data(), env_ptrs.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (spawn_error != 0) {
        result.err =
            argv[0] + ": " + std::strerror(spawn_error) + " (run scripts/deps.sh to install it)";
        close(out_pipe[0]);
        close(err_pipe[0]);
        return result;
    }
    const auto deadline = Clock::now() + timeout;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    int open_streams = 2;
    while (open_streams > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            result.timed_out = true;
            break;
        }
        if (poll(fds, 2, int(left.count())) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[4096];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? result.out : result.err).append(buffer, size_t(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_streams;
            }
        }
    }
    for (auto &fd : fds)
        if (fd.fd >= 0) close(fd.fd);
    if (result.timed_out) {
        result.status = end_child(pid);
        return result;
    }
    int raw = 0;
    while (waitpid(pid, &raw, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            result.timed_out = true;
            result.status = end_child(pid);
            return result;
        }
        std::this_thread::sleep_for(10ms);
    }
    result.status = decode_status(raw);
    return result;
}

Process::Process(const std::vector<std::string> &argv, const Env &env,
                 const std::filesystem::path &output)
    : output_(output) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<std::string> args = argv;
    std::vector<std::string> envs = environment_with(env);
    auto arg_ptrs = pointers(args);
    auto env_ptrs = pointers(envs);
    if (posix_spawnp(&pid_, args[0].c_str(), &actions, nullptr, arg_ptrs.data(), env_ptrs.data()) !=
        0)
        pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
}

Process::~Process() {
    if (pid_ > 0 && !status_) end_child(pid_);
}

std::optional<int> Process::wait_exit(std::chrono::milliseconds timeout) {
    if (pid_ <= 0 || status_) return status_;
    wait_until(
        [&] {
            int raw = 0;
            if (waitpid(pid_, &raw, WNOHANG) != pid_) return false;
            status_ = decode_status(raw);
            return true;
        },
        timeout);
    return status_;
}

bool Process::running() { return pid_ > 0 && !wait_exit(0ms); }

std::string Process::output() const { return read_file(output_); }

bool wait_until(const std::function<bool()> &done, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (done()) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(50ms);
    }
}

std::string read_file(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

Desktop::Desktop(const std::filesystem::path &work_dir) : work_dir_(work_dir) {
    // Xvfb picks a free display number itself and writes it to the pipe (-displayfd)
    // once it accepts clients; -noreset keeps it up between clients.
    int ready[2];
    if (pipe(ready) != 0) {
        error_ = std::string("pipe: ") + std::strerror(errno);
        return;
    }
    fcntl(ready[0], F_SETFD, FD_CLOEXEC);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string log = (work_dir / "xvfb.log").string();
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_adddup2(&actions, ready[1], 3);
    std::vector<std::string> args{"Xvfb", "-displayfd", "3", "-noreset",    "-nolisten",
                                  "tcp",  "-screen",    "0", "1280x1024x24"};
    std::vector<std::string> envs = environment_with({});
    auto arg_ptrs = pointers(args);
    auto env_ptrs = pointers(envs);
    pid_t pid = -1;
    int spawn_error =
        posix_spawnp(&pid, "Xvfb", &actions, nullptr, arg_ptrs.data(), env_ptrs.data());
    posix_spawn_file_actions_destroy(&actions);
    close(ready[1]);
    if (spawn_error != 0) {
        close(ready[0]);
        error_ = std::string("cannot start Xvfb: ") + std::strerror(spawn_error) +
                 " (install it with scripts/deps.sh)";
        return;
    }
    server_ = std::make_unique<Process>(pid, work_dir / "xvfb.log");
    std::string number;
    pollfd fd{ready[0], POLLIN, 0};
    const auto deadline = Clock::now() + 20s;
    while (number.find('\n') == std::string::npos && Clock::now() < deadline) {
        if (poll(&fd, 1, 200) <= 0) continue;
        char c;
        if (read(ready[0], &c, 1) != 1) break;
        number += c;
    }
    close(ready[0]);
    if (number.find('\n') == std::string::npos) {
        error_ = "Xvfb did not report a display within 20 s; its log: " + read_file(log);
        return;
    }
    display_ = ":" + number.substr(0, number.find('\n'));
}

Desktop::~Desktop() = default;

ToolResult Desktop::tool(const std::vector<std::string> &argv,
                         std::chrono::milliseconds timeout) const {
    return run_tool(argv, {{"DISPLAY", display_}}, timeout);
}

std::optional<unsigned long> Desktop::find_window(pid_t pid, const std::string &title,
                                                  std::chrono::milliseconds timeout) const {
    std::optional<unsigned long> found;
    wait_until(
        [&] {
            ToolResult r = tool({"xdotool", "search", "--all", "--onlyvisible", "--pid",
                                 std::to_string(pid), "--name", title});
            if (r.status != 0 || r.out.empty()) return false;
            found = std::stoul(r.out);
            return true;
        },
        timeout);
    return found;
}

bool Desktop::window_visible(pid_t pid, const std::string &title) const {
    ToolResult r = tool({"xdotool", "search", "--all", "--onlyvisible", "--pid",
                         std::to_string(pid), "--name", title});
    return r.status == 0 && !r.out.empty();
}

ToolResult Desktop::keys(unsigned long window, const std::vector<std::string> &keys) const {
    std::vector<std::string> argv{"xdotool", "windowfocus", "--sync", std::to_string(window),
                                  "key",     "--delay",     "40"};
    argv.insert(argv.end(), keys.begin(), keys.end());
    return tool(argv);
}

ToolResult Desktop::type(const std::string &text) const {
    return tool({"xdotool", "type", "--delay", "40", text});
}

std::optional<std::string> Desktop::copy_focused_text(unsigned long window,
                                                      const std::string &previous,
                                                      std::chrono::milliseconds timeout) const {
    std::optional<std::string> text;
    auto next_copy = Clock::now();
    wait_until(
        [&] {
            // The program may be busy (a capture); the keys then wait in its queue.
            // Copy again now and then in case a copy came before the text did.
            if (Clock::now() >= next_copy) {
                keys(window, {"ctrl+a", "ctrl+c"});
                next_copy = Clock::now() + 3s;
            }
            ToolResult r = tool({"xclip", "-o", "-selection", "clipboard"}, 3s);
            if (r.status != 0 || r.out.empty() || r.out == previous) return false;
            text = r.out;
            return true;
        },
        timeout);
    return text;
}

std::string Desktop::request_close(unsigned long window) const {
    int screen = 0;
    xcb_connection_t *connection = xcb_connect(display_.c_str(), &screen);
    if (xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        return "cannot connect to X display " + display_;
    }
    auto atom = [&](const char *name) {
        xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, uint16_t(std::strlen(name)), name), nullptr);
        xcb_atom_t value = XCB_ATOM_NONE;
        if (reply) value = reply->atom;
        std::free(reply);
        return value;
    };
    xcb_client_message_event_t event{};
    event.response_type = XCB_CLIENT_MESSAGE;
    event.format = 32;
    event.window = xcb_window_t(window);
    event.type = atom("WM_PROTOCOLS");
    event.data.data32[0] = atom("WM_DELETE_WINDOW");
    event.data.data32[1] = XCB_CURRENT_TIME;
    xcb_void_cookie_t sent =
        xcb_send_event_checked(connection, 0, xcb_window_t(window), XCB_EVENT_MASK_NO_EVENT,
                               reinterpret_cast<const char *>(&event));
    xcb_generic_error_t *failure = xcb_request_check(connection, sent);
    std::string error;
    if (failure)
        error = "X error " + std::to_string(failure->error_code) + " sending WM_DELETE_WINDOW";
    std::free(failure);
    xcb_disconnect(connection);
    return error;
}

std::string Desktop::screenshot(unsigned long window, const std::filesystem::path &png,
                                bool with_popups) const {
    std::filesystem::create_directories(png.parent_path());
    std::vector<std::string> argv{"import", "-window", std::to_string(window)};
    if (with_popups) {
        ToolResult geometry =
            tool({"xdotool", "getwindowgeometry", "--shell", std::to_string(window)});
        if (geometry.status != 0) return "xdotool getwindowgeometry: " + geometry.describe();
        std::map<std::string, std::string> values;
        std::istringstream lines(geometry.out);
        for (std::string line; std::getline(lines, line);)
            if (auto eq = line.find('='); eq != std::string::npos)
                values[line.substr(0, eq)] = line.substr(eq + 1);
        argv = {"import",
                "-window",
                "root",
                "-crop",
                values["WIDTH"] + "x" + values["HEIGHT"] + "+" + values["X"] + "+" + values["Y"],
                "+repage"};
    }
    argv.push_back("png:" + png.string());
    ToolResult r = tool(argv, 30s);
    if (r.status != 0) return join(argv) + ": " + r.describe();
    return {};
}

long count_pixels(const std::filesystem::path &png, unsigned rgb) {
    QImage image(QString::fromStdString(png.string()));
    if (image.isNull()) return -1;
    image = image.convertToFormat(QImage::Format_RGB32);
    long count = 0;
    for (int y = 0; y < image.height(); ++y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x)
            if ((line[x] & 0xFFFFFFu) == rgb) ++count;
    }
    return count;
}

}  // namespace e2e
