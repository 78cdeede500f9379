// SPDX-License-Identifier: GPL-3.0-or-later
// Getting deska's capture out, as an operator does: Run, then Ctrl+S and Qt's
// file dialog; the saved CSV against the plotted arrays, value by value, also
// on a comma-decimal desktop. The graph's ticks for the default and the slow
// capture at the panel's smallest size, and how the window presents itself. A
// saved capture opened back as the graph's reference trace.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCategoryAxis>
#include <QChart>
#include <QChartView>
#include <QRegularExpression>
#include <QTest>
#include <QXYSeries>
#include <cstdlib>
#include <string>
#include <vector>

#include "deska_harness.h"
#include "graph_operator.h"
#include "panel_agreement.h"
#include "scripted_port.h"

namespace {

using namespace deska_operator;

// Codes that make every sample a different value, with a 12-bit pattern in the
// flags' high nibble that the program must mask off.
void serveVariedCodes() {
    std::vector<uint16_t> codes;
    for (unsigned i = 0; i < 1000; i++) codes.push_back(static_cast<uint16_t>((i * 37 + 5) % 4096));
    scripted_port::serve(codes);
}

struct SaveCase {
    const char *name;
    const char *locale;  // nullptr: the environment's
    const char *typedKhz;
    int gainCode;
    const char *gainText;
};

class DeskaDataOut : public testing::TestWithParam<SaveCase> {};

TEST_P(DeskaDataOut, CsvHoldsEveryPlottedValueAndWhatThePanelShows) {
    const SaveCase c = GetParam();
    if (c.locale) setenv("LC_ALL", c.locale, 1);
    const graph_operator::SaveFolder folder;
    serveVariedCodes();
    const QString csvPath = folder.file("capture.csv");
    int status = runDeska([&] {
        if (c.locale) {
            ASSERT_NO_FATAL_FAILURE(graph_operator::expectDecimalComma(c.locale));
        }
        typeFrequency(c.typedKhz);
        if (c.gainCode) chooseGain(c.gainCode);
        clickRun();
        QWidget *panel = userint_testing::panel_widget(Handle);
        graph_operator::answerFileDialog(csvPath);
        QTest::keyClick(panel, Qt::Key_S, Qt::ControlModifier);

        const graph_operator::CsvFile csv = graph_operator::readCsv(csvPath);
        ASSERT_TRUE(csv.wellFormed) << "not a CSV file of CRLF lines: " << csvPath.toStdString();
        ASSERT_GE(csv.metadata.size(), 2);
        EXPECT_EQ(csv.metadata[0].toStdString(),
                  "# Program: deska (LabBench " LABBENCH_VERSION ")");
        EXPECT_TRUE(csv.metadata[1].startsWith(QStringLiteral("# Saved: 20")));
        QStringList described = csv.metadata.mid(2);
        ASSERT_GE(described.size(), 4);
        EXPECT_TRUE(
            QRegularExpression(QStringLiteral("^# Capture ended: 20\\d\\d-\\d\\d-\\d\\dT\\d\\d:"
                                              "\\d\\d:\\d\\d[+-]\\d\\d:\\d\\d$"))
                .match(described[3])
                .hasMatch())
            << described[3].toStdString();
        described.removeAt(3);
        const QStringList expected = {
            QStringLiteral("# Graph: Captured waveform at the input"),
            QStringLiteral("# Sampling frequency (kHz): ") +
                widget<QDoubleSpinBox>(PANEL_FREQ)->text(),
            QStringLiteral("# Gain: ") + QLatin1String(c.gainText),
            QStringLiteral("# Status of the capture: ") + QString::fromStdString(statusText()),
            QStringLiteral("# RMS at the converter (V): ") + QString::fromStdString(text(PANEL_UF)),
            QStringLiteral("# RMS at the input (V): ") +
                QString::fromStdString(text(PANEL_UF_INPUT)),
            QStringLiteral("# Mean (V): ") + QString::fromStdString(text(PANEL_MEAN)),
            QStringLiteral("# AC RMS (V): ") + QString::fromStdString(text(PANEL_AC_RMS)),
            QStringLiteral("# Minimum (V): ") + QString::fromStdString(text(PANEL_MINIMUM)),
            QStringLiteral("# Maximum (V): ") + QString::fromStdString(text(PANEL_MAXIMUM)),
            QStringLiteral("# Peak to peak (V): ") +
                QString::fromStdString(text(PANEL_PEAK_TO_PEAK)),
            QStringLiteral("# Frequency (Hz): ") + QString::fromStdString(text(PANEL_SIGNAL_FREQ)),
        };
        EXPECT_EQ(described.join('\n').toStdString(), expected.join('\n').toStdString());
        EXPECT_FALSE(csv.metadata.join(' ').contains(QStringLiteral("Measuring")))
            << "a lamp is no setting";
        EXPECT_EQ(csv.header.toStdString(), "time (ms),voltage (V)");

        // A capture is 1000 samples.
        graph_operator::expectTheOnePlotSaved(csv, csvPath, Handle, PANEL_GRAPH, 1000, c.name);
    });
    EXPECT_EQ(status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Captures, DeskaDataOut,
    testing::Values(SaveCase{"deska_default", nullptr, "1", 0, "x1"},
                    SaveCase{"deska_slow_gain2_de", "de_DE.UTF-8", "0.2", 1, "x2"}),
    [](const testing::TestParamInfo<SaveCase> &info) { return std::string(info.param.name); });

TEST(DeskaReference, ACaptureSavedByDeskaOpensAsTheReferenceAndStaysOverTheNextRun) {
    const graph_operator::SaveFolder folder;
    serveVariedCodes();
    const QString first = folder.file("first.csv");
    const QString both = folder.file("both.csv");
    int status = runDeska([&] {
        QWidget *panel = userint_testing::panel_widget(Handle);
        auto *view = widget<QChartView>(PANEL_GRAPH);
        clickRun();
        const auto captured = userint_testing::graph_plots(Handle, PANEL_GRAPH);
        ASSERT_EQ(captured.size(), 1u);
        graph_operator::answerFileDialog(first);
        QTest::keyClick(panel, Qt::Key_S, Qt::ControlModifier);
        graph_operator::answerFileDialog(first);
        panel_operator::activate(Handle);  // back from the file dialog
        QTest::keyClick(panel, Qt::Key_O, Qt::ControlModifier);
        QXYSeries *reference = nullptr;
        for (QAbstractSeries *s : view->chart()->series())
            if (s->name() == QLatin1String("first.csv")) reference = qobject_cast<QXYSeries *>(s);
        ASSERT_NE(reference, nullptr) << "the reference is drawn";
        EXPECT_FALSE(reference->points().isEmpty());

        // The next run keeps it; saving then writes it as its own labelled pair.
        panel_operator::activate(Handle);
        typeFrequency("2");
        clickRun();
        graph_operator::answerFileDialog(both);
        QTest::keyClick(panel, Qt::Key_S, Qt::ControlModifier);
        const graph_operator::CsvFile csv = graph_operator::readCsv(both);
        ASSERT_TRUE(csv.wellFormed);
        EXPECT_EQ(csv.header.toStdString(),
                  "time (ms),voltage (V),time (ms) (reference: first.csv),voltage (V) (reference: "
                  "first.csv)");
        ASSERT_EQ(csv.columns.size(), 4u);
        ASSERT_EQ(csv.columns[2].size(), 1000u);
        for (size_t i = 0; i < 1000; ++i) {
            ASSERT_EQ(csv.columns[2][i], captured[0].x[i]) << "x of reference point " << i;
            ASSERT_EQ(csv.columns[3][i], captured[0].y[i]) << "y of reference point " << i;
        }
        EXPECT_EQ(csv.columns[0].back(), 999 * static_cast<double>(1.0f / 2.0f))
            << "the new capture at 2 kHz";
        EXPECT_TRUE(userint_testing::popups().empty());
    });
    EXPECT_EQ(status, 0);
}

// Run at 33.3 kHz and gain x1, then set 0.013 kHz and x2 without running, and click the
// close box: the file describes the capture (its rate, its gain, its verdict), and adds the
// panel's new settings only as the panel's.
TEST(DeskaDataOut, FileSavedAfterThePanelChangedDescribesTheCapture) {
    const graph_operator::SaveFolder folder;
    serveVariedCodes();
    const QString csvPath = folder.file("capture.csv");
    int status = runDeska([&] {
        typeFrequency("33.3");
        clickRun();
        const std::string verdict = statusText();
        const std::string rms = text(PANEL_UF);
        typeFrequency("0.013");
        chooseGain(1);
        QWidget *panel = userint_testing::panel_widget(Handle);
        panel->close();
        ASSERT_EQ(statusText(), verdict + "\nUse Quit to end deska");
        graph_operator::answerFileDialog(csvPath);
        panel_operator::activate(Handle);
        QTest::keyClick(panel, Qt::Key_S, Qt::ControlModifier);

        const graph_operator::CsvFile csv = graph_operator::readCsv(csvPath);
        ASSERT_TRUE(csv.wellFormed) << csvPath.toStdString();
        const QString lines = csv.metadata.join('\n');
        // 2000 kHz / 33.3 truncates to a divisor of 60: 33.333333 kHz.
        for (const QString &line : {
                 QStringLiteral("# Sampling frequency (kHz): 33.333333"),
                 QStringLiteral("# Gain: x1"),
                 QStringLiteral("# Status of the capture: ") + QString::fromStdString(verdict),
                 QStringLiteral("# RMS at the converter (V): ") + QString::fromStdString(rms),
                 QStringLiteral("# Sampling frequency (kHz) on the panel now, not of this data: "
                                "0.013000"),
                 QStringLiteral("# Gain on the panel now, not of this data: x2"),
             })
            EXPECT_TRUE(csv.metadata.contains(line)) << line.toStdString() << "\nnot in\n"
                                                     << lines.toStdString();
        EXPECT_FALSE(lines.contains(QStringLiteral("Use Quit"))) << lines.toStdString();
        // Its rows are 1/33.3 ms apart, as the capture was taken.
        const auto plots = userint_testing::graph_plots(Handle, PANEL_GRAPH);
        ASSERT_EQ(plots.size(), 1u);
        EXPECT_NEAR(plots[0].x[1], 1 / 33.3, 1e-6);
        graph_operator::expectColumnsArePlot(csv, plots[0].x, plots[0].y);
    });
    EXPECT_EQ(status, 0);
}

// The tick labels of an axis, comma-separated.
std::string ticks(Qt::Orientation o) {
    auto *view = widget<QChartView>(PANEL_GRAPH);
    auto *axis = qobject_cast<QCategoryAxis *>(view->chart()->axes(o).value(0));
    return axis ? axis->categoriesLabels().join(',').toStdString() : "(not a category axis)";
}

TEST(DeskaGraph, TicksAtOneTwoFiveStepsReadableAtTheSmallestPanel) {
    serveVariedCodes();
    int status = runDeska([] {
        QWidget *panel = userint_testing::panel_widget(Handle);
        panel->resize(panel->minimumSizeHint());
        QTest::qWait(0);
        clickRun();
        QTest::qWait(0);
        // 0 to 999 ms and the fixed +-5 V, which stays exactly the range shown.
        EXPECT_EQ(ticks(Qt::Horizontal), "0,100,200,300,400,500,600,700,800,900");
        EXPECT_EQ(ticks(Qt::Vertical), "-5,-4,-3,-2,-1,0,1,2,3,4,5");
        graph_operator::expectNoOverlappingTexts(widget<QChartView>(PANEL_GRAPH));

        typeFrequency("0.2");
        chooseGain(1);
        clickRun();
        QTest::qWait(0);
        // 0 to 999 ms and the fixed +-5 V, which stays exactly the range shown.
        EXPECT_EQ(ticks(Qt::Horizontal), "0,1000,2000,3000,4000");
        EXPECT_EQ(ticks(Qt::Vertical), "-2.5,-2,-1.5,-1,-0.5,0,0.5,1,1.5,2,2.5");
        EXPECT_EQ(userint_testing::graph_y_axis(Handle, PANEL_GRAPH).min, -2.5);
        EXPECT_EQ(userint_testing::graph_y_axis(Handle, PANEL_GRAPH).max, 2.5);
        graph_operator::expectNoOverlappingTexts(widget<QChartView>(PANEL_GRAPH));
    });
    EXPECT_EQ(status, 0);
}

TEST(DeskaWindow, CarriesItsIconAndTheDesktopEntrysWindowClass) {
    int status = runDeska([] {
        panel_agreement::expect_desktop_identity(Handle, "labbench-deska");
        // The RMS read-outs look read-only and their text still copies.
        auto *rms = widget<QLineEdit>(PANEL_UF);
        EXPECT_TRUE(rms->isReadOnly());
        EXPECT_FALSE(rms->hasFrame()) << "drawn as a read-out, not as an input field";
    });
    EXPECT_EQ(status, 0);
}

}  // namespace
