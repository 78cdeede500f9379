// SPDX-License-Identifier: GPL-3.0-or-later
// Times a program's start-up from outside the process: from the moment it is
// started to its first painted frame on an X display, and its peak memory.
//
//   first_frame [--runs N] [--settle-ms M] [--name TEXT] -- program [arguments]
//
// Method. The tool watches the display's root window before it starts the
// program: structure events (SubstructureNotify) tell it when the program's
// top-level window is mapped, and a DAMAGE object on the root reports the first
// drawing into any window below it. Nothing else draws on the private display
// that scripts/perf.sh starts, and a toolkit window has no server-painted
// background, so the first damage after the map is the program's own first
// frame reaching the screen. The clock starts right before posix_spawn, so the
// figure includes loading the program and its libraries. After the frame the
// program runs on for --settle-ms, is stopped with SIGTERM, and wait4 gives its
// peak resident set size (ru_maxrss: every page it touched, shared libraries
// included). The first start is a warm-up whose caches are cold; the figures
// judged are the median start-up and the largest peak of the N runs after it.
//
// The program runs on the X display in DISPLAY with QT_QPA_PLATFORM=xcb, and
// otherwise with this tool's environment (GPIB_LIBRARY, PORTIO_LIBRARY, ...).
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <xcb/damage.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kGiveUp = std::chrono::seconds(20);
constexpr double kStartBudget_ms = 150;
constexpr double kMemoryBudget_mb = 60;

struct Start {
    double mapped_ms = 0;
    double frame_ms = 0;
    double peak_mb = 0;
};

double msSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

[[noreturn]] void fail(const std::string &message) {
    std::fprintf(stderr, "first_frame: %s\n", message.c_str());
    std::exit(2);
}

// Stops the program and returns its peak resident set size in MB (10^6 bytes).
double stopAndMeasure(pid_t pid) {
    kill(pid, SIGTERM);
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) fail("lost the program's process");
    return usage.ru_maxrss * 1024.0 / 1e6;
}

Start startOnce(char **command, int settle_ms) {
    xcb_connection_t *x = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(x))
        fail("cannot connect to the X display DISPLAY=" +
             std::string(getenv("DISPLAY") ? getenv("DISPLAY") : "(unset)") +
             "; start Xvfb and set DISPLAY (scripts/perf.sh does both)");
    const xcb_query_extension_reply_t *damage = xcb_get_extension_data(x, &xcb_damage_id);
    if (!damage || !damage->present) fail("the X display has no DAMAGE extension");
    xcb_damage_query_version_reply_t *version = xcb_damage_query_version_reply(
        x, xcb_damage_query_version(x, XCB_DAMAGE_MAJOR_VERSION, XCB_DAMAGE_MINOR_VERSION),
        nullptr);
    std::free(version);
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(x)).data->root;
    const uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(x, root, XCB_CW_EVENT_MASK, &mask);
    const xcb_damage_damage_t rootDamage = xcb_generate_id(x);
    xcb_damage_create(x, rootDamage, root, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    free(xcb_get_input_focus_reply(x, xcb_get_input_focus(x), nullptr));  // all of it in force

    Start start;
    bool mapped = false;
    pid_t pid = 0;
    const Clock::time_point t0 = Clock::now();
    if (int error = posix_spawnp(&pid, command[0], nullptr, nullptr, command, environ))
        fail(std::string("cannot start ") + command[0] + ": " + std::strerror(error));

    pollfd watch{xcb_get_file_descriptor(x), POLLIN, 0};
    while (start.frame_ms == 0) {
        if (Clock::now() - t0 > kGiveUp) {
            stopAndMeasure(pid);
            fail(std::string(command[0]) + " showed no painted window within 20 s");
        }
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid)
            fail(std::string(command[0]) + " ended before it painted a window (exit status " +
                 std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ")");
        poll(&watch, 1, 5);
        while (xcb_generic_event_t *event = xcb_poll_for_event(x)) {
            const int type = event->response_type & 0x7F;
            if (type == XCB_MAP_NOTIFY && !mapped) {
                mapped = true;
                start.mapped_ms = msSince(t0);
            } else if (type == damage->first_event + XCB_DAMAGE_NOTIFY) {
                if (mapped && start.frame_ms == 0)
                    start.frame_ms = msSince(t0);
                else  // before the map: not the program's frame; report the next damage
                    xcb_damage_subtract(x, rootDamage, XCB_NONE, XCB_NONE);
                xcb_flush(x);
            }
            std::free(event);
        }
        if (xcb_connection_has_error(x)) fail("the X display closed the connection");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(settle_ms));
    start.peak_mb = stopAndMeasure(pid);
    xcb_disconnect(x);
    return start;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char **argv) {
    int runs = 10;
    int settle_ms = 500;
    std::string name;
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (!std::strcmp(argv[i], "--runs") && i + 1 < argc)
            runs = std::max(1, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--settle-ms") && i + 1 < argc)
            settle_ms = std::max(0, std::atoi(argv[++i]));
        else if (!std::strcmp(argv[i], "--name") && i + 1 < argc)
            name = argv[++i];
        else
            fail(std::string("unknown option ") + argv[i] +
                 "; usage: first_frame [--runs N] [--settle-ms M] [--name TEXT] -- program "
                 "[arguments]");
    }
    if (i + 1 >= argc) fail("no program given after --");
    char **command = argv + i + 1;
    if (name.empty()) name = command[0];
    setenv("QT_QPA_PLATFORM", "xcb", 1);

    const Start cold = startOnce(command, settle_ms);
    std::vector<double> frames, maps, peaks;
    for (int run = 0; run < runs; ++run) {
        const Start s = startOnce(command, settle_ms);
        frames.push_back(s.frame_ms);
        maps.push_back(s.mapped_ms);
        peaks.push_back(s.peak_mb);
        std::printf("%s start %d: window mapped %.1f ms, first frame %.1f ms, peak %.1f MB\n",
                    name.c_str(), run + 1, s.mapped_ms, s.frame_ms, s.peak_mb);
    }
    perf::judge(name + ": start-up to first painted frame (median)", median(frames), "ms",
                kStartBudget_ms);
    perf::share("  window mapped (median)", median(maps), "ms");
    perf::share("  slowest start", *std::max_element(frames.begin(), frames.end()), "ms");
    perf::share("  first start, cold caches (not judged)", cold.frame_ms, "ms");
    perf::judge(name + ": peak memory (largest of the runs)",
                *std::max_element(peaks.begin(), peaks.end()), "MB", kMemoryBudget_mb);
    return perf::finish();
}
