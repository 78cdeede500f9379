// SPDX-License-Identifier: GPL-3.0-or-later
// deska's capture of 1000 samples on the simulated board at the highest
// sampling rate the panel allows (100 kHz: 10 us between conversions). The
// board converts on its own clock and holds one result, so the program must
// read every result before the next one replaces it: an overrun, which the
// simulated board counts, is a lost sample.
//
// Samples lost per capture, side by side on this machine: deska's capture
// (a Run, as the operator makes it) and a bare loop that only reads the clock
// (on the same capture thread, so with the same policy), each idle and under
// a load the benchmark makes itself (one busy process per core, at normal
// priority, for a few seconds), each with the capture thread's real-time
// priority (when the benchmark runs as root) and without it. What the bare
// loop misses is the machine's own pauses (interrupts, a virtual machine's
// host); deska must lose no more than that, plus one per capture.
//
// And the other end of the range: a capture at 0.01 kHz would last 100 s, and
// the operator who presses Stop must get the panel back within 0.25 s, also
// with the whole program on one core.
//
// Run: scripts/perf.sh, or QT_QPA_PLATFORM=offscreen ./capture_benchmark
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <dlfcn.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "deska.h"
#include "harness.h"
#include "panel_run.h"
#include "userint.h"

// The port library is chosen before deska declares its port window (a
// file-scope object), so the benchmark never asks for the real ports. The
// board measures its default signal, not an instrument's output left behind
// by another program.
__attribute__((constructor(101))) static void chooseSimulatedBoard() {
    setenv("PORTIO_LIBRARY", PERF_SIM_BOARD, 0);
    setenv("BENCH_SIM_STATE", "/nonexistent/labbench-perf.state", 0);
}

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kSamples = 1000;
constexpr float kHighestRate_khz = 100.0f;
constexpr int kCaptures = 100;  // per row of the lost-samples table
// The load processes end by themselves after this long, whatever happens to the
// benchmark (s); it stops them as soon as their rows are measured.
constexpr unsigned kLoadLimit_s = 60;

using OverrunCount = unsigned long (*)(void);
OverrunCount boardOverruns = nullptr;

void pressRun() { run(PANEL, PANEL_RUN, EVENT_COMMIT, nullptr, 0, 0); }

// A Run at 100 kHz as the operator makes it: the board set up, 1000 samples
// polled on the capture thread, the RMS and the plot shown.
void BM_Run(benchmark::State &state) {
    unsigned long overruns = 0;
    SetCtrlVal(PANEL, PANEL_FREQ, kHighestRate_khz);
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        pressRun();
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        overruns += boardOverruns();
    }
    state.counters["overruns"] =
        benchmark::Counter(static_cast<double>(overruns), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_Run)->Unit(benchmark::kMillisecond)->UseManualTime();

// Every thread of the process on one core, as `taskset -c` starts a program, or
// back on all of them.
void pinProcess(bool oneCore) {
    cpu_set_t cores;
    CPU_ZERO(&cores);
    if (oneCore) {
        CPU_SET(sched_getcpu(), &cores);
    } else {
        for (long cpu = 0; cpu < sysconf(_SC_NPROCESSORS_ONLN); ++cpu) CPU_SET(cpu, &cores);
    }
    DIR *tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return;
    while (dirent *entry = readdir(tasks))
        if (entry->d_name[0] != '.')
            sched_setaffinity(std::atoi(entry->d_name), sizeof cores, &cores);
    closedir(tasks);
}

// Stop pressed 350 ms into a capture at 0.01 kHz (a conversion every 100 ms), as the
// operator's click reaches the program: Run's callback while the capture runs on the
// capture thread. The time is from the press to run's return, the panel showing the
// outcome. With range(0) = 1 the whole program runs on one core; the longest time
// the window's 10 ms timer waited meanwhile is kept as the counter "stood_ms".
constexpr float kLowestRate_khz = 0.01f;
constexpr int kStopAfter_ms = 350;

void BM_StopLongCapture(benchmark::State &state) {
    const bool pinned = state.range(0) != 0;
    SetCtrlVal(PANEL, PANEL_FREQ, kLowestRate_khz);
    if (pinned) pinProcess(true);
    double stood_ms = 0;
    for (auto _ : state) {
        Clock::time_point pressed{};
        Clock::time_point lastTick = Clock::now();
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            const Clock::time_point now = Clock::now();
            stood_ms = std::max(stood_ms,
                                std::chrono::duration<double, std::milli>(now - lastTick).count());
            lastTick = now;
        });
        ticker.start(10);
        QTimer::singleShot(kStopAfter_ms, [&] {
            pressed = Clock::now();
            pressRun();
        });
        pressRun();
        const Clock::time_point ended = Clock::now();
        if (pressed == Clock::time_point{}) {
            state.SkipWithError("the capture ended before Stop was pressed");
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(ended - pressed).count());
    }
    if (pinned) pinProcess(false);
    state.counters["stood_ms"] = stood_ms;
    SetCtrlVal(PANEL, PANEL_FREQ, kHighestRate_khz);
}
BENCHMARK(BM_StopLongCapture)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(2);

// ---- Lost samples: deska and the bare loop, idle and loaded, with and without priority

struct Loss {
    double mean = NAN;
    double max = NAN;
};

Loss summarise(const std::vector<double> &lost) {
    Loss l;
    if (lost.empty()) return l;
    double sum = 0;
    for (double n : lost) sum += n;
    l.mean = sum / lost.size();
    l.max = *std::max_element(lost.begin(), lost.end());
    return l;
}

// One capture's time of a loop that only reads the clock: the conversions a program
// that reads at once would still miss, one for every period a gap between two reads
// of the clock spans.
int bareLoop(void *) {
    const double period_us = 1000.0 / kHighestRate_khz;
    const auto length = std::chrono::duration<double, std::micro>(kSamples * period_us);
    const Clock::time_point start = Clock::now();
    Clock::time_point last = start;
    int missed = 0;
    for (Clock::time_point now = start; now - start < length; now = Clock::now()) {
        missed += static_cast<int>(
            std::floor(std::chrono::duration<double, std::micro>(now - last).count() / period_us));
        last = now;
    }
    return missed;
}

// One busy process per core at normal priority, each on its own core; they end by
// themselves after kLoadLimit_s, or with the benchmark.
std::vector<pid_t> startLoad() {
    std::vector<pid_t> load;
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    for (long core = 0; core < cores; ++core) {
        const pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            alarm(kLoadLimit_s);
            const sched_param normal{};
            sched_setscheduler(0, SCHED_OTHER, &normal);
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(core, &one);
            sched_setaffinity(0, sizeof one, &one);
            volatile unsigned long spin = 0;
            for (;;) {
                spin = spin + 1;
            }
        }
        if (pid > 0) load.push_back(pid);
    }
    // Give the scheduler a moment to spread them.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    return load;
}

void stopLoad(const std::vector<pid_t> &load) {
    for (pid_t pid : load) kill(pid, SIGKILL);
    for (pid_t pid : load) waitpid(pid, nullptr, 0);
}

struct Condition {
    Loss deska;
    Loss bare;
};

// Runs at 100 kHz, as the operator makes them, and captures' times of the bare loop
// on the capture thread, taken in turns so that both meet the same machine.
Condition measure(bool loaded, int captures) {
    const std::vector<pid_t> load = loaded ? startLoad() : std::vector<pid_t>{};
    std::vector<double> deska;
    std::vector<double> bare;
    SetCtrlVal(PANEL, PANEL_FREQ, kHighestRate_khz);
    for (int i = 0; i < captures; ++i) {
        pressRun();
        deska.push_back(static_cast<double>(boardOverruns()));
        bare.push_back(RunOnBackgroundThread(bareLoop, nullptr));
    }
    stopLoad(load);
    return {summarise(deska), summarise(bare)};
}

// The capture thread back on the normal policy, as deska runs without the capability.
// Lowering needs no privilege (given the flag that keeps the threads it makes on the
// normal policy); raising it again would, so these rows come last.
bool dropRealtimePolicy() {
    const int tid =
        RunOnBackgroundThread([](void *) { return static_cast<int>(gettid()); }, nullptr);
    const sched_param normal{};
    return sched_setscheduler(tid, SCHED_OTHER | SCHED_RESET_ON_FORK, &normal) == 0 &&
           BackgroundThreadRealtime() == 0;
}

void showRow(const char *policy, const char *load, const Condition &c) {
    char figure[160];
    std::snprintf(figure, sizeof figure, "lost per capture, %s, %s: deska mean (max %g)", policy,
                  load, c.deska.max);
    perf::share(figure, c.deska.mean, "");
    std::snprintf(figure, sizeof figure, "lost per capture, %s, %s: bare loop mean (max %g)",
                  policy, load, c.bare.max);
    perf::share(figure, c.bare.mean, "");
}

void judgeRealtime(const char *load, const Condition &c) {
    char figure[160];
    std::snprintf(figure, sizeof figure,
                  "deska with real-time priority, %s: lost per capture, at most bare loop + 1",
                  load);
    perf::judge(figure, c.deska.mean, "", c.bare.mean + 1, false);
}

void reportFigures() {
    const double run_ms = perf::wallSeconds("BM_Run") * 1e3;
    perf::share("Run at 100 kHz, wall time: the capture's 1000/rate = 10 ms and the display",
                run_ms, "ms");
    perf::share("  samples lost per Run (as the benchmark found the machine)",
                perf::counter("BM_Run", "overruns"), "");
    perf::judge("Stop pressed during a 100 s capture, to the panel's outcome",
                perf::wallSeconds("BM_StopLongCapture/0") * 1e3, "ms", 250);
    perf::judge("the same with the whole program on one core",
                perf::wallSeconds("BM_StopLongCapture/1") * 1e3, "ms", 250);
    perf::share("  longest the window waited meanwhile",
                perf::counter("BM_StopLongCapture/1", "stood_ms"), "ms");

    const int captures = perf::smoke() ? 2 : kCaptures;
    std::printf("Samples lost per capture of 1000 at 100 kHz, %d captures each (mean, max):\n",
                captures);
    if (BackgroundThreadRealtime() == 1) {
        const Condition idle = measure(false, captures);
        const Condition loaded = measure(true, captures);
        showRow("real-time", "idle", idle);
        showRow("real-time", "one busy process per core", loaded);
        judgeRealtime("idle", idle);
        judgeRealtime("under load", loaded);
        if (!dropRealtimePolicy())
            std::printf("  the capture thread could not be put back on the normal policy\n");
    } else {
        std::printf("  no rows with real-time priority: %s (run the benchmark as root)\n",
                    BackgroundRealtimeRefusal());
    }
    if (BackgroundThreadRealtime() == 0) {
        showRow("normal priority", "idle", measure(false, captures));
        showRow("normal priority", "one busy process per core", measure(true, captures));
    }
}

}  // namespace

int main(int argc, char **argv) {
    perf::initialise(&argc, argv);
    void *board = dlopen(getenv("PORTIO_LIBRARY"), RTLD_NOW | RTLD_LOCAL);
    boardOverruns =
        board ? reinterpret_cast<OverrunCount>(dlsym(board, "board_sim_overruns")) : nullptr;
    if (!boardOverruns) {
        std::fprintf(stderr,
                     "capture_benchmark: PORTIO_LIBRARY=%s is not the simulated board (no "
                     "board_sim_overruns); point it at liblabbench_sim_board.so\n",
                     getenv("PORTIO_LIBRARY"));
        return 2;
    }
    return perf::runOnPanel("capture_benchmark", argv, "deska.uir", nullptr, reportFigures);
}
