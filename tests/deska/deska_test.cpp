// SPDX-License-Identifier: GPL-3.0-or-later
// deska driven through its panel as an operator drives it: the frequency typed into its
// field, the gain chosen on the ring, Run and Quit clicked. The scripted board behind the
// port layer records every register write and serves the converter words a test asks for.
// Each test runs the program's entry in its own process, so the program starts fresh.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QChartView>
#include <QClipboard>
#include <QTimer>
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iomanip>
#include <locale>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "case_name.h"
#include "deska_harness.h"
#include "panel_agreement.h"
#include "scripted_port.h"

namespace scripted_port {
void PrintTo(const Write &write, std::ostream *os) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%02X -> 0x%03X", write.value, write.port);
    *os << text;
}
}  // namespace scripted_port

namespace {

using scripted_port::Write;
using namespace deska_operator;
using userint_testing::graph_plots;
using userint_testing::graph_y_axis;

// The nine set-up writes of one run, for timer counts c1, c2 (65536 loaded as 0).
std::vector<Write> setupWrites(unsigned c1, unsigned c2, unsigned gainCode) {
    return {{0x303, 0x74},      {0x303, 0xB4},
            {0x301, c1 & 0xFF}, {0x301, (c1 >> 8) & 0xFF},
            {0x302, c2 & 0xFF}, {0x302, (c2 >> 8) & 0xFF},
            {0x309, gainCode},  {0x30A, 0},
            {0x30B, 4}};
}

// Volts at the converter for a 12-bit code, as single precision.
float volts(unsigned code) { return static_cast<float>(10.0 * code / 4096.0 - 5.0); }

// The sampling frequency a pair of timer counts gives, kHz; the field shows it to 6 decimals.
void expectShownFrequency(unsigned c1, unsigned c2) {
    double realised = 2000.0 / (double(c1) * c2);
    EXPECT_NEAR(shownFrequency(), realised, realised * 1e-6 + 5e-7)
        << "the frequency field should show 2000/(" << c1 << "*" << c2 << ") kHz";
}

// ---- Panel -------------------------------------------------------------------------------

TEST(DeskaPanel, ControlIdentifiersKindsAndNamesMatchTheProgram) {
    int status = runDeska([&] {
        panel_agreement::expect_controls(
            Handle, {
                        {"PANEL_GRAPH", PANEL_GRAPH, "QChartView", "waveform"},
                        {"PANEL_BUSY", PANEL_BUSY, "QLabel", "Measuring"},
                        {"PANEL_RUN", PANEL_RUN, "QPushButton", "Run"},
                        {"PANEL_QUIT", PANEL_QUIT, "QPushButton", "Quit"},
                        {"PANEL_FREQ", PANEL_FREQ, "QDoubleSpinBox", "kHz"},
                        {"PANEL_GAIN", PANEL_GAIN, "QComboBox", "Gain"},
                        {"PANEL_UF", PANEL_UF, "QLineEdit", "converter"},
                        {"PANEL_UF_INPUT", PANEL_UF_INPUT, "QLineEdit", "input"},
                        {"PANEL_STATUS", PANEL_STATUS, "QLabel", "Status"},
                        {"PANEL_MEAN", PANEL_MEAN, "QLineEdit", "Mean (V)"},
                        {"PANEL_AC_RMS", PANEL_AC_RMS, "QLineEdit", "AC RMS (V)"},
                        {"PANEL_MINIMUM", PANEL_MINIMUM, "QLineEdit", "Minimum (V)"},
                        {"PANEL_MAXIMUM", PANEL_MAXIMUM, "QLineEdit", "Maximum (V)"},
                        {"PANEL_PEAK_TO_PEAK", PANEL_PEAK_TO_PEAK, "QLineEdit", "Peak to peak (V)"},
                        {"PANEL_SIGNAL_FREQ", PANEL_SIGNAL_FREQ, "QLineEdit", "Frequency (Hz)"},
                        {"PANEL_REPEAT", PANEL_REPEAT, "QCheckBox", "Repeat"},
                        {"PANEL_TRIGGER", PANEL_TRIGGER, "QComboBox", "Trigger"},
                        {"PANEL_TRIGGER_LEVEL", PANEL_TRIGGER_LEVEL, "QDoubleSpinBox", "level (V)"},
                    });
        EXPECT_EQ(panel_agreement::ring_items(Handle, PANEL_GAIN, " "), "x1 x2 x4 x8 x16");
        EXPECT_EQ(shownFrequency(), 1.0) << "default sampling frequency, kHz";
        EXPECT_EQ(busyLamp(), 0);

        // Each value in the type deska reads it into and within deska's own limits, so
        // that a panel and the program cannot drift apart; the gain codes are 0..4 as
        // the board knows them.
        panel_agreement::expect_float_fields(Handle, {{"PANEL_FREQ", PANEL_FREQ, 0.01, 100.0}});
        panel_agreement::expect_ring_reads_item_index<unsigned char>(Handle, PANEL_GAIN,
                                                                     "PANEL_GAIN");
        // The scope's controls start as a single free-running capture.
        EXPECT_EQ(panel_agreement::ring_items(Handle, PANEL_TRIGGER, "|"),
                  "Free run|Rising edge|Falling edge");
        int repeat = -1;
        double level = -1;
        EXPECT_EQ(GetCtrlVal(Handle, PANEL_REPEAT, &repeat), 0);
        EXPECT_EQ(repeat, 0) << "Repeat is off at start";
        EXPECT_EQ(GetCtrlVal(Handle, PANEL_TRIGGER_LEVEL, &level), 0);
        EXPECT_EQ(level, 0.0);
        panel_agreement::expect_ring_reads_item_index<int>(Handle, PANEL_TRIGGER, "PANEL_TRIGGER");
        char readOut[100];
        EXPECT_EQ(GetCtrlVal(Handle, PANEL_UF, readOut), 0) << "PANEL_UF holds text";
        EXPECT_EQ(GetCtrlVal(Handle, PANEL_UF_INPUT, readOut), 0) << "PANEL_UF_INPUT holds text";
    });
    EXPECT_EQ(status, 0);
}

TEST(DeskaPanel, TabVisitsTheSettingsThenRunTheReadOutsQuitAndTheGraph) {
    int status = runDeska([] {
        QWidget *panel = userint_testing::panel_widget(Handle);
        panel->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(panel));
        widget<QDoubleSpinBox>(PANEL_FREQ)->setFocus(Qt::TabFocusReason);
        // The graph takes the focus last, for its menu and copy keys.
        const int order[] = {
            PANEL_GAIN,         PANEL_RUN,         PANEL_UF,      PANEL_UF_INPUT,
            PANEL_MEAN,         PANEL_AC_RMS,      PANEL_MINIMUM, PANEL_MAXIMUM,
            PANEL_PEAK_TO_PEAK, PANEL_SIGNAL_FREQ, PANEL_TRIGGER, PANEL_TRIGGER_LEVEL,
            PANEL_REPEAT,       PANEL_QUIT,        PANEL_GRAPH,   PANEL_FREQ};
        for (int next : order) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QWidget *expected = userint_testing::control_widget(Handle, next);
            QWidget *focus = QApplication::focusWidget();
            EXPECT_TRUE(focus == expected || expected->isAncestorOf(focus))
                << "Tab should reach control " << next << ", focus is on "
                << (focus ? focus->objectName().toStdString() : "nothing");
        }
    });
    EXPECT_EQ(status, 0);
}

TEST(DeskaPanel, FrequencyOutsideItsRangeCannotBeEntered) {
    int status = runDeska([] {
        for (const char *typed : {"150", "0.001", "-5", "0"}) {
            typeFrequency(typed);
            EXPECT_GE(shownFrequency(), 0.01) << "typed " << typed;
            EXPECT_LE(shownFrequency(), 100.0) << "typed " << typed;
        }
    });
    EXPECT_EQ(status, 0);
}

// ---- Board set-up ---------------------------------------------------------------------------

struct SetupCase {
    const char *typedKhz;
    int gainCode;
    unsigned c1, c2;  // counts expected in counter 1 and counter 2
};

class DeskaSetup : public testing::TestWithParam<SetupCase> {};

TEST_P(DeskaSetup, WritesTimerGainAndModeInOrderAndShowsTheRealisedFrequency) {
    const SetupCase c = GetParam();
    int status = runDeska([&] {
        typeFrequency(c.typedKhz);
        if (c.gainCode != 0) chooseGain(c.gainCode);
        clickRun();
        EXPECT_EQ(scripted_port::writes(), setupWrites(c.c1, c.c2, c.gainCode));
        expectShownFrequency(c.c1, c.c2);
        EXPECT_EQ(scripted_port::samplesDelivered(), 1000);
        // An always-ready board cannot lose a conversion, but a capture the machine
        // paused for longer than 999 sample periods looks as if it did.
        EXPECT_THAT(statusText(), testing::StartsWith("1000 samples"));
        EXPECT_EQ(busyLamp(), 0);
    });
    EXPECT_EQ(status, 0);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Frequencies, DeskaSetup,
    testing::Values(
        //         kHz         gain  c1  c2           divisor 2000/f truncated
        SetupCase{"1",         0,    2,  1000},    // 2000; the gain code is 0 until the ring is used
        SetupCase{"3",         0,    2,  333},     // 666: shows 2000/666
        SetupCase{"0.2",       0,    2,  5000},    // 10000: the float 0.2 gives 9999.99985
        SetupCase{"100",       4,    2,  10},      // 20, the highest rate
        SetupCase{"7",         1,    3,  95},      // 285 = 3*5*19
        SetupCase{"0.9985",    2,    2,  1002},    // 2003 is prime: nearest 2004 (2002 as near, further from 2000/f)
        SetupCase{"0.030517",  0,    2,  32769},   // 65537 is prime and above 65535: 65538
        SetupCase{"0.015254",  3,    3,  43704},   // 131113 prime, 131114 = 2*65557 cannot: 131112
        SetupCase{"0.02",      0,    2,  50000},   // 100000
        SetupCase{"0.01",      3,    4,  50000}),  // 200000, the lowest rate: counter 1 needs 4
    [](const testing::TestParamInfo<SetupCase> &info) {
        return "f" + test_support::case_name(info.param.typedKhz) + "_gain" + std::to_string(info.param.gainCode);
    });
// clang-format on

struct RerunCase {
    const char *typedKhz;
    unsigned c1, c2;
};

class DeskaRerun : public testing::TestWithParam<RerunCase> {};

// The field then shows the realised frequency, rounded; a second Run must not turn that
// rounding into another divisor (76.923077 read back as a float truncates to 25, not 26).
TEST_P(DeskaRerun, RunAgainKeepsTheRealisedFrequency) {
    const RerunCase c = GetParam();
    int status = runDeska([&] {
        typeFrequency(c.typedKhz);
        clickRun();
        double shownFirst = shownFrequency();
        scripted_port::clearWrites();
        clickRun();
        clickRun();
        std::vector<Write> expected = setupWrites(c.c1, c.c2, 0);
        expected.insert(expected.end(), expected.begin(), expected.end());
        EXPECT_EQ(scripted_port::writes(), expected);
        EXPECT_EQ(shownFrequency(), shownFirst);
    });
    EXPECT_EQ(status, 0);
}

INSTANTIATE_TEST_SUITE_P(Frequencies, DeskaRerun,
                         testing::Values(RerunCase{"76.923", 2, 13}, RerunCase{"3", 2, 333},
                                         RerunCase{"0.0123", 11, 14782}),
                         [](const testing::TestParamInfo<RerunCase> &info) {
                             return "f" + test_support::case_name(info.param.typedKhz);
                         });

// ---- RMS read-outs --------------------------------------------------------------------------

struct RmsCase {
    const char *what;
    std::vector<uint16_t> words;
    int notReadyReads;
    int gainCode;
    const char *atConverter;
    const char *atInput;
};

class DeskaRms : public testing::TestWithParam<RmsCase> {};

TEST_P(DeskaRms, ShowsTheRmsAtTheConverterAndAtTheInput) {
    const RmsCase c = GetParam();
    scripted_port::serve(c.words, c.notReadyReads);
    int status = runDeska([&] {
        if (c.gainCode != 0) chooseGain(c.gainCode);
        clickRun();
        EXPECT_EQ(text(PANEL_UF), c.atConverter) << c.what;
        EXPECT_EQ(text(PANEL_UF_INPUT), c.atInput) << c.what;
        EXPECT_EQ(scripted_port::samplesDelivered(), 1000) << c.what;
    });
    EXPECT_EQ(status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Samples, DeskaRms,
    testing::Values(
        RmsCase{"all code 0 (-5 V)", {0}, 0, 0, "5.000000", "5.000000"},
        RmsCase{"+2.5/-2.5 V alternating", {3072, 1024}, 0, 0, "2.500000", "2.500000"},
        RmsCase{"+2.5/-2.5 V at gain x8", {3072, 1024}, 0, 3, "2.500000", "0.312500"},
        RmsCase{"all code 2048 (0 V)", {2048}, 0, 0, "0.000000", "0.000000"},
        // 4.997559 V exactly; the single-precision running sum of the squares gives 4.997591
        RmsCase{"all code 4095 at gain x16", {4095}, 0, 4, "4.997591", "0.312349"},
        RmsCase{"bits 13-15 of the word set",
                {0xE000 | 3072, 0xE000 | 1024},
                0,
                0,
                "2.500000",
                "2.500000"},
        RmsCase{"three not-ready reads per sample", {3072, 1024}, 3, 1, "2.500000", "1.250000"}),
    [](const testing::TestParamInfo<RmsCase> &info) {
        return test_support::case_name(info.param.what);
    });

// ---- Plot -------------------------------------------------------------------------------------

struct PlotCase {
    const char *typedKhz;
    int gainCode;
    float step_ms;  // x step: 1/f as typed, single precision
    double yLimit;  // fixed y range +-5/2^gain, V
};

class DeskaPlot : public testing::TestWithParam<PlotCase> {};

TEST_P(DeskaPlot, PlotsTheCaptureAtTheInputAgainstTimeInMs) {
    const PlotCase c = GetParam();
    std::vector<uint16_t> ramp;
    for (unsigned i = 0; i < 1000; i++) ramp.push_back(static_cast<uint16_t>(i * 4));
    scripted_port::serve(ramp);
    const double g = 1.0 / (1 << c.gainCode);
    int status = runDeska([&] {
        typeFrequency(c.typedKhz);
        if (c.gainCode != 0) chooseGain(c.gainCode);
        clickRun();
        userint_testing::AxisRange axis = graph_y_axis(Handle, PANEL_GRAPH);
        EXPECT_TRUE(axis.fixed);
        EXPECT_DOUBLE_EQ(axis.min, -c.yLimit);
        EXPECT_DOUBLE_EQ(axis.max, c.yLimit);
        std::vector<userint_testing::PlotPoints> plots = graph_plots(Handle, PANEL_GRAPH);
        ASSERT_EQ(plots.size(), 1u);
        const userint_testing::PlotPoints &plot = plots[0];
        EXPECT_EQ(plot.colour, 0xFF0000u);
        ASSERT_EQ(plot.x.size(), 1000u);
        ASSERT_EQ(plot.y.size(), 1000u);
        for (unsigned i = 0; i < 1000; i++) {
            ASSERT_NEAR(plot.x[i], i * double(c.step_ms), 1e-9 * (1 + i)) << "point " << i;
            ASSERT_NEAR(plot.y[i], g * volts(i * 4), 1e-9) << "point " << i;
        }
    });
    EXPECT_EQ(status, 0);
}

INSTANTIATE_TEST_SUITE_P(Gains, DeskaPlot,
                         testing::Values(PlotCase{"1", 0, 1.0f, 5.0},
                                         // the field then shows 2000/666, the step stays 1/3
                                         PlotCase{"3", 3, static_cast<float>(1.0 / 3.0), 0.625}),
                         [](const testing::TestParamInfo<PlotCase> &info) {
                             return "f" + test_support::case_name(info.param.typedKhz) + "_gain" +
                                    std::to_string(info.param.gainCode);
                         });

// ---- Settings and panel events between runs ----------------------------------------------------

TEST(DeskaRun, NewFrequencyAndGainTakeEffectOnlyAtTheNextRun) {
    scripted_port::serve({3072, 1024});
    int status = runDeska([] {
        clickRun();
        const std::vector<double> firstY = graph_plots(Handle, PANEL_GRAPH).at(0).y;
        scripted_port::clearWrites();

        chooseGain(3);
        typeFrequency("3");
        QTest::mouseClick(widget<QChartView>(PANEL_GRAPH), Qt::LeftButton);
        EXPECT_TRUE(scripted_port::writes().empty())
            << "ring, field and graph must not touch the board";
        EXPECT_EQ(text(PANEL_UF_INPUT), "2.500000");
        EXPECT_EQ(graph_y_axis(Handle, PANEL_GRAPH).max, 5.0);
        EXPECT_EQ(graph_plots(Handle, PANEL_GRAPH).at(0).y, firstY);

        clickRun();
        EXPECT_EQ(scripted_port::writes(), setupWrites(2, 333, 3));
        EXPECT_EQ(text(PANEL_UF), "2.500000") << "same samples, same text";
        EXPECT_EQ(text(PANEL_UF_INPUT), "0.312500");
        EXPECT_EQ(graph_y_axis(Handle, PANEL_GRAPH).max, 0.625);
        std::vector<userint_testing::PlotPoints> plots = graph_plots(Handle, PANEL_GRAPH);
        ASSERT_EQ(plots.size(), 1u) << "each run leaves exactly one plot";
        EXPECT_DOUBLE_EQ(plots[0].y[0], firstY[0] / 8);
        EXPECT_DOUBLE_EQ(plots[0].x[999], 999 * double(static_cast<float>(1.0 / 3.0)));
    });
    EXPECT_EQ(status, 0);
}

TEST(DeskaRun, CloseRequestAndFocusChangesLeaveThePanelOpenAndWorking) {
    scripted_port::serve({3072, 1024});
    int status = runDeska([] {
        clickRun();
        QWidget *panel = userint_testing::panel_widget(Handle);
        const std::string verdict = statusText();
        scripted_port::clearWrites();

        QWidget otherWindow;
        otherWindow.show();
        otherWindow.activateWindow();
        QApplication::processEvents();
        panel->activateWindow();
        QApplication::processEvents();
        panel->close();
        QApplication::processEvents();

        EXPECT_TRUE(panel->isVisible()) << "a close request must not close the panel";
        EXPECT_EQ(statusText(), verdict + "\nUse Quit to end deska")
            << "the run's verdict stays, the note on a line of its own";
        panel->close();
        EXPECT_EQ(statusText(), verdict + "\nUse Quit to end deska") << "said once";
        EXPECT_EQ(userint_testing::panel_widget(Handle), panel);
        EXPECT_TRUE(scripted_port::writes().empty());
        EXPECT_EQ(text(PANEL_UF), "2.500000");

        scripted_port::serve({2048});
        clickRun();
        EXPECT_EQ(text(PANEL_UF), "0.000000") << "the program keeps working after a close request";
    });
    EXPECT_EQ(status, 0);
}

TEST(DeskaRun, QuitEndsTheProgramWithStatusZeroAndDiscardsThePanel) {
    EXPECT_EQ(runDeska([] {}), 0);
    EXPECT_EQ(userint_testing::panel_widget(Handle), nullptr) << "the panel is discarded at quit";
    EXPECT_TRUE(scripted_port::writes().empty()) << "start-up and quit leave the board alone";
}

// ---- A board that stops answering -----------------------------------------------------------

struct TimeoutCase {
    const char *what;
    bool measuredBefore;  // a full capture precedes the one that stops
    int answeredSamples;
    const char *messageMentions;
};

class DeskaTimeout : public testing::TestWithParam<TimeoutCase> {};

TEST_P(DeskaTimeout, StopsTheRunTellsTheOperatorAndKeepsThePreviousResult) {
    const TimeoutCase c = GetParam();
    userint_testing::answer_popups_with([](const userint_testing::Popup &) {});
    scripted_port::serve({3072, 1024});
    int status = runDeska([&] {
        if (c.measuredBefore) clickRun();
        const std::string converterBefore = text(PANEL_UF);
        const std::string inputBefore = text(PANEL_UF_INPUT);
        const std::vector<userint_testing::PlotPoints> plotsBefore =
            graph_plots(Handle, PANEL_GRAPH);

        scripted_port::serve({2048});
        scripted_port::answerSamples(c.answeredSamples);
        userint_testing::clear_popups();
        clickRun();

        ASSERT_EQ(userint_testing::popups().size(), 1u) << c.what;
        const std::string &message = userint_testing::popups()[0].message;
        EXPECT_NE(message.find(c.messageMentions), std::string::npos) << message;
        EXPECT_NE(message.find("No board is answering at I/O port 0x300"), std::string::npos)
            << message;
        EXPECT_EQ(busyLamp(), 0);
        EXPECT_EQ(statusText(), "No measurement: the board did not deliver its samples");
        EXPECT_EQ(text(PANEL_UF), converterBefore);
        EXPECT_EQ(text(PANEL_UF_INPUT), inputBefore);
        std::vector<userint_testing::PlotPoints> plotsAfter = graph_plots(Handle, PANEL_GRAPH);
        ASSERT_EQ(plotsAfter.size(), plotsBefore.size());
        if (!plotsAfter.empty()) {
            EXPECT_EQ(plotsAfter[0].y, plotsBefore[0].y) << "a partial capture must not be plotted";
        }

        scripted_port::answerSamples(-1);
        clickRun();
        EXPECT_EQ(text(PANEL_UF), "0.000000") << "the next run measures again";
    });
    EXPECT_EQ(status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Board, DeskaTimeout,
    testing::Values(TimeoutCase{"no board at all", false, 0, "sample 1 of 1000"},
                    TimeoutCase{"board stops mid-capture", true, 500, "sample 501 of 1000"}),
    [](const testing::TestParamInfo<TimeoutCase> &info) {
        return test_support::case_name(info.param.what);
    });

// ---- Measurements --------------------------------------------------------------------------

// The six figures of 1000 codes at gain code `gain` and a sampling rate of `rate_khz`, worked
// out here from their definitions: volts at the input, six decimals; the frequency from the
// rising crossings of the mean with a hysteresis of a tenth of the peak to peak.
std::vector<std::string> expectedMeasurements(const std::vector<uint16_t> &codes, int gain,
                                              double rate_khz) {
    std::vector<double> x;
    for (int i = 0; i < 1000; i++)
        x.push_back(double(volts(codes[i % codes.size()] & 0x0FFF)) / (1 << gain));
    double mean = 0;
    for (double v : x) mean += v / 1000;
    double ac = 0;
    for (double v : x) ac += (v - mean) * (v - mean);
    ac = std::sqrt(ac / 1000);
    const double lo = *std::min_element(x.begin(), x.end());
    const double hi = *std::max_element(x.begin(), x.end());
    std::vector<double> times;
    bool below = false;
    for (int i = 1; i < 1000; i++) {
        if (x[i - 1] < mean - (hi - lo) / 10) below = true;
        if (below && x[i] >= mean && x[i - 1] < mean) {
            times.push_back(i - 1 + (mean - x[i - 1]) / (x[i] - x[i - 1]));
            below = false;
        }
    }
    auto fixed6 = [](double v) {
        std::ostringstream os;
        os.imbue(std::locale::classic());
        os << std::fixed << std::setprecision(6) << (std::fabs(v) < 5e-7 ? 0.0 : v);
        return os.str();
    };
    std::string frequency = "none";
    if (times.size() >= 2 && hi - lo >= 4 * 10.0 / 4096 / (1 << gain)) {
        std::ostringstream os;
        os.imbue(std::locale::classic());
        os << std::showpoint << std::setprecision(6)
           << (times.size() - 1) / (times.back() - times.front()) * rate_khz * 1000;
        frequency = os.str();
    }
    return {fixed6(mean), fixed6(ac), fixed6(lo), fixed6(hi), fixed6(hi - lo), frequency};
}

struct MeasureCase {
    const char *what;
    std::vector<uint16_t> codes;
    int gainCode;
    const char *frequency;  // what the frequency field must say, beside the computed value
};

class DeskaMeasurements : public testing::TestWithParam<MeasureCase> {};

TEST_P(DeskaMeasurements, SixFiguresAtTheInputAsDefined) {
    const MeasureCase c = GetParam();
    scripted_port::serve(c.codes);
    int status = runDeska([&] {
        if (c.gainCode != 0) chooseGain(c.gainCode);
        clickRun();  // 1 kHz: counts 2 and 1000
        const std::vector<std::string> expected = expectedMeasurements(c.codes, c.gainCode, 1.0);
        const int fields[] = {PANEL_MEAN,    PANEL_AC_RMS,       PANEL_MINIMUM,
                              PANEL_MAXIMUM, PANEL_PEAK_TO_PEAK, PANEL_SIGNAL_FREQ};
        for (int k = 0; k < 6; k++) EXPECT_EQ(text(fields[k]), expected[k]) << c.what << " " << k;
        EXPECT_THAT(text(PANEL_SIGNAL_FREQ), testing::MatchesRegex(c.frequency)) << c.what;
    });
    EXPECT_EQ(status, 0);
}

std::vector<uint16_t> periodic(int period, const std::function<double(double)> &volts_of_phase) {
    std::vector<uint16_t> codes;
    for (int i = 0; i < period; i++)
        codes.push_back(static_cast<uint16_t>(
            std::lround(2048 + volts_of_phase(double(i) / period) * 4096 / 10)));
    return codes;
}

std::vector<uint16_t> noise() {
    std::vector<uint16_t> codes;
    unsigned seed = 12345;
    for (int i = 0; i < 1000; i++) {
        seed = seed * 1103515245u + 12345u;
        codes.push_back(static_cast<uint16_t>(1800 + (seed >> 16) % 500));
    }
    return codes;
}

INSTANTIATE_TEST_SUITE_P(
    Signals, DeskaMeasurements,
    testing::Values(
        // 50 samples a period at 1 kHz: 20 Hz
        MeasureCase{"sine", periodic(50, [](double p) { return 2.0 * std::sin(2 * M_PI * p); }), 0,
                    "20\\.0000"},
        MeasureCase{"square wave at x4",
                    periodic(40, [](double p) { return p < 0.5 ? 1.5 : -0.5; }), 2, "25\\.0000"},
        MeasureCase{"phase-cut sine",
                    periodic(100,
                             [](double p) {
                                 const double inHalf = std::fmod(p, 0.5);
                                 return inHalf < 0.25 ? 0.0 : 2.25 * std::sin(2 * M_PI * p);
                             }),
                    0, "10\\.0000"},
        MeasureCase{"DC level", {2500}, 0, "none"}, MeasureCase{"noise", noise(), 0, "[0-9.]+"}),
    [](const testing::TestParamInfo<MeasureCase> &info) {
        return test_support::case_name(info.param.what);
    });

// ---- Over range ------------------------------------------------------------------------------

struct OverRangeCase {
    const char *what;
    std::vector<uint16_t> words;  // served in turn, repeated over the 1000 samples
    int gainCode;
};

class DeskaOverRange : public testing::TestWithParam<OverRangeCase> {};

// A code of 0 or 4095 lies at the converter's limit: the input may have been beyond the
// gain's range, and the figures then read too low. The status line says how many, marked
// as a failure, the capture's description carries it, and the close box does not hide it.
TEST_P(DeskaOverRange, StatusLineCountsTheSamplesAtTheConvertersLimit) {
    const OverRangeCase c = GetParam();
    int atLimit = 0;
    for (int i = 0; i < 1000; i++) {
        const unsigned code = c.words[i % c.words.size()] & 0x0FFF;
        atLimit += code == 0 || code == 4095;
    }
    char expected[400] = "";
    if (atLimit > 0) {
        const char *limits[] = {"5", "2.5", "1.25", "0.625", "0.3125"};
        std::snprintf(
            expected, sizeof expected,
            "Input over range at gain x%d: %d of 1000 samples at the converter's limit "
            "(\u00b1%s V at the input); the figures are too low: %s",
            1 << c.gainCode, atLimit, limits[c.gainCode],
            c.gainCode > 0 ? "choose a smaller gain" : "reduce the signal at the board's input");
    }
    scripted_port::serve(c.words);
    int status = runDeska([&] {
        if (c.gainCode != 0) chooseGain(c.gainCode);
        clickRun();
        QWidget *line = userint_testing::control_widget(Handle, PANEL_STATUS);
        if (atLimit == 0) {
            EXPECT_THAT(statusText(), testing::StartsWith("1000 samples")) << c.what;
            EXPECT_THAT(statusText(), testing::Not(testing::HasSubstr("over range"))) << c.what;
            return;
        }
        // A machine that paused the capture adds its lost conversions after it.
        EXPECT_THAT(statusText(), testing::StartsWith(expected)) << c.what;
        EXPECT_EQ(line->accessibleDescription().toStdString(), "Failure") << c.what;
        const std::string verdict = statusText();

        userint_testing::panel_widget(Handle)->close();
        EXPECT_EQ(statusText(), verdict + "\nUse Quit to end deska");
        EXPECT_EQ(line->accessibleDescription().toStdString(), "Failure")
            << "the close box's note leaves the verdict's mark";
        auto *graph = widget<QChartView>(PANEL_GRAPH);
        graph->setFocus(Qt::TabFocusReason);
        QTest::keyClick(graph, Qt::Key_C, Qt::ControlModifier);
        EXPECT_THAT(QGuiApplication::clipboard()->text().toStdString(),
                    testing::HasSubstr("\n# Status of the capture: " + verdict + "\n"));
    });
    EXPECT_EQ(status, 0);
}

// A sine of 3000 codes' amplitude about mid-scale, 100 samples a period: its tops clipped.
std::vector<uint16_t> clippedSine() {
    std::vector<uint16_t> words;
    for (int i = 0; i < 100; i++)
        words.push_back(static_cast<uint16_t>(
            std::clamp(std::lround(2048 + 3000 * std::sin(2 * M_PI * i / 100)), 0L, 4095L)));
    return words;
}

INSTANTIATE_TEST_SUITE_P(
    Board, DeskaOverRange,
    testing::Values(OverRangeCase{"both limits at gain x1", {0, 4095, 2048, 1000}, 0},
                    OverRangeCase{"clipped sine at gain x16", clippedSine(), 4},
                    OverRangeCase{"one code inside either limit", {1, 4094, 2048}, 4},
                    OverRangeCase{"limit codes with flag bits above them", {0xE000, 0x2FFF}, 2}),
    [](const testing::TestParamInfo<OverRangeCase> &info) {
        return test_support::case_name(info.param.what);
    });

// ---- Lost samples ------------------------------------------------------------------------------

struct LostCase {
    const char *what;
    int skipped;          // conversions the paced board skips at sample 500
    const char *pattern;  // what the status line must match; the span read by the program
                          // is within half a period of the paced one
};

class DeskaLostSamples : public testing::TestWithParam<LostCase> {};

// The board paces its results at 1 kHz and skips some, as one does whose results were
// overwritten before the program read them: the span of the capture shows how many.
TEST_P(DeskaLostSamples, StatusLineCountsTheConversionsLost) {
    const LostCase c = GetParam();
    int status = runDeska([&] {
        const double period_ms = 1.0;
        scripted_port::pace(period_ms, 500, c.skipped);
        if (!runCaptureReadOnTime(period_ms))
            GTEST_SKIP() << "the machine is too busy to read a 1 kHz board on time (late by "
                         << scripted_port::readLateness_ms() << " ms)";
        EXPECT_THAT(statusText(), testing::MatchesRegex(c.pattern));
        QWidget *line = userint_testing::control_widget(Handle, PANEL_STATUS);
        EXPECT_EQ(line->accessibleDescription().toStdString(), c.skipped ? "Failure" : "");
        scripted_port::pace(0);
    });
    EXPECT_EQ(status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Board, DeskaLostSamples,
    testing::Values(
        LostCase{"none skipped", 0, "1000 samples, none lost"},
        LostCase{
            "one skipped", 1,
            "1000 samples over (999\\.[5-9]|1000\\.[0-4])[0-9] ms: about 1 conversion was lost "
            "\\(the computer did not read the board in time\\); the RMS and "
            "the graph may be distorted"},
        LostCase{"twelve skipped", 12,
                 "1000 samples over (1010\\.[5-9]|1011\\.[0-4])[0-9] ms: about 12 conversions were "
                 "lost \\(the computer did not read the board in time\\); the RMS "
                 "and the graph may be distorted"}),
    [](const testing::TestParamInfo<LostCase> &info) {
        return test_support::case_name(info.param.what);
    });

// ---- Long captures
// -------------------------------------------------------------------------------

// Runs `during` from inside a capture, `after_ms` after Run is clicked.
void whileCapturing(int after_ms, std::function<void()> during) {
    QTimer::singleShot(after_ms, std::move(during));
}

struct StopCase {
    const char *what;
    std::function<void()> stop;  // what the operator does to end the capture
    const char *statusAfter;  // the status line then starts with "Stopped after N of 1000 samples"
};

class DeskaLongCapture : public testing::TestWithParam<StopCase> {};

// A capture at 0.01 kHz would last 100 s. The operator ends it: the last complete result
// stays on show, nothing partial is shown, and the status line says how far it got.
TEST_P(DeskaLongCapture, EndsWhenTheOperatorSaysAndKeepsTheLastResult) {
    const StopCase c = GetParam();
    userint_testing::answer_popups_with([](const userint_testing::Popup &) {});
    scripted_port::serve({3072, 1024});
    int status = runDeska([&] {
        clickRun();  // a quick complete capture at 1 kHz on the unpaced board
        const std::string before = text(PANEL_UF);
        const std::vector<double> plotBefore = graph_plots(Handle, PANEL_GRAPH).at(0).y;

        typeFrequency("0.01");
        scripted_port::serve({2048});
        scripted_port::pace(100.0);
        // If the capture were not stopped, the board would fall silent after 30 samples.
        scripted_port::answerSamples(30);
        scripted_port::clearWrites();
        whileCapturing(350, c.stop);
        clickRun();

        EXPECT_THAT(statusText(), testing::MatchesRegex("Stopped after [0-9] of 1000 samples" +
                                                        std::string(c.statusAfter)));
        EXPECT_TRUE(userint_testing::popups().empty()) << "a stop is no failure: no popup";
        EXPECT_EQ(busyLamp(), 0);
        EXPECT_EQ(widget<QPushButton>(PANEL_RUN)->text().toStdString(), "&Run");
        EXPECT_EQ(text(PANEL_UF), before);
        EXPECT_EQ(graph_plots(Handle, PANEL_GRAPH).at(0).y, plotBefore);
        EXPECT_EQ(scripted_port::writes().size(), 9u) << "one set-up: nothing started another";
        scripted_port::pace(0);
        scripted_port::answerSamples(-1);
    });
    EXPECT_EQ(status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Operator, DeskaLongCapture,
    testing::Values(
        StopCase{"Stop", [] { clickRun(); }, ""},
        StopCase{"close box", [] { userint_testing::panel_widget(Handle)->close(); },
                 "\nUse Quit to end deska"},
        StopCase{"Quit", [] { QTest::mouseClick(widget<QPushButton>(PANEL_QUIT), Qt::LeftButton); },
                 ""}),
    [](const testing::TestParamInfo<StopCase> &info) {
        return test_support::case_name(info.param.what);
    });

// During a long capture the window repaints after a resize, the lamp stays lit, the
// status line counts the samples, Run reads Stop, and a gain chosen meanwhile waits
// for the next run.
TEST(DeskaLongCapture, WindowStaysAliveWhileItRuns) {
    int status = runDeska([] {
        typeFrequency("0.01");
        scripted_port::pace(100.0);
        scripted_port::answerSamples(30);
        QWidget *panel = userint_testing::panel_widget(Handle);
        struct PaintCounter : QObject {
            int paints = 0;
            bool eventFilter(QObject *, QEvent *e) override {
                paints += e->type() == QEvent::Paint;
                return false;
            }
        } counter;
        int paintsBeforeResize = -1;
        whileCapturing(250, [&] {
            panel->installEventFilter(&counter);
            paintsBeforeResize = counter.paints;
            panel->resize(panel->width() + 40, panel->height() + 30);
            chooseGain(3);
        });
        whileCapturing(650, [&] {
            EXPECT_GT(counter.paints, paintsBeforeResize) << "the window did not repaint";
            EXPECT_EQ(busyLamp(), 1);
            EXPECT_EQ(widget<QPushButton>(PANEL_RUN)->text().toStdString(), "&Stop");
            EXPECT_THAT(statusText(), testing::MatchesRegex("Capturing: [1-9] of 1000 samples, "
                                                            "about (9[0-9]|100) s left"));
            clickRun();
        });
        clickRun();
        panel->removeEventFilter(&counter);
        EXPECT_THAT(statusText(), testing::StartsWith("Stopped after "));

        scripted_port::pace(0);
        scripted_port::answerSamples(-1);
        typeFrequency("1");
        scripted_port::clearWrites();
        clickRun();
        EXPECT_EQ(scripted_port::writes(), setupWrites(2, 1000, 3))
            << "the gain chosen during the capture reaches the next run";
    });
    EXPECT_EQ(status, 0);
}

// ---- Locale ----------------------------------------------------------------------

class DeskaLocale : public testing::TestWithParam<const char *> {};

TEST_P(DeskaLocale, ReadOutsKeepADecimalPointOnACommaDecimalDesktop) {
    const char *locale = GetParam();
    setenv("LC_ALL", locale, 1);
    scripted_port::serve({3072, 1024});
    int status = runDeska([&] {
        char probe[16];
        std::snprintf(probe, sizeof probe, "%.1f", 2.5);
        ASSERT_STREQ(probe, "2,5") << "the desktop locale " << locale
                                   << " is not in effect; install it with scripts/deps.sh";
        chooseGain(3);
        clickRun();
        EXPECT_EQ(text(PANEL_UF), "2.500000");
        EXPECT_EQ(text(PANEL_UF_INPUT), "0.312500");
    });
    EXPECT_EQ(status, 0);
}

INSTANTIATE_TEST_SUITE_P(CommaDecimal, DeskaLocale, testing::Values("de_DE.UTF-8", "cs_CZ.UTF-8"),
                         [](const testing::TestParamInfo<const char *> &info) {
                             return std::string(info.param).substr(0, 5);
                         });

}  // namespace

namespace {

// A port library that is not the simulated board (here the scripted one) is not
// called simulated: only the simulated board's file is.
TEST(DeskaPanel, TitleOfABoardThatIsNotTheSimulatedOne) {
    deska_operator::runDeska([] {
        EXPECT_EQ(
            userint_testing::panel_widget(deska_operator::Handle)->windowTitle().toStdString(),
            "deska: board measurement");
    });
}

}  // namespace
