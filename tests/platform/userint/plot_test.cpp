// SPDX-License-Identifier: GPL-3.0-or-later
// Tests of the GUI run-time's plots on bench.uir's graph: scaling, deleting,
// the order plots are drawn in, the named styles, and the arguments refused.
// Runs offscreen.
#include <gtest/gtest.h>

#include <QChartView>
#include <QScatterSeries>
#include <QTest>
#include <QValueAxis>
#include <vector>

#include "bench_panel.h"
#include "userint.h"
#include "userint_testing.h"

namespace {

using namespace bench_panel;

TEST_F(PanelTest, PlotWaveformScalesAndDeletes) {
    const short codes[] = {-2048, 0, 2047};
    const int h1 = PlotWaveform(PANEL, GRAPH, codes, 3, WAVE_INT16, 0.00048828, 0.0, 0.0, 0.1, 0, 1,
                                0, 1, 0xFF0000);
    ASSERT_GT(h1, 0);
    const float volts[] = {1.0f, -2.0f, 0.5f, NAN};
    const int h2 =
        PlotWaveform(PANEL, GRAPH, volts, 4, WAVE_FLOAT, 0.5, 1.0, 10.0, 2.0, 0, 1, 0, 1, 0x00FF00);
    ASSERT_GT(h2, h1);

    auto plots = userint_testing::graph_plots(PANEL, GRAPH);
    ASSERT_EQ(plots.size(), 2u);
    EXPECT_EQ(plots[0].x, (std::vector<double>{0.0, 0.1, 0.2}));
    ASSERT_EQ(plots[0].y.size(), 3u);
    EXPECT_DOUBLE_EQ(plots[0].y[0], -2048 * 0.00048828);
    EXPECT_DOUBLE_EQ(plots[0].y[2], 2047 * 0.00048828);
    EXPECT_EQ(plots[0].colour, 0xFF0000u);
    EXPECT_EQ(plots[1].x, (std::vector<double>{10.0, 12.0, 14.0})) << "the NaN point is left out";
    EXPECT_EQ(plots[1].y, (std::vector<double>{1.5, 0.0, 1.25}));

    auto axis = userint_testing::graph_y_axis(PANEL, GRAPH);
    EXPECT_FALSE(axis.fixed);
    EXPECT_DOUBLE_EQ(axis.min, -2048 * 0.00048828) << "autoscale spans every plot";
    EXPECT_DOUBLE_EQ(axis.max, 1.5);

    EXPECT_EQ(SetAxisScalingMode(PANEL, GRAPH, 1, 0, -5.0, 5.0), 0);
    axis = userint_testing::graph_y_axis(PANEL, GRAPH);
    EXPECT_TRUE(axis.fixed);
    EXPECT_EQ(axis.min, -5.0);
    EXPECT_EQ(axis.max, 5.0);

    EXPECT_EQ(DeleteGraphPlot(PANEL, GRAPH, h1, 1), 0);
    EXPECT_EQ(userint_testing::graph_plots(PANEL, GRAPH).size(), 1u);
    EXPECT_EQ(userint_testing::graph_y_axis(PANEL, GRAPH).max, 5.0) << "a fixed axis stays fixed";
    EXPECT_EQ(DeleteGraphPlot(PANEL, GRAPH, h1, 1), UIE_BAD_ARGUMENT) << "already deleted";
    EXPECT_EQ(SetAxisScalingMode(PANEL, GRAPH, 1, 1, 0, 0), 0);
    axis = userint_testing::graph_y_axis(PANEL, GRAPH);
    EXPECT_FALSE(axis.fixed);
    EXPECT_DOUBLE_EQ(axis.min, 0.0);
    EXPECT_DOUBLE_EQ(axis.max, 1.5);
    EXPECT_EQ(DeleteGraphPlot(PANEL, GRAPH, -1, 1), 0);
    EXPECT_TRUE(userint_testing::graph_plots(PANEL, GRAPH).empty());
}

// Plots on one line, so that only the topmost shows: a plot made after others
// were deleted is still drawn above the plots shown, and deleted plots leave
// nothing on screen.
TEST_F(PanelTest, NewPlotIsDrawnAboveThePlotsStillShown) {
    QTest::qWait(50);  // first paint of the panel
    QWidget *graph = userint_testing::control_widget(PANEL, GRAPH);
    const QRect graphArea(graph->mapTo(panel, QPoint(0, 0)), graph->size());
    ASSERT_EQ(SetAxisScalingMode(PANEL, GRAPH, 1, 0, -1.0, 1.0), 0);
    const float line[2] = {0.5f, 0.5f};
    auto plot = [&](int colour) {
        return PlotWaveform(PANEL, GRAPH, line, 2, WAVE_FLOAT, 1, 0, 0, 1, 0, 1, 0, 1, colour);
    };
    const int red = plot(0xFF0000);
    plot(0x00FF00);
    ASSERT_EQ(DeleteGraphPlot(PANEL, GRAPH, red, 1), 0);
    plot(0x0000FF);
    QImage shown = on_screen(panel);
    EXPECT_GT(pixels_of_colour(shown, graphArea, 0x0000FF), 50) << "the newest plot is on top";
    EXPECT_EQ(pixels_of_colour(shown, graphArea, 0x00FF00), 0) << "the older plot lies beneath it";
    EXPECT_EQ(pixels_of_colour(shown, graphArea, 0xFF0000), 0) << "the deleted plot is gone";

    ASSERT_EQ(DeleteGraphPlot(PANEL, GRAPH, -1, 1), 0);
    plot(0xFF0000);
    shown = on_screen(panel);
    EXPECT_GT(pixels_of_colour(shown, graphArea, 0xFF0000), 50)
        << "a plot after deleting all is shown";
    EXPECT_EQ(
        pixels_of_colour(shown, graphArea, 0x0000FF) + pixels_of_colour(shown, graphArea, 0x00FF00),
        0)
        << "deleted plots leave nothing on screen";
    EXPECT_EQ(userint_testing::graph_plots(PANEL, GRAPH).size(), 1u);
}

// Each named style draws what its name says, on the chart the operator sees.
TEST_F(PanelTest, PlotStylesDrawWhatTheirNamesSay) {
    struct Case {
        const char *what;
        int plotStyle, pointStyle, lineStyle;
        bool markersOnly, markedLine;
        int penWidth;
        Qt::PenStyle pen;
        QScatterSeries::MarkerShape marker;  // markers only
    };
    const auto circle = QScatterSeries::MarkerShapeCircle;
    const auto square = QScatterSeries::MarkerShapeRectangle;
    const Case cases[] = {
        {"thin line", PLOT_THIN_LINE, MARKER_SQUARE, LINE_SOLID, false, false, 1, Qt::SolidLine,
         circle},
        {"thick dashed line", PLOT_THICK_LINE, MARKER_CIRCLE, LINE_DASHED, false, false, 3,
         Qt::DashLine, circle},
        {"dotted line with markers", PLOT_LINE_AND_MARKERS, MARKER_SQUARE, LINE_DOTTED, false, true,
         1, Qt::DotLine, circle},
        {"dash-dot line", PLOT_THIN_LINE, MARKER_CIRCLE, LINE_DASH_DOT, false, false, 1,
         Qt::DashDotLine, circle},
        {"dash-dot-dot line", PLOT_THIN_LINE, MARKER_CIRCLE, LINE_DASH_DOT_DOT, false, false, 1,
         Qt::DashDotDotLine, circle},
        {"square markers", PLOT_MARKERS, MARKER_SQUARE, LINE_SOLID, true, false, 0, Qt::SolidLine,
         square},
        {"round markers", PLOT_MARKERS, MARKER_CIRCLE, LINE_SOLID, true, false, 0, Qt::SolidLine,
         circle},
    };
    auto *view = static_cast<QChartView *>(userint_testing::control_widget(PANEL, GRAPH));
    const float points[3] = {0.1f, 0.5f, 0.2f};
    for (const Case &c : cases) {
        ASSERT_EQ(DeleteGraphPlot(PANEL, GRAPH, -1, 1), 0);
        ASSERT_GT(PlotWaveform(PANEL, GRAPH, points, 3, WAVE_FLOAT, 1, 0, 0, 1, c.plotStyle,
                               c.pointStyle, c.lineStyle, 1, 0x0000FF),
                  0)
            << c.what;
        QXYSeries *drawn = nullptr;  // deleted line plots stay on the chart, emptied
        for (QAbstractSeries *series : view->chart()->series())
            if (auto *xy = qobject_cast<QXYSeries *>(series); xy && xy->count() == 3) drawn = xy;
        ASSERT_NE(drawn, nullptr) << c.what;
        auto *scatter = qobject_cast<QScatterSeries *>(drawn);
        EXPECT_EQ(scatter != nullptr, c.markersOnly) << c.what;
        if (scatter) {
            EXPECT_EQ(scatter->markerShape(), c.marker) << c.what;
            continue;
        }
        EXPECT_EQ(drawn->pointsVisible(), c.markedLine) << c.what;
        EXPECT_EQ(drawn->pen().width(), c.penWidth) << c.what;
        EXPECT_EQ(drawn->pen().style(), c.pen) << c.what;
    }
    ASSERT_EQ(SetAxisScalingMode(PANEL, GRAPH, AXIS_X, SCALE_FIXED, -3.0, 7.0), 0);
    ASSERT_EQ(SetAxisScalingMode(PANEL, GRAPH, AXIS_LEFT_Y, SCALE_AUTO, 0, 0), 0);
    const auto *x = static_cast<QValueAxis *>(view->chart()->axes(Qt::Horizontal).at(0));
    EXPECT_EQ(x->min(), -3.0);
    EXPECT_EQ(x->max(), 7.0);
    EXPECT_FALSE(userint_testing::graph_y_axis(PANEL, GRAPH).fixed);
}

TEST_F(PanelTest, PlotWaveformRefusesBadArguments) {
    const short data[4] = {};
    struct Case {
        const char *what;
        int control, count, type, plotStyle, lineStyle, colour;
        const void *array;
        int expected;
    };
    const Case cases[] = {
        {"not a graph", AMPL, 4, WAVE_INT16, 0, 0, 0xFF0000, data, UIE_BAD_CONTROL},
        {"no such control", 42, 4, WAVE_INT16, 0, 0, 0xFF0000, data, UIE_BAD_CONTROL},
        {"null array", GRAPH, 4, WAVE_INT16, 0, 0, 0xFF0000, nullptr, UIE_BAD_ARGUMENT},
        {"zero points", GRAPH, 0, WAVE_INT16, 0, 0, 0xFF0000, data, UIE_BAD_ARGUMENT},
        {"unknown type code", GRAPH, 4, 8, 0, 0, 0xFF0000, data, UIE_BAD_ARGUMENT},
        {"unknown plot style", GRAPH, 4, WAVE_INT16, 9, 0, 0xFF0000, data, UIE_BAD_ARGUMENT},
        {"unknown line style", GRAPH, 4, WAVE_INT16, 0, 9, 0xFF0000, data, UIE_BAD_ARGUMENT},
        {"colour out of range", GRAPH, 4, WAVE_INT16, 0, 0, 0x1000000, data, UIE_BAD_ARGUMENT},
    };
    for (const Case &c : cases)
        EXPECT_EQ(PlotWaveform(PANEL, c.control, c.array, c.count, c.type, 1, 0, 0, 1, c.plotStyle,
                               1, c.lineStyle, 1, c.colour),
                  c.expected)
            << c.what;
    EXPECT_TRUE(userint_testing::graph_plots(PANEL, GRAPH).empty())
        << "refused plots leave nothing behind";
    EXPECT_EQ(SetAxisScalingMode(PANEL, GRAPH, 1, 0, 5.0, -5.0), UIE_BAD_ARGUMENT)
        << "min above max";
    EXPECT_EQ(SetAxisScalingMode(PANEL, GRAPH, 2, 1, 0, 0), UIE_BAD_ARGUMENT) << "unknown axis";
    EXPECT_EQ(DeleteGraphPlot(PANEL, RUN, -1, 1), UIE_BAD_CONTROL);
}

}  // namespace
