// SPDX-License-Identifier: GPL-3.0-or-later
// deska's capture of 1000 samples on the simulated board at the highest
// sampling rate the panel allows (100 kHz: 10 us between conversions). The
// board converts on its own clock, so the capture must take 1000 periods,
// 10 ms, and the program must read every result before the next one replaces
// it: an overrun, which the simulated board counts, means a lost sample.
//
// And the other end of the range: a capture at 0.01 kHz would last 100 s, and
// the operator who presses Stop must get the panel back within 0.25 s.
//
// Run: scripts/perf.sh, or QT_QPA_PLATFORM=offscreen ./capture_benchmark
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
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

constexpr int kSamples = 1000;
constexpr float kHighestRate_khz = 100.0f;

using OverrunCount = unsigned long (*)(void);
OverrunCount boardOverruns = nullptr;
float realisedRate_khz = NAN;

// activation starts the board's conversions; read_data then takes the 1000
// results as they come, so its time is the capture's.
void BM_Capture(benchmark::State &state) {
    unsigned long overruns = 0;
    for (auto _ : state) {
        activation(kHighestRate_khz);
        const auto start = std::chrono::steady_clock::now();
        const int result = read_data();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(took.count());
        if (result != 0) {
            state.SkipWithError("read_data gave up: the simulated board delivered no sample");
            break;
        }
        overruns += boardOverruns();
    }
    GetCtrlVal(PANEL, PANEL_FREQ, &realisedRate_khz);
    state.counters["overruns"] =
        benchmark::Counter(static_cast<double>(overruns), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_Capture)->Unit(benchmark::kMillisecond)->UseManualTime();

// Stop pressed 350 ms into a capture at 0.01 kHz (a conversion every 100 ms), as the
// operator's click reaches the program: Run's callback while the capture runs on its
// own thread. The time is from the press to run's return, the panel showing the
// outcome.
constexpr float kLowestRate_khz = 0.01f;
constexpr int kStopAfter_ms = 350;

void BM_StopLongCapture(benchmark::State &state) {
    using Clock = std::chrono::steady_clock;
    SetCtrlVal(PANEL, PANEL_FREQ, kLowestRate_khz);
    for (auto _ : state) {
        Clock::time_point pressed{};
        QTimer::singleShot(kStopAfter_ms, [&] {
            pressed = Clock::now();
            run(PANEL, PANEL_RUN, EVENT_COMMIT, nullptr, 0, 0);
        });
        run(PANEL, PANEL_RUN, EVENT_COMMIT, nullptr, 0, 0);
        const Clock::time_point ended = Clock::now();
        if (pressed == Clock::time_point{}) {
            state.SkipWithError("the capture ended before Stop was pressed");
            break;
        }
        state.SetIterationTime(std::chrono::duration<double>(ended - pressed).count());
    }
    SetCtrlVal(PANEL, PANEL_FREQ, kHighestRate_khz);
}
BENCHMARK(BM_StopLongCapture)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(2);

// Conversions that a loop doing nothing but read the clock would miss in one
// capture's time: every pause of the process longer than a conversion period
// (interrupts, the scheduler, a virtual machine's host) loses the results that
// fall in it. The median of a few captures' worth of polling.
double machineMisses(double period_us, double capture_ms) {
    using Clock = std::chrono::steady_clock;
    std::vector<double> misses;
    for (int run = 0; run < 9; ++run) {
        const Clock::time_point start = Clock::now();
        Clock::time_point last = start;
        double missed = 0;
        while (Clock::now() - start < std::chrono::duration<double, std::milli>(capture_ms)) {
            const Clock::time_point now = Clock::now();
            missed += std::floor(std::chrono::duration<double, std::micro>(now - last).count() /
                                 period_us);
            last = now;
        }
        misses.push_back(missed);
    }
    std::sort(misses.begin(), misses.end());
    return misses[misses.size() / 2];
}

void reportFigures() {
    const double expected_ms = kSamples / realisedRate_khz;
    const double took_ms = perf::wallSeconds("BM_Capture") * 1e3;
    char figure[128];
    std::snprintf(figure, sizeof figure, "capture of 1000 samples at %g kHz, off 1000/rate = %g ms",
                  realisedRate_khz, expected_ms);
    perf::judge(figure, std::fabs(took_ms - expected_ms) / expected_ms * 100, "%", 2);
    perf::share("  capture time", took_ms, "ms");
    perf::judge("overruns per capture (samples lost)", perf::counter("BM_Capture", "overruns"), "",
                0, false);
    perf::share("  conversions a bare clock-polling loop misses meanwhile",
                machineMisses(1000 / realisedRate_khz, expected_ms), "", "the machine's pauses");
    perf::judge("Stop pressed during a 100 s capture, to the panel's outcome",
                perf::wallSeconds("BM_StopLongCapture") * 1e3, "ms", 250);
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
