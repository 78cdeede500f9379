// SPDX-License-Identifier: GPL-3.0-or-later
// Speed of deska's measurement on a port library whose converter is always
// ready: read_data's own work per sample beyond its two port reads (the poll
// of the status/high byte and the read of the low byte), and one whole run
// with its RMS value, plot and redraw, as the program does it with its panel
// shown. An ISA port access takes about 1 us, so a sample costs at least
// 2 us on a real board; the program's share must stay a small part of that.
// The same for the wait for a trigger: each conversion read, compared with the
// level and dropped until one crosses it.
//
// Also the repaint of the graph with a 100 000-point reference trace over the
// capture, which must stay within a frame (16 ms).
//
// Run: scripts/perf.sh, or QT_QPA_PLATFORM=offscreen ./deska_benchmark
#include <benchmark/benchmark.h>

#include <QChartView>
#include <QTemporaryDir>
#include <QValueAxis>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "deska.h"
#include "graph_export.h"
#include "graph_tools.h"
#include "harness.h"
#include "panel_run.h"
#include "portio.h"
#include "scripted_port.h"
#include "userint.h"
#include "userint_internal.h"
#include "userint_testing.h"

// The port library is chosen before deska declares its port window (a
// file-scope object), so the benchmark never asks for the real ports: the
// scripted port library of the tests, linked here and switched to its
// always-ready mode in main.
__attribute__((constructor(101))) static void chooseReadyBoard() {
    setenv("PORTIO_LIBRARY", PERF_SCRIPTED_PORT, 0);
}

namespace {

constexpr int kSamples = 1000;

// The converter always has a result ready, stepping through one period of a
// sine (1000 samples, about +-4 V at the converter) so that the values
// computed and plotted look like a measurement.
void serveReadySine() {
    std::vector<std::uint16_t> codes(kSamples);
    for (int i = 0; i < kSamples; ++i)
        codes[i] = static_cast<std::uint16_t>(2048 + 1600 * std::sin(2 * M_PI * i / kSamples));
    scripted_port_serve(codes.data(), kSamples, 0);
    scripted_port_always_ready(1);
}
constexpr unsigned kStatusHigh = 0x305;
constexpr unsigned kLow = 0x304;
constexpr float kHighestRate_khz = 100.0f;

// The two reads of one sample, alone: the reference read_data is measured against.
void BM_PortReads(benchmark::State &state) {
    for (auto _ : state) {
        for (int i = 0; i < kSamples; i++) {
            benchmark::DoNotOptimize(CVI_inp(kStatusHigh));
            benchmark::DoNotOptimize(CVI_inp(kLow));
        }
    }
    state.SetItemsProcessed(state.iterations() * kSamples);
}
BENCHMARK(BM_PortReads)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();

void BM_ReadData(benchmark::State &state) {
    activation(kHighestRate_khz);
    for (auto _ : state) {
        if (read_data() != 0) {
            state.SkipWithError("read_data gave up: the ready board did not answer");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kSamples);
}
BENCHMARK(BM_ReadData)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();

// A rising-edge trigger at 0.5 V on a signal that sits at 0 V for kTriggerWait
// conversions and then at +2 V for a capture's length: each read_data waits
// through the kTriggerWait conversions (read and compared with the level, then
// dropped) and captures the 1000 after. Its time beyond BM_ReadData's, per
// waited conversion and less the two port reads, is the wait's own cost.
constexpr int kTriggerWait = 10000;

void serveTriggerAfterWait() {
    std::vector<std::uint16_t> codes(kTriggerWait + kSamples, 2048);
    std::fill(codes.begin() + kTriggerWait, codes.end(), std::uint16_t{2048 + 820});
    scripted_port_serve(codes.data(), static_cast<int>(codes.size()), 0);
    scripted_port_always_ready(1);
}

// The trigger as the operator chooses it, taken by deska at a Run.
void chooseTrigger(int edge, double level_v) {
    SetCtrlVal(PANEL, PANEL_TRIGGER, edge);
    SetCtrlVal(PANEL, PANEL_TRIGGER_LEVEL, level_v);
    SetCtrlVal(PANEL, PANEL_FREQ, kHighestRate_khz);
    run(PANEL, PANEL_RUN, EVENT_COMMIT, nullptr, 0, 0);
}

void BM_ReadDataTriggerWait(benchmark::State &state) {
    serveTriggerAfterWait();
    chooseTrigger(1, 0.5);
    char status[800] = "";
    GetCtrlVal(PANEL, PANEL_STATUS, status);
    if (std::strstr(status, "not triggered") != nullptr) {
        state.SkipWithError("the served edge did not trigger the capture");
    } else {
        for (auto _ : state) {
            if (read_data() != 0) {
                state.SkipWithError("read_data gave up: the ready board did not answer");
                break;
            }
        }
    }
    // Free run again for the benchmarks after this one.
    serveReadySine();
    chooseTrigger(0, 0.0);
}
BENCHMARK(BM_ReadDataTriggerWait)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();

// The timer, gain and mode set-up, with the realised frequency shown on the panel.
void BM_Activation(benchmark::State &state) {
    for (auto _ : state) activation(kHighestRate_khz);
}
BENCHMARK(BM_Activation)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();

void BM_Uf_hodnota(benchmark::State &state) {
    activation(kHighestRate_khz);
    read_data();
    for (auto _ : state) Uf_hodnota();
}
BENCHMARK(BM_Uf_hodnota)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();

// The six measurements of one capture (mean, AC RMS, extremes, frequency), computed.
void BM_Measurements(benchmark::State &state) {
    activation(kHighestRate_khz);
    read_data();
    Measurements m{};
    for (auto _ : state) {
        measure_capture(2, kHighestRate_khz, &m);
        benchmark::DoNotOptimize(m);
    }
}
BENCHMARK(BM_Measurements)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();

// One commit of Run: set-up, capture, RMS, plot and redraw.
void BM_Run(benchmark::State &state) {
    SetCtrlVal(PANEL, PANEL_FREQ, kHighestRate_khz);
    for (auto _ : state) run(PANEL, PANEL_RUN, EVENT_COMMIT, nullptr, 0, 0);
}
BENCHMARK(BM_Run)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();

// Saving a run's 1000 points as the operator's Ctrl+S does once the file is
// named: the panel's settings and read-outs, the rows, the file written beside
// and renamed into place. Wall time, as the writing waits on the file system.
void BM_SaveCsv(benchmark::State &state) {
    SetCtrlVal(PANEL, PANEL_FREQ, kHighestRate_khz);
    run(PANEL, PANEL_RUN, EVENT_COMMIT, nullptr, 0, 0);
    int error = 0;
    const Control *graph = userint_internal::find_control("BM_SaveCsv", PANEL, PANEL_GRAPH, &error);
    auto *view = static_cast<QChartView *>(userint_testing::control_widget(PANEL, PANEL_GRAPH));
    QTemporaryDir folder;
    if (!graph || !graph->graph || !view || !folder.isValid()) {
        state.SkipWithError("no graph to save, or no folder to save into");
        return;
    }
    const QString path = folder.filePath(QStringLiteral("deska.csv"));
    for (auto _ : state) {
        QString why;
        const QByteArray text = userint_internal::graph_data_text(
            *graph->graph, userint_internal::graph_metadata(view, *graph->graph), ',', "\r\n");
        if (!userint_internal::write_file_atomically(path, text, &why)) {
            const std::string reason = why.toStdString();
            state.SkipWithError(reason.c_str());
            break;
        }
    }
}
BENCHMARK(BM_SaveCsv)->Unit(benchmark::kMicrosecond)->UseRealTime();

// A reference trace of 100 000 points (a sine over the capture's 10 ms) over a
// capture: one repaint of the graph as it stands, and one after the view
// changed, when the reference's outline is computed anew.
constexpr int kReferencePoints = 100000;

GraphState *graphWithReference(benchmark::State &state) {
    SetCtrlVal(PANEL, PANEL_FREQ, kHighestRate_khz);
    run(PANEL, PANEL_RUN, EVENT_COMMIT, nullptr, 0, 0);
    int error = 0;
    Control *graph = userint_internal::find_control("BM_Repaint", PANEL, PANEL_GRAPH, &error);
    if (!graph || !graph->graph) {
        state.SkipWithError("no graph to draw the reference on");
        return nullptr;
    }
    QList<QPointF> points;
    points.reserve(kReferencePoints);
    for (int i = 0; i < kReferencePoints; ++i)
        points.append(QPointF(i * 1e-4, 4 * std::sin(2 * M_PI * i / kReferencePoints * 3)));
    userint_internal::set_graph_reference(*graph->graph, points, QStringLiteral("reference.csv"));
    return graph->graph.get();
}

void BM_RepaintWithReference(benchmark::State &state) {
    GraphState *g = graphWithReference(state);
    if (!g) return;
    auto *view = static_cast<QChartView *>(userint_testing::control_widget(PANEL, PANEL_GRAPH));
    for (auto _ : state) view->viewport()->repaint();
    userint_internal::clear_graph_reference(*g);
}
BENCHMARK(BM_RepaintWithReference)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();

void BM_RepaintWithReferenceNewView(benchmark::State &state) {
    GraphState *g = graphWithReference(state);
    if (!g) return;
    auto *view = static_cast<QChartView *>(userint_testing::control_widget(PANEL, PANEL_GRAPH));
    const double xMax = g->xAxis->max();
    bool narrow = false;
    for (auto _ : state) {
        narrow = !narrow;
        g->xAxis->setRange(0, narrow ? xMax / 2 : xMax);
        userint_internal::redraw_for_range(*g);
        view->viewport()->repaint();
    }
    userint_internal::clear_graph_reference(*g);
}
BENCHMARK(BM_RepaintWithReferenceNewView)->Unit(benchmark::kMicrosecond)->MeasureProcessCPUTime();

void reportFigures() {
    const double reads_ns = perf::seconds("BM_PortReads") / kSamples * 1e9;
    const double readData_ns = perf::seconds("BM_ReadData") / kSamples * 1e9;
    const double activation_us = perf::seconds("BM_Activation") * 1e6;
    const double rms_us = perf::seconds("BM_Uf_hodnota") * 1e6;
    const double run_us = perf::seconds("BM_Run") * 1e6;
    perf::judge("read_data, own cost per sample beyond two port reads", readData_ns - reads_ns,
                "ns", 50);
    perf::share("  read_data per sample, ready board", readData_ns, "ns");
    const double wait_ns =
        (perf::seconds("BM_ReadDataTriggerWait") - perf::seconds("BM_ReadData")) / kTriggerWait *
        1e9;
    perf::judge("trigger wait, own cost per conversion beyond two port reads", wait_ns - reads_ns,
                "ns", 50);
    perf::share("  trigger wait per conversion, ready board", wait_ns, "ns");
    perf::share("  two port reads through the port library", reads_ns, "ns");
    const double afterCapture_ms = (run_us - activation_us - readData_ns * kSamples * 1e-3) * 1e-3;
    perf::judge("run after the capture: RMS, plot, redraw", afterCapture_ms, "ms", 5);
    perf::judge("the six measurements of a capture", perf::seconds("BM_Measurements") * 1e3, "ms",
                0.2);
    perf::share("  whole run, ready board", run_us * 1e-3, "ms");
    perf::share("  activation (board set-up, realised frequency shown)", activation_us, "us");
    perf::share("  Uf_hodnota (RMS of 1000 samples, two texts shown)", rms_us, "us");
    perf::judge("saving 1000 points as CSV (Ctrl+S once named)",
                perf::wallSeconds("BM_SaveCsv") * 1e3, "ms", 20);
    perf::judge("repaint: capture and a 100 000-point reference",
                perf::seconds("BM_RepaintWithReference") * 1e3, "ms", 16);
    perf::judge("repaint: the same in a new view (outline anew)",
                perf::seconds("BM_RepaintWithReferenceNewView") * 1e3, "ms", 16);
}

}  // namespace

int main(int argc, char **argv) {
    perf::initialise(&argc, argv);
    serveReadySine();
    return perf::runOnPanel("deska_benchmark", argv, "deska.uir", nullptr, reportFigures);
}
