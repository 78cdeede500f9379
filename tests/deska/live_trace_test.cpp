// SPDX-License-Identifier: GPL-3.0-or-later
// deska's live trace: during a long capture the graph shows the samples read so far,
// refreshed with the progress, and the complete capture replaces it; a capture that
// does not complete leaves the last complete one on the graph and in a saved file;
// repeated captures show a trace each, a triggered one from its trigger on.
// The scripted board holds its results at sample counts the test chooses, so that what
// the graph shows can be checked at those counts on a machine of any speed.
#include <gtest/gtest.h>

#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QValueAxis>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "case_name.h"
#include "deska_harness.h"
#include "graph_operator.h"
#include "scripted_port.h"

namespace {

using namespace deska_operator;
using userint_testing::graph_plots;
using userint_testing::PlotPoints;

// Every sample a different code, none at the converter's limits.
std::vector<std::uint16_t> variedCodes() {
    std::vector<std::uint16_t> codes;
    for (unsigned i = 0; i < 1000; i++)
        codes.push_back(static_cast<std::uint16_t>(100 + i * 37 % 3800));
    return codes;
}

// A point of the plot at gain code `gain`: volts at the converter in single precision,
// divided by 2^gain.
double atInput(unsigned code, int gain) {
    return static_cast<float>(10.0 * code / 4096.0 - 5.0) / double(1 << gain);
}

// The x step of a capture typed as 0.01 kHz: 1/f for the float the field gives, in
// single precision, as the program plots it.
const double SampleStep_ms = static_cast<float>(1.0 / 0.01f);

// The live trace on the graph now; empty x when there is none.
PlotPoints liveTrace() {
    PlotPoints points;
    userint_testing::graph_live_trace(Handle, PANEL_GRAPH, &points);
    return points;
}

bool liveTraceShown() {
    PlotPoints points;
    return userint_testing::graph_live_trace(Handle, PANEL_GRAPH, &points);
}

// Lets the window work until `done` holds, for 30 s at most; whether it came.
bool waitFor(const std::function<bool()> &done) {
    QDeadlineTimer deadline(30000);
    while (!done() && !deadline.hasExpired()) QTest::qWait(2);
    return done();
}

// The x range the graph shows.
std::pair<double, double> shownXRange() {
    auto *view = widget<QChartView>(PANEL_GRAPH);
    auto *axis = qobject_cast<QValueAxis *>(view->chart()->axes(Qt::Horizontal).value(0));
    return axis ? std::pair{axis->min(), axis->max()} : std::pair{0.0, 0.0};
}

// Expects `trace` to be the first samples of `codes` at 0.1 s steps (0.01 kHz), gain x2.
void expectFirstSamples(const PlotPoints &trace, const std::vector<std::uint16_t> &codes) {
    ASSERT_LE(trace.y.size(), codes.size());
    int wrong = 0;
    for (size_t i = 0; i < trace.y.size(); i++)
        wrong += trace.y[i] != atInput(codes[i], 1) || trace.x[i] != i * SampleStep_ms;
    EXPECT_EQ(wrong, 0) << "of " << trace.y.size() << " points of the live trace";
}

// A capture at 0.01 kHz (100 s) held by the board at 200, 450 and 800 samples: each time,
// the graph shows those samples, at the input, against the axes of the whole capture,
// while the status line counts them and the last complete capture stays the graph's
// data. Released, the capture completes with none lost and its plot replaces the trace.
TEST(DeskaLiveTrace, GrowsDuringASlowCaptureAndTheCompleteCaptureReplacesIt) {
    userint_testing::answer_popups_with([](const userint_testing::Popup &) {});
    const std::vector<std::uint16_t> codes = variedCodes();
    int status = runDeska([&] {
        scripted_port::serve({1000, 3000});
        clickRun();  // a quick complete capture at 1 kHz
        const std::vector<double> previous = graph_plots(Handle, PANEL_GRAPH).at(0).y;
        EXPECT_FALSE(liveTraceShown()) << "a capture of 1 s shows none once it is complete";

        typeFrequency("0.01");
        chooseGain(1);
        scripted_port::serve(codes);
        scripted_port::holdAt(200);
        std::vector<size_t> seen;
        QTimer::singleShot(0, [&] {
            const int holds[] = {200, 450, 800, -1};
            for (int k = 0; k < 3; k++) {
                const int held = holds[k];
                const bool shown = waitFor([&] { return liveTrace().y.size() == size_t(held); });
                EXPECT_TRUE(shown) << "no live trace of " << held << " samples";
                if (shown) {
                    seen.push_back(liveTrace().y.size());
                    expectFirstSamples(liveTrace(), codes);
                    EXPECT_EQ(liveTrace().colour, 0xFF0000u);
                    const std::string progress =
                        "Capturing: " + std::to_string(held) + " of 1000 samples, about ";
                    EXPECT_EQ(statusText().substr(0, progress.size()), progress)
                        << "the status line counts the samples the graph shows";
                    const userint_testing::AxisRange y =
                        userint_testing::graph_y_axis(Handle, PANEL_GRAPH);
                    EXPECT_EQ(std::vector<double>({y.min, y.max}),
                              std::vector<double>({-2.5, 2.5}));
                    EXPECT_EQ(shownXRange(), std::pair(0.0, 999 * SampleStep_ms));
                    EXPECT_EQ(graph_plots(Handle, PANEL_GRAPH).at(0).y, previous)
                        << "the last complete capture stays the graph's data";
                }
                scripted_port::holdAt(holds[k + 1]);
                if (!shown) break;
            }
            scripted_port::holdAt(-1);
        });
        clickRun();

        EXPECT_EQ(seen, std::vector<size_t>({200, 450, 800}));
        EXPECT_FALSE(liveTraceShown());
        EXPECT_EQ(statusText(), "1000 samples, none lost");
        EXPECT_EQ(scripted_port::samplesDelivered(), 1000);
        const std::vector<PlotPoints> plots = graph_plots(Handle, PANEL_GRAPH);
        ASSERT_EQ(plots.size(), 1u);
        ASSERT_EQ(plots[0].y.size(), 1000u);
        expectFirstSamples(plots[0], codes);
    });
    EXPECT_EQ(status, 0);
}

// Repeat checked and a rising trigger at 0 V, at 0.01 kHz: every capture drops 30
// conversions at -2.5 V, then the 31st, at 0 V or more, is its first sample. While the
// board is held before the crossing, the graph keeps the last complete capture and no
// trace; once triggered, each capture shows its own trace from its first sample, the
// first capture's complete plot replaces its trace, and Stop during the second leaves
// that first capture on show.
TEST(DeskaLiveTrace, EachRepeatedCaptureShowsItsTraceOnceTriggered) {
    userint_testing::answer_popups_with([](const userint_testing::Popup &) {});
    constexpr int Dropped = 30;
    std::vector<std::uint16_t> words(Dropped, 1024);
    std::vector<std::uint16_t> captured;
    for (unsigned i = 0; i < 1000; i++)
        captured.push_back(static_cast<std::uint16_t>(2048 + i * 37 % 1900));
    words.insert(words.end(), captured.begin(), captured.end());
    int status = runDeska([&] {
        typeFrequency("0.01");
        chooseGain(1);
        panel_operator::chooseItem(widget<QComboBox>(PANEL_TRIGGER), 1);
        panel_operator::enter(widget<QDoubleSpinBox>(PANEL_TRIGGER_LEVEL), QStringLiteral("0"));
        panel_operator::click(widget<QCheckBox>(PANEL_REPEAT));
        scripted_port::serve(words);
        scripted_port::holdAt(20);  // before the crossing
        // Each capture runs in a loop of its own, so the test looks at the window from
        // a timer, one step at a time, rather than waiting inside one capture.
        std::vector<PlotPoints> complete;
        int step = 0;
        QDeadlineTimer deadline(60000);
        QTimer watch;
        auto waitingForTrigger = [](const char *capture) {
            return statusText() == std::string(capture) + "Waiting for the trigger" &&
                   scripted_port::samplesDelivered() == 20;
        };
        auto expectTrace = [&](const char *capture, int shown) {
            expectFirstSamples(liveTrace(), captured);
            EXPECT_EQ(
                statusText().rfind(
                    capture + std::string("Capturing: ") + std::to_string(shown) + " of 1000", 0),
                0u)
                << statusText();
        };
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (step == 0 && waitingForTrigger("Capture 1: ")) {
                EXPECT_FALSE(liveTraceShown()) << "no trace before the trigger";
                scripted_port::holdAt(Dropped + 300);
                step = 1;
            } else if (step == 1 && liveTrace().y.size() == 300) {
                expectTrace("Capture 1: ", 300);
                scripted_port::holdAt(20);  // the first capture completes, the second waits
                step = 2;
            } else if (step == 2 && waitingForTrigger("Capture 2: ")) {
                EXPECT_FALSE(liveTraceShown()) << "no trace before the trigger";
                complete = graph_plots(Handle, PANEL_GRAPH);
                scripted_port::holdAt(Dropped + 500);
                step = 3;
            } else if (step == 3 && liveTrace().y.size() == 500) {
                expectTrace("Capture 2: ", 500);
                EXPECT_EQ(graph_plots(Handle, PANEL_GRAPH).at(0).y, complete.at(0).y)
                    << "the first capture stays the graph's data";
                step = 4;
            }
            if (step == 4 || deadline.hasExpired()) {
                EXPECT_EQ(step, 4) << "the captures did not show what they should";
                clickRun();  // Stop
                scripted_port::holdAt(-1);
                watch.stop();
            }
        });
        watch.start(2);
        clickRun();

        EXPECT_EQ(statusText(), "Capture 2: stopped after 500 of 1000 samples");
        EXPECT_FALSE(liveTraceShown());
        ASSERT_EQ(complete.size(), 1u);
        ASSERT_EQ(complete[0].y.size(), 1000u);
        expectFirstSamples(complete[0], captured);
        const std::vector<PlotPoints> plots = graph_plots(Handle, PANEL_GRAPH);
        ASSERT_EQ(plots.size(), 1u);
        EXPECT_EQ(plots[0].y, complete[0].y) << "the first capture is on show again";
    });
    EXPECT_EQ(status, 0);
}

struct StopCase {
    const char *what;
    std::function<void()> stop;  // what the operator does to end the capture
};

class DeskaLiveTraceStopped : public testing::TestWithParam<StopCase> {};

// Saved during a capture and after it was stopped, the file holds the last complete
// capture with its own description; after the stop the graph shows that capture again,
// on its axes, as the file says.
TEST_P(DeskaLiveTraceStopped, LeavesTheLastCompleteCaptureOnTheGraphAndInTheFile) {
    const StopCase c = GetParam();
    userint_testing::answer_popups_with([](const userint_testing::Popup &) {});
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    setenv("XDG_CONFIG_HOME", QFile::encodeName(folder.filePath("config")).constData(), 1);
    const std::vector<std::uint16_t> codes = variedCodes();
    int status = runDeska([&] {
        scripted_port::serve({1000, 3000});
        clickRun();
        const PlotPoints previous = graph_plots(Handle, PANEL_GRAPH).at(0);
        const std::string previousStatus = statusText();
        const auto previousX = shownXRange();

        // The saved file: the last complete capture, described as it was taken.
        auto expectSavedIsPrevious = [&](const char *name) {
            const QString path = folder.filePath(QLatin1String(name));
            graph_operator::answerFileDialog(path);
            QTest::keyClick(userint_testing::panel_widget(Handle), Qt::Key_S, Qt::ControlModifier);
            const graph_operator::CsvFile csv = graph_operator::readCsv(path);
            ASSERT_TRUE(csv.wellFormed) << name;
            for (const QString &line : {QStringLiteral("# Sampling frequency (kHz): 1.000000"),
                                        QStringLiteral("# Gain: x1"),
                                        QStringLiteral("# Status of the capture: ") +
                                            QString::fromStdString(previousStatus)})
                EXPECT_TRUE(csv.metadata.contains(line))
                    << name << ": " << line.toStdString() << " not in\n"
                    << csv.metadata.join('\n').toStdString();
            graph_operator::expectColumnsArePlot(csv, previous.x, previous.y);
        };

        typeFrequency("0.01");
        chooseGain(1);
        scripted_port::serve(codes);
        scripted_port::pace(100.0);  // 100 s if not stopped
        QTimer::singleShot(0, [&] {
            const bool shown = waitFor([] { return liveTrace().y.size() >= 2; });
            EXPECT_TRUE(shown) << "no live trace";
            expectFirstSamples(liveTrace(), codes);
            expectSavedIsPrevious("during.csv");
            c.stop();
        });
        clickRun();

        EXPECT_EQ(statusText().rfind("Stopped after ", 0), 0u) << statusText();
        EXPECT_FALSE(liveTraceShown());
        const std::vector<PlotPoints> plots = graph_plots(Handle, PANEL_GRAPH);
        ASSERT_EQ(plots.size(), 1u);
        EXPECT_EQ(plots[0].x, previous.x);
        EXPECT_EQ(plots[0].y, previous.y);
        const userint_testing::AxisRange y = userint_testing::graph_y_axis(Handle, PANEL_GRAPH);
        EXPECT_EQ(std::vector<double>({y.min, y.max}), std::vector<double>({-5, 5}))
            << "the axes of the capture shown";
        EXPECT_EQ(shownXRange(), previousX);
        panel_operator::activate(Handle);
        expectSavedIsPrevious("after.csv");
        scripted_port::pace(0);
    });
    EXPECT_EQ(status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Operator, DeskaLiveTraceStopped,
    testing::Values(StopCase{"Stop", [] { clickRun(); }},
                    StopCase{"close box", [] { userint_testing::panel_widget(Handle)->close(); }}),
    [](const testing::TestParamInfo<StopCase> &info) {
        return test_support::case_name(info.param.what);
    });

}  // namespace
