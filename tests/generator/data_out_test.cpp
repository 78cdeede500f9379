// SPDX-License-Identifier: GPL-3.0-or-later
// Getting the generator's preview out, as an operator does: Ctrl+S and Qt's
// file dialog; the saved CSV against the plotted table, value by value, also
// on a comma-decimal desktop. The preview's ticks, and how the window and
// its status line present themselves.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCategoryAxis>
#include <QChart>
#include <QChartView>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QTest>
#include <cstdlib>
#include <string>

#include "generator_harness.h"
#include "generator_ui.h"
#include "graph_operator.h"
#include "panel_agreement.h"
#include "userint.h"
#include "userint_testing.h"

namespace {

struct SaveCase {
    const char *name;
    const char *locale;  // nullptr: the environment's
};

class GeneratorDataOut : public testing::TestWithParam<SaveCase> {};

TEST_P(GeneratorDataOut, CsvHoldsEveryPreviewValueAndWhatThePanelShows) {
    const SaveCase c = GetParam();
    if (c.locale) setenv("LC_ALL", c.locale, 1);
    const graph_operator::SaveFolder folder;
    const QString csvPath = folder.file("preview.csv");
    int exitCode = runGenerator([&] {
        if (c.locale) {
            ASSERT_NO_FATAL_FAILURE(graph_operator::expectDecimalComma(c.locale));
        }
        typeValue(PANEL_ANGLE, 45.5, 1);
        const std::string uploaded = statusLine();
        // Typed but not committed: nothing was uploaded at 2 Vpp, so the preview is not of it.
        typeValue(PANEL_AMPL, 2.0, 3, false);
        QWidget *panel = userint_testing::panel_widget(PANEL);
        graph_operator::answerFileDialog(csvPath);
        panel->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(panel));
        QTest::keyClick(panel, Qt::Key_S, Qt::ControlModifier);

        const graph_operator::CsvFile csv = graph_operator::readCsv(csvPath);
        ASSERT_TRUE(csv.wellFormed) << "not a CSV file of CRLF lines: " << csvPath.toStdString();
        ASSERT_GE(csv.metadata.size(), 2);
        EXPECT_EQ(csv.metadata[0].toStdString(),
                  "# Program: generator (LabBench " LABBENCH_VERSION ")");
        auto shown = [](int id) { return static_cast<QAbstractSpinBox *>(control(id))->text(); };
        // The upload's settings and outcome; the amplitude typed since only as the panel's.
        const QStringList expected = {
            QStringLiteral("# Graph: Preview of one period of the waveform"),
            QStringLiteral("# Frequency (Hz): 10000"),
            QStringLiteral("# Amplitude (Vpp): 4.5"),
            QStringLiteral("# Angle (°): 45.5"),
            QStringLiteral("# Status of the upload: ") + QString::fromStdString(uploaded),
            QStringLiteral("# Amplitude (Vpp) on the panel now, not of this data: ") +
                shown(PANEL_AMPL),
        };
        EXPECT_EQ(csv.metadata.mid(2).join('\n').toStdString(), expected.join('\n').toStdString());
        EXPECT_EQ(csv.header.toStdString(), "Degrees into the period,Relative code");

        // One period is 3600 entries.
        graph_operator::expectTheOnePlotSaved(csv, csvPath, PANEL, PANEL_GRAPH, 3600, c.name);
    });
    EXPECT_EQ(exitCode, 0);
}

INSTANTIATE_TEST_SUITE_P(Previews, GeneratorDataOut,
                         testing::Values(SaveCase{"generator_preview", nullptr},
                                         SaveCase{"generator_preview_de", "de_DE.UTF-8"}),
                         [](const testing::TestParamInfo<SaveCase> &info) {
                             return std::string(info.param.name);
                         });

TEST(GeneratorGraph, PreviewTicksAtOneTwoFiveStepsOnItsFixedRanges) {
    int exitCode = runGenerator([] {
        QWidget *panel = userint_testing::panel_widget(PANEL);
        panel->resize(panel->minimumSizeHint());
        QTest::qWait(0);
        auto *view = qobject_cast<QChartView *>(control(PANEL_GRAPH));
        ASSERT_NE(view, nullptr);
        auto *x = qobject_cast<QCategoryAxis *>(view->chart()->axes(Qt::Horizontal).value(0));
        auto *y = qobject_cast<QCategoryAxis *>(view->chart()->axes(Qt::Vertical).value(0));
        ASSERT_TRUE(x && y);
        EXPECT_EQ(x->min(), 0);
        EXPECT_EQ(x->max(), 360) << "the program's range, exactly";
        EXPECT_EQ(y->min(), -1);
        EXPECT_EQ(y->max(), 1);
        EXPECT_EQ(x->categoriesLabels().join(',').toStdString(), "0,50,100,150,200,250,300,350");
        EXPECT_EQ(y->categoriesLabels().join(',').toStdString(),
                  "-1,-0.8,-0.6,-0.4,-0.2,0,0.2,0.4,0.6,0.8,1");
        graph_operator::expectNoOverlappingTexts(view);
    });
    EXPECT_EQ(exitCode, 0);
}

TEST(GeneratorWindow, CarriesItsIconWindowClassAndASelectableStatusLine) {
    int exitCode = runGenerator([] {
        panel_agreement::expect_desktop_identity(PANEL, "labbench-generator");
        auto *status = qobject_cast<QLabel *>(control(PANEL_STATUS));
        ASSERT_NE(status, nullptr);
        EXPECT_TRUE(status->textInteractionFlags() & Qt::TextSelectableByMouse);
        EXPECT_TRUE(status->textInteractionFlags() & Qt::TextSelectableByKeyboard)
            << "the status line's text can be selected and copied from the keyboard";
    });
    EXPECT_EQ(exitCode, 0);
}

}  // namespace
