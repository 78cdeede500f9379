// SPDX-License-Identifier: GPL-3.0-or-later
// Speed of the graph path the programs use on every upload or measurement:
// delete all plots, plot 3600 16-bit codes (the generator's preview) or 1000
// floats (a measurement), with and without the synchronous repaint.
// Run: QT_QPA_PLATFORM=offscreen ./userint_plot_benchmark
#include <benchmark/benchmark.h>

#include <QWidget>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "userint.h"
#include "userint_testing.h"

namespace {

enum { GRAPH = 8 };
int quitNothing(int, int, int, void *, int, int) { return 0; }
int panelNothing(int, int, void *, int, int) { return 0; }
const CallbackRegistration callbacks{
    {"onCommit", quitNothing}, {"onQuit", quitNothing}, {"onPanel", panelNothing}};

int panel = 0;

std::vector<short> preview_codes() {
    std::vector<short> codes(3600);
    for (int k = 0; k < 3600; ++k)
        codes[k] = static_cast<short>(2047 * std::sin(k * 3.14159265358979 / 1800));
    return codes;
}

void plot_loop(benchmark::State &state, bool shown, int count, int type) {
    QWidget *window = userint_testing::panel_widget(panel);
    window->setVisible(shown);
    const std::vector<short> codes = preview_codes();
    std::vector<float> volts(codes.begin(), codes.end());
    const void *data = type == WAVE_INT16 ? static_cast<const void *>(codes.data()) : volts.data();
    for (auto _ : state) {
        DeleteGraphPlot(panel, GRAPH, -1, 1);
        benchmark::DoNotOptimize(PlotWaveform(panel, GRAPH, data, count, type, 0.00048828, 0.0, 0.0,
                                              0.1, 0, 1, 0, 1, 0xFF0000));
    }
    state.SetItemsProcessed(state.iterations() * count);
}

void BM_Preview3600Hidden(benchmark::State &state) { plot_loop(state, false, 3600, WAVE_INT16); }
void BM_Preview3600Shown(benchmark::State &state) { plot_loop(state, true, 3600, WAVE_INT16); }
void BM_Measurement1000Shown(benchmark::State &state) { plot_loop(state, true, 1000, WAVE_FLOAT); }
BENCHMARK(BM_Preview3600Hidden)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Preview3600Shown)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Measurement1000Shown)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char **argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    if (!InitCVIRTE(nullptr, argv, nullptr)) return 1;
    panel = LoadPanel(0, "bench.uir", 1);
    if (panel <= 0) return 1;
    DisplayPanel(panel);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    DiscardPanel(panel);
    return 0;
}
