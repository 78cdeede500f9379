// SPDX-License-Identifier: GPL-3.0-or-later
// Speed of the generator's upload with a GPIB driver library that takes no bus
// time: the synthesis of the 3600-entry table, the assembly of the 7224-byte
// block, the preview redraw, the six transfers through the GPIB binding, the
// error query that follows them, and one whole SendSin, each as the program does it after start-up
// with its panel shown. The bus itself would add about 7.3 ms per upload (about 1 MB/s at best);
// the program's own work must stay well below that.
//
// Run: scripts/perf.sh, or QT_QPA_PLATFORM=offscreen ./generator_benchmark
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "generator_ui.h"
#include "harness.h"
#include "panel_run.h"
#include "userint.h"

namespace {

constexpr int kTableEntries = 3600;

void BM_GenSin(benchmark::State &state) {
    // Angle 0 is the dearest table: all 3600 entries are sines.
    for (auto _ : state) {
        GenSin(0.0f, Um);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_GenSin)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();

// GenSin as SendSin meets it, right after the run-time has redrawn the panel:
// drawing code can leave the processor in a state that slows the arithmetic
// that follows it. Each iteration redraws (not timed), then times one table.
void BM_GenSinAfterRedraw(benchmark::State &state) {
    for (auto _ : state) {
        DeleteGraphPlot(PANEL, PANEL_GRAPH, -1, 1);
        PlotWaveform(PANEL, PANEL_GRAPH, Data.b, kTableEntries, WAVE_INT16, 0.00048828, 0.0, 0.0,
                     0.1, 0, 1, 0, 1, 0xFF0000);
        const auto start = std::chrono::steady_clock::now();
        GenSin(0.0f, Um);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(took.count());
    }
}
// A fixed count: each iteration's untimed redraw costs about a hundred tables.
BENCHMARK(BM_GenSinAfterRedraw)->Unit(benchmark::kMicrosecond)->UseManualTime()->Iterations(200);

// The header and the table copied behind it low byte first: the program's own
// assembly step, as SendSin calls it.
void BM_BlockAssembly(benchmark::State &state) {
    GenSin(Alpha, Um);
    for (auto _ : state) {
        AssembleBlock();
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_BlockAssembly)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();

// The preview as SendSin refreshes it: every plot removed and the graph redrawn,
// then the table plotted and drawn again, on the panel as it is shown.
void BM_Preview(benchmark::State &state) {
    GenSin(Alpha, Um);
    for (auto _ : state) {
        DeleteGraphPlot(PANEL, PANEL_GRAPH, -1, 1);
        int plot = PlotWaveform(PANEL, PANEL_GRAPH, Data.b, kTableEntries, WAVE_INT16, 0.00048828,
                                0.0, 0.0, 0.1, 0, 1, 0, 1, 0xFF0000);
        if (plot <= 0) {
            state.SkipWithError("PlotWaveform refused the preview (see stderr)");
            break;
        }
    }
}
BENCHMARK(BM_Preview)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();

// The six transfers of one upload through the GPIB binding and the status hook.
void BM_Transfers(benchmark::State &state) {
    GenSin(Alpha, Um);
    AssembleBlock();
    for (auto _ : state) {
        SendCmd(8, "freq 10000.000000");
        SendCmd(8, "volt 4.500000");
        SendCmd(8, "FORM:BORD SWAP");
        SendBlok(8, data, 7224);
        SendCmd(8, "FUNC:USER VOLATILE");
        SendCmd(8, "FUNC:SHAP USER");
    }
}
BENCHMARK(BM_Transfers)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();

// The error query after the transfers, as an instrument with an empty error queue
// answers it: one SYST:ERR? and its reply through the binding.
void BM_ErrorQuery(benchmark::State &state) {
    for (auto _ : state) Query(8, "SYST:ERR?");
}
BENCHMARK(BM_ErrorQuery)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();

// The busy lamp on, the status line written, the lamp off: each shown at once.
void BM_LampAndStatus(benchmark::State &state) {
    for (auto _ : state) {
        SetCtrlVal(PANEL, PANEL_BUSY, 1);
        SetCtrlVal(PANEL, PANEL_STATUS, "Sent all 6 transfers: 10000 Hz, 4.5 Vpp, angle 0\u00b0");
        SetCtrlVal(PANEL, PANEL_BUSY, 0);
    }
}
BENCHMARK(BM_LampAndStatus)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();

void BM_SendSin(benchmark::State &state) {
    for (auto _ : state) SendSin(Freq, Alpha, Um);
}
BENCHMARK(BM_SendSin)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();

void reportFigures() {
    const double genSin = perf::seconds("BM_GenSin") * 1e6;
    const double block = perf::seconds("BM_BlockAssembly") * 1e6;
    const double preview = perf::seconds("BM_Preview") * 1e6;
    const double transfers = perf::seconds("BM_Transfers") * 1e6;
    const double errorQuery = perf::seconds("BM_ErrorQuery") * 1e6;
    const double lampAndStatus = perf::seconds("BM_LampAndStatus") * 1e6;
    const double whole = perf::seconds("BM_SendSin") * 1e3;
    perf::judge("GenSin, one full table (angle 0)", genSin, "us", 100);
    perf::judge("GenSin right after a redraw, as in SendSin",
                perf::wallSeconds("BM_GenSinAfterRedraw") * 1e6, "us", 100);
    perf::judge("SendSin, instant driver, with preview redraw", whole, "ms", 3);
    auto percent = [&](double us) {
        char text[32];
        std::snprintf(text, sizeof text, "%.0f %% of SendSin", us / (whole * 1e3) * 100);
        return std::string(text);
    };
    perf::share("  share: synthesis (GenSin)", genSin, "us", percent(genSin));
    perf::share("  share: block assembly (header + 7200-byte copy)", block, "us", percent(block));
    perf::share("  share: preview (DeleteGraphPlot + PlotWaveform + redraw)", preview, "us",
                percent(preview));
    perf::share("  share: six transfers through the GPIB binding", transfers, "us",
                percent(transfers));
    perf::share("  share: the error query SYST:ERR? and its answer", errorQuery, "us",
                percent(errorQuery));
    perf::share("  share: busy lamp on and off, status line", lampAndStatus, "us",
                percent(lampAndStatus));
    const double rest =
        whole * 1e3 - genSin - block - preview - transfers - errorQuery - lampAndStatus;
    perf::share("  share: the rest (command texts, and the parts' interplay)", rest, "us",
                percent(rest));
}

// The upload the program makes before its panel is first shown.
void defaultUpload() { SendSin(Freq, Alpha, Um); }

}  // namespace

int main(int argc, char **argv) {
    perf::initialise(&argc, argv);
    // The recording driver of the tests in its instant mode (every call completes
    // at once, nothing kept), unless GPIB_LIBRARY names another driver to time.
    setenv("GPIB_LIBRARY", PERF_RECORDING_GPIB, 0);
    if (std::strcmp(std::getenv("GPIB_LIBRARY"), PERF_RECORDING_GPIB) == 0 &&
        !perf::switchOnMode(PERF_RECORDING_GPIB, "recgpib_instant"))
        return 2;
    // As the program starts: bus prepared, run-time up, panel loaded, default
    // upload made, panel shown and painted.
    SendIFC(0);
    EnableRemote(0, IAdress);
    return perf::runOnPanel("generator_benchmark", argv, "generator.uir", defaultUpload,
                            reportFigures);
}
