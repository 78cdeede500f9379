// SPDX-License-Identifier: GPL-3.0-or-later
// deska as a scope, driven as an operator drives it: a trigger edge and level chosen on
// the panel, and Repeat checked, on the scripted board. A triggered capture starts at
// the first crossing of the level on a known waveform; a flat signal gives "not
// triggered" after the wait; a saved triggered capture names its trigger; Repeat makes complete
// captures one after another until Stop, taking a gain chosen meanwhile at the next.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "case_name.h"
#include "deska_harness.h"
#include "graph_operator.h"
#include "scripted_port.h"

namespace {

using namespace deska_operator;

float volts(unsigned code) { return static_cast<float>(10.0 * code / 4096.0 - 5.0); }

// One period of a sine of 3 V peak at the converter, 100 words long.
std::vector<uint16_t> sineCodes() {
    std::vector<uint16_t> codes;
    for (int i = 0; i < 100; ++i)
        codes.push_back(
            static_cast<uint16_t>(2048 + std::lround(1228.8 * std::sin(2 * M_PI * i / 100))));
    return codes;
}

void chooseTrigger(int item, const char *level) {
    panel_operator::chooseItem(widget<QComboBox>(PANEL_TRIGGER), item);
    panel_operator::enter(widget<QDoubleSpinBox>(PANEL_TRIGGER_LEVEL), QString::fromLatin1(level));
}

struct TriggerCase {
    const char *name;
    int item;           // 1 rising, 2 falling
    const char *level;  // V at the input
    double levelV;
    int gainCode;
};

class DeskaTrigger : public testing::TestWithParam<TriggerCase> {};

TEST_P(DeskaTrigger, CaptureStartsAtTheFirstCrossingOfTheLevel) {
    const TriggerCase c = GetParam();
    const std::vector<uint16_t> codes = sineCodes();
    scripted_port::serve(codes);
    // The first crossing in the served words, at the converter (the level times 2^gain).
    const double atConverter = c.levelV * std::pow(2.0, c.gainCode);
    size_t first = 0;
    for (size_t k = 1; k < codes.size(); ++k) {
        const float before = volts(codes[k - 1]), now = volts(codes[k]);
        if (c.item == 1 ? before < atConverter && now >= atConverter
                        : before > atConverter && now <= atConverter) {
            first = k;
            break;
        }
    }
    ASSERT_GT(first, 0u) << "the waveform crosses the level";
    int status = runDeska([&] {
        if (c.gainCode) chooseGain(c.gainCode);
        chooseTrigger(c.item, c.level);
        clickRun();
        const auto plots = userint_testing::graph_plots(Handle, PANEL_GRAPH);
        ASSERT_EQ(plots.size(), 1u);
        ASSERT_EQ(plots[0].y.size(), 1000u);
        const double g = 1.0 / std::pow(2.0, c.gainCode);
        for (size_t i = 0; i < 1000; ++i)
            ASSERT_EQ(plots[0].y[i],
                      static_cast<float>(g) * volts(codes[(first + i) % codes.size()]))
                << "sample " << i + 1 << " is conversion " << first + i + 1;
        EXPECT_EQ(statusText(), "1000 samples, none lost")
            << "the conversions before the crossing are not lost ones";
        EXPECT_EQ(scripted_port::samplesDelivered(), static_cast<int>(first + 1000));
    });
    EXPECT_EQ(status, 0);
}

INSTANTIATE_TEST_SUITE_P(Edges, DeskaTrigger,
                         testing::Values(TriggerCase{"rising_half_volt", 1, "0.5", 0.5, 0},
                                         TriggerCase{"falling_minus_one_volt", 2, "-1", -1.0, 0},
                                         TriggerCase{"rising_at_gain_x2", 1, "0.75", 0.75, 1},
                                         TriggerCase{"falling_at_zero", 2, "0", 0.0, 0}),
                         [](const testing::TestParamInfo<TriggerCase> &info) {
                             return std::string(info.param.name);
                         });

struct FlatCase {
    const char *name;
    uint16_t code;
    const char *status;
};

class DeskaTriggerWait : public testing::TestWithParam<FlatCase> {};

TEST_P(DeskaTriggerWait, AFlatSignalIsCapturedUntriggeredAfterTheWait) {
    const FlatCase c = GetParam();
    scripted_port::serve({c.code});
    int status = runDeska([&] {
        typeFrequency("100");
        chooseTrigger(1, "0.5");
        QElapsedTimer clock;
        clock.start();
        clickRun();
        EXPECT_GE(clock.elapsed(), 100) << "it waits the time of 1000 samples, at least 0.1 s";
        EXPECT_EQ(statusText(), c.status);
        EXPECT_EQ(userint_testing::graph_plots(Handle, PANEL_GRAPH).size(), 1u)
            << "the operator still sees the signal";
        EXPECT_EQ(text(PANEL_MEAN), c.code == 2048 ? "0.000000" : "4.997559")
            << "the measurements are of the untriggered capture";
    });
    EXPECT_EQ(status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Flat, DeskaTriggerWait,
    testing::Values(FlatCase{"at_zero", 2048, "1000 samples, none lost, not triggered"},
                    FlatCase{"at_the_converters_limit", 4095,
                             "Input over range at gain x1: 1000 of 1000 samples at the "
                             "converter's limit (\u00b15 V at the input); the figures are too "
                             "low: reduce the signal at the board's input. Not triggered"}),
    [](const testing::TestParamInfo<FlatCase> &info) { return std::string(info.param.name); });

// A triggered capture saved with Ctrl+S names its trigger as the panel does, so that a
// trigger changed on the panel since is told apart from the capture's.
TEST(DeskaTriggerFile, SavedCaptureNamesItsTriggerAndThePanelsNewOne) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    setenv("XDG_CONFIG_HOME", QFile::encodeName(folder.filePath("config")).constData(), 1);
    scripted_port::serve(sineCodes());
    const QString csvPath = folder.filePath(QStringLiteral("triggered.csv"));
    const QString changedPath = folder.filePath(QStringLiteral("changed.csv"));
    int status = runDeska([&] {
        chooseTrigger(2, "-1");
        clickRun();
        QWidget *panel = userint_testing::panel_widget(Handle);
        graph_operator::answerFileDialog(csvPath);
        QTest::keyClick(panel, Qt::Key_S, Qt::ControlModifier);
        const graph_operator::CsvFile csv = graph_operator::readCsv(csvPath);
        ASSERT_TRUE(csv.wellFormed) << csvPath.toStdString();
        const QString lines = csv.metadata.join('\n');
        EXPECT_TRUE(csv.metadata.contains(QStringLiteral("# Trigger: Falling edge")))
            << lines.toStdString();
        EXPECT_TRUE(csv.metadata.contains(QStringLiteral("# Trigger level (V): -1.000000")))
            << lines.toStdString();
        EXPECT_FALSE(lines.contains(QStringLiteral("on the panel now"))) << lines.toStdString();

        panel_operator::activate(Handle);  // back from the file dialog
        chooseTrigger(1, "0.25");
        graph_operator::answerFileDialog(changedPath);
        QTest::keyClick(panel, Qt::Key_S, Qt::ControlModifier);
        const graph_operator::CsvFile changed = graph_operator::readCsv(changedPath);
        ASSERT_TRUE(changed.wellFormed) << changedPath.toStdString();
        for (const QString &line :
             {QStringLiteral("# Trigger: Falling edge"),
              QStringLiteral("# Trigger on the panel now, not of this data: Rising edge"),
              QStringLiteral("# Trigger level (V) on the panel now, not of this data: 0.250")})
            EXPECT_TRUE(changed.metadata.contains(line))
                << line.toStdString() << "\nnot in\n"
                << changed.metadata.join('\n').toStdString();
    });
    EXPECT_EQ(status, 0);
}

TEST(DeskaRepeat, CapturesFollowOneAnotherUntilStopWithANewGainAtTheNext) {
    scripted_port::serve(sineCodes());
    scripted_port::pace(0.01);  // 100 kHz: 10 ms a capture
    int status = runDeska([&] {
        typeFrequency("100");
        panel_operator::click(widget<QCheckBox>(PANEL_REPEAT));
        auto *run = widget<QPushButton>(PANEL_RUN);
        bool gainChosen = false, stopped = false, sawStop = false;
        QTimer watch;
        QElapsedTimer clock;
        clock.start();
        QObject::connect(&watch, &QTimer::timeout, [&] {
            const std::string line = statusText();
            if (run->text() == QStringLiteral("&Stop")) sawStop = true;
            if (!gainChosen && line.rfind("Capture 2:", 0) == 0) {
                chooseGain(1);  // x2, chosen while captures go on
                gainChosen = true;
            }
            if (!stopped && (line.rfind("Capture 5:", 0) == 0 || clock.elapsed() > 30000)) {
                panel_operator::click(run);
                stopped = true;
            }
        });
        watch.start(5);
        scripted_port::clearWrites();
        clickRun();
        watch.stop();
        ASSERT_TRUE(stopped);
        EXPECT_LT(clock.elapsed(), 30000) << "Stop ended the captures";
        EXPECT_TRUE(sawStop) << "Run reads Stop meanwhile";
        EXPECT_EQ(run->text(), QStringLiteral("&Run"));
        // Every capture set the board up anew: the gain code of each, in order.
        std::vector<unsigned> gains;
        for (const scripted_port::Write &w : scripted_port::writes())
            if (w.port == 0x309) gains.push_back(w.value);
        ASSERT_GE(gains.size(), 5u);
        EXPECT_EQ(gains[0], 0u);
        EXPECT_EQ(gains.back(), 1u) << "the new gain reached the board";
        for (size_t i = 1; i < gains.size(); ++i)
            EXPECT_GE(gains[i], gains[i - 1]) << "once taken, the new gain stays";
        const std::string line = statusText();
        EXPECT_EQ(line.rfind("Capture " + std::to_string(gains.size()) + ": ", 0), 0u) << line;
        EXPECT_EQ(userint_testing::graph_y_axis(Handle, PANEL_GRAPH).max, 2.5)
            << "the last capture is shown at the new gain";
        EXPECT_EQ(userint_testing::graph_plots(Handle, PANEL_GRAPH).size(), 1u);
        // The last capture's measurements, at the new gain: the sine's extremes halved.
        const std::vector<uint16_t> codes = sineCodes();
        const auto [lowest, highest] = std::minmax_element(codes.begin(), codes.end());
        char peakToPeak[40];
        std::snprintf(peakToPeak, sizeof peakToPeak, "%f",
                      (double(volts(*highest)) - double(volts(*lowest))) / 2.0);
        EXPECT_EQ(text(PANEL_PEAK_TO_PEAK), peakToPeak);
    });
    EXPECT_EQ(status, 0);
}

}  // namespace
