// SPDX-License-Identifier: GPL-3.0-or-later
// Graph controls on Qt Charts: plotting arrays, describing and deleting plots,
// axis scaling.
//
// Each graph control owns one QChart with a bottom x axis and a left y axis.
// A plot is one series, filled with a single replace() of a prepared point
// list (one geometry update, fast enough for thousands of points). Axes not
// fixed by SetAxisScalingMode follow the data of all plots.
//
// Styles of PlotWaveform (the PLOT_, MARKER_ and LINE_ codes of userint.h):
//   plot style  a thin line (1 px), a line with a marker on every point, markers
//               only (a scatter series), a thick line (3 px)
//   point style the marker shape of a scatter: circle or square (any other value:
//               circle); a line's markers are always circles, as the line series
//               of Qt Charts draws them
//   line style  solid, dashed, dotted, dash-dot, dash-dot-dot
//   point frequency: accepted; markers are drawn on every point
// Points whose value is NaN or infinite are left out of the plot.
//
// Speed: the chart recomputes a line's whole outline (a stroke with a join at
// every point) whenever its points or axes change, about 0.3 us per point. A
// solid line with more points than the plot area has pixel columns is
// therefore drawn from its per-column outline: the first, lowest, highest and
// last point of each column, in their order, which draws the same pixels. The
// full data stays with the plot (tests and autoscaling use it) and the outline
// is redone when the plot area's width or the x range changes. The chart's
// background rectangles are drawn from cached pixmaps (see set_up_graph).
//
// The axes' ticks are in graph_ticks.cpp; the operator's menu, shortcuts and
// zoom in graph_tools.cpp, saving and copying in graph_export.cpp.
#include <QCategoryAxis>
#include <QChart>
#include <QChartView>
#include <QGraphicsRectItem>
#include <QLineSeries>
#include <QList>
#include <QPointF>
#include <QScatterSeries>
#include <QValueAxis>
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <limits>

#include "graph_ticks.h"
#include "graph_tools.h"
#include "userint.h"
#include "userint_internal.h"

using namespace userint_internal;

namespace {

int nextPlotHandle = 1;

// The reference trace: a colour and a line style no program plot uses.
constexpr unsigned kReferenceColour = 0x1060D0;

// Below this many columns the plot area is not laid out yet: draw every point.
constexpr int kMinOutlineColumns = 50;

// The per-column outline of `points` (x monotonic, as PlotWaveform makes it).
QList<QPointF> outline(const QList<QPointF> &points, double xMin, double xMax, int columns) {
    QList<QPointF> drawn;
    drawn.reserve(4 * columns + 4);
    const double scale = xMax > xMin ? columns / (xMax - xMin) : 0.0;
    auto columnOf = [&](const QPointF &p) {
        return static_cast<long long>((p.x() - xMin) * scale);
    };
    qsizetype first = 0;
    while (first < points.size()) {
        const long long column = columnOf(points[first]);
        qsizetype last = first, low = first, high = first;
        while (last + 1 < points.size() && columnOf(points[last + 1]) == column) {
            ++last;
            if (points[last].y() < points[low].y()) low = last;
            if (points[last].y() > points[high].y()) high = last;
        }
        drawn.append(points[first]);
        const qsizetype middle[2] = {std::min(low, high), std::max(low, high)};
        for (qsizetype i : middle)
            if (i != first && i != last && drawn.back() != points[i]) drawn.append(points[i]);
        if (last != first) drawn.append(points[last]);
        first = last + 1;
    }
    return drawn;
}

// Gives `p`'s series the points to draw for a plot area `areaWidth` pixels
// wide showing `axisSpan` of x; leaves it alone when its drawing would not
// change, unless `force`.
void refresh_plot(GraphPlot &p, double areaWidth, double axisSpan, bool force) {
    int columns = 0;
    if (p.thinnable && areaWidth >= kMinOutlineColumns && axisSpan > 0) {
        const double dataSpan = p.xMax - p.xMin;
        const double wanted = std::ceil(areaWidth * dataSpan / axisSpan) + 1;
        if (wanted * 4 < p.points.size()) columns = static_cast<int>(wanted);
    }
    if (columns == p.drawnColumns && !force) return;
    p.drawnColumns = columns;
    p.series->replace(columns ? outline(p.points, p.xMin, p.xMax, columns) : p.points);
}

// Gives every plot's series, and the reference's, the points to draw for the
// current plot area and x range; with `only`, that plot alone, redrawn.
void refresh_drawn_points(GraphState &g, GraphPlot *only = nullptr) {
    const double areaWidth = g.chart->plotArea().width();
    const double axisSpan = g.xAxis->max() - g.xAxis->min();
    if (only) {
        refresh_plot(*only, areaWidth, axisSpan, true);
        return;
    }
    for (GraphPlot &p : g.plots) refresh_plot(p, areaWidth, axisSpan, false);
    if (g.reference) refresh_plot(g.reference->plot, areaWidth, axisSpan, false);
    if (g.live) refresh_plot(g.live->plot, areaWidth, axisSpan, false);
}

// A spare line series that the chart draws above every plot in use (series
// are drawn in the order they joined the chart), so that a new plot still
// comes out on top; nullptr when there is none.
QXYSeries *take_spare_line(GraphState &g) {
    if (g.spareLines.empty()) return nullptr;
    const QList<QAbstractSeries *> order = g.chart->series();
    qsizetype top = -1;
    for (const GraphPlot &p : g.plots) top = std::max(top, order.indexOf(p.series));
    if (g.live) top = std::max(top, order.indexOf(g.live->plot.series));
    for (auto it = g.spareLines.begin(); it != g.spareLines.end(); ++it) {
        if (order.indexOf(*it) > top) {
            QXYSeries *series = *it;
            g.spareLines.erase(it);
            return series;
        }
    }
    return nullptr;
}

GraphState *find_graph(const char *operation, int panel, int control, int *error) {
    Control *c = find_control(operation, panel, control, error);
    if (!c) return nullptr;
    if (!c->graph) {
        *error = report(operation, panel, control, UIE_BAD_CONTROL,
                        QStringLiteral("the control is a %1, not a graph")
                            .arg(QLatin1String(control_kind_name(c->spec.kind))));
        return nullptr;
    }
    return c->graph.get();
}

// The chart view of a graph control that find_graph has found.
QWidget *graph_view(int panel, int control) { return look_up_control(panel, control)->widget; }

// Sets the axes that follow the data to the span of every plot's points and
// the reference's.
void autoscale(GraphState &g) {
    double xMin = std::numeric_limits<double>::infinity(), xMax = -xMin, yMin = xMin, yMax = -xMin;
    auto include = [&](const GraphPlot &p) {
        if (!p.hasPoints) return;
        xMin = std::min(xMin, p.xMin);
        xMax = std::max(xMax, p.xMax);
        yMin = std::min(yMin, p.yMin);
        yMax = std::max(yMax, p.yMax);
    };
    for (const GraphPlot &p : g.plots) include(p);
    if (g.reference) include(g.reference->plot);
    if (xMin > xMax) return;  // nothing plotted: the axes keep their range
    auto widen = [](double &lo, double &hi) {
        if (lo == hi) {
            lo -= 1;
            hi += 1;
        }
    };
    widen(xMin, xMax);
    widen(yMin, yMax);
    if (!g.xFixed) g.xAxis->setRange(xMin, xMax);
    if (!g.yFixed) g.yAxis->setRange(yMin, yMax);
}

template <class T>
void fill_points(const void *array, int count, double gain, double offset, double x0, double dx,
                 QList<QPointF> &points, GraphPlot &plot) {
    points.reserve(count);
    const T *values = static_cast<const T *>(array);
    double xMin = std::numeric_limits<double>::infinity(), xMax = -xMin, yMin = xMin, yMax = -xMin;
    for (int i = 0; i < count; ++i) {
        const double x = x0 + i * dx;
        const double y = gain * static_cast<double>(values[i]) + offset;
        if (!std::isfinite(x) || !std::isfinite(y)) continue;
        points.append(QPointF(x, y));
        xMin = std::min(xMin, x);
        xMax = std::max(xMax, x);
        yMin = std::min(yMin, y);
        yMax = std::max(yMax, y);
    }
    plot.hasPoints = !points.isEmpty();
    plot.xMin = xMin;
    plot.xMax = xMax;
    plot.yMin = yMin;
    plot.yMax = yMax;
}

// What is wrong with a waveform's data type and scaling, shared by the plot and the
// live trace; empty when nothing is.
QString wave_problem(int dataType, double yGain, double yOffset, double initialX,
                     double xIncrement) {
    if (dataType < WAVE_INT8 || dataType > WAVE_UINT32)
        return QStringLiteral("data type code %1 is not one of 0 to 7").arg(dataType);
    if (!std::isfinite(yGain) || !std::isfinite(yOffset) || !std::isfinite(initialX) ||
        !std::isfinite(xIncrement))
        return QStringLiteral("y gain, y offset, initial x and x increment must be finite numbers");
    return {};
}

bool fill(int dataType, const void *array, int count, double gain, double offset, double x0,
          double dx, QList<QPointF> &points, GraphPlot &plot) {
    switch (dataType) {
        case WAVE_INT8:
            fill_points<int8_t>(array, count, gain, offset, x0, dx, points, plot);
            return true;
        case WAVE_INT16:
            fill_points<int16_t>(array, count, gain, offset, x0, dx, points, plot);
            return true;
        case WAVE_INT32:
            fill_points<int32_t>(array, count, gain, offset, x0, dx, points, plot);
            return true;
        case WAVE_FLOAT:
            fill_points<float>(array, count, gain, offset, x0, dx, points, plot);
            return true;
        case WAVE_DOUBLE:
            fill_points<double>(array, count, gain, offset, x0, dx, points, plot);
            return true;
        case WAVE_UINT8:
            fill_points<uint8_t>(array, count, gain, offset, x0, dx, points, plot);
            return true;
        case WAVE_UINT16:
            fill_points<uint16_t>(array, count, gain, offset, x0, dx, points, plot);
            return true;
        case WAVE_UINT32:
            fill_points<uint32_t>(array, count, gain, offset, x0, dx, points, plot);
            return true;
        default:
            return false;
    }
}

// Ends the graph's live trace, if it has one: its series is emptied and kept for
// a later plot, the plots are shown again against the axes they had. Draws nothing.
void end_live_trace(GraphState &g) {
    if (!g.live) return;
    drop_zoom(g);
    QXYSeries *series = g.live->plot.series;
    series->clear();
    g.spareLines.push_back(series);
    for (GraphPlot &p : g.plots) p.series->setVisible(true);
    g.xFixed = g.live->xFixedBefore;
    g.yFixed = g.live->yFixedBefore;
    g.xAxis->setRange(g.live->axesBefore.xMin, g.live->axesBefore.xMax);
    g.yAxis->setRange(g.live->axesBefore.yMin, g.live->axesBefore.yMax);
    g.live.reset();
    autoscale(g);
    refresh_drawn_points(g);
    graph_data_changed(g);
}

}  // namespace

namespace userint_internal {

std::vector<const GraphPlot *> shown_plots(const GraphState &g) {
    std::vector<const GraphPlot *> shown;
    if (g.live) {
        shown.push_back(&g.live->plot);
        return shown;
    }
    for (const GraphPlot &p : g.plots) shown.push_back(&p);
    return shown;
}

void set_up_graph(Control &control) {
    auto *view = static_cast<QChartView *>(control.widget.data());
    auto g = std::make_unique<GraphState>();
    g->chart = new QChart;
    g->chart->legend()->hide();
    g->chart->setMargins(QMargins(4, 4, 4, 4));
    // Category axes that label their category ends: the ticks and their texts
    // (with a decimal point in every locale) come from graph_ticks.cpp.
    for (QValueAxis **axis : {&g->xAxis, &g->yAxis}) {
        auto *categories = new QCategoryAxis;
        categories->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
        *axis = categories;
    }
    g->xAxis->setTitleText(control.spec.xAxisTitle);
    g->yAxis->setTitleText(control.spec.yAxisTitle);
    g->xAxis->setRange(0, 1);
    g->yAxis->setRange(-1, 1);
    g->chart->addAxis(g->xAxis, Qt::AlignBottom);
    g->chart->addAxis(g->yAxis, Qt::AlignLeft);
    GraphState *state = g.get();
    QObject::connect(g->chart, &QChart::plotAreaChanged, g->chart, [state] {
        refresh_drawn_points(*state);
        update_ticks(*state);
    });
    for (QValueAxis *axis : {g->xAxis, g->yAxis})
        QObject::connect(axis, &QValueAxis::rangeChanged, g->chart,
                         [state] { update_ticks(*state); });
    update_ticks(*state);
    // The chart's background and plot-area rectangles are kept as ready
    // pixmaps: filling them anew on every redraw was the dearest part of it
    // (Qt's raster engine hands fills that tall to helper threads). A cache
    // is redrawn only when its rectangle changes, and holds no text, so the
    // picture stays the same.
    for (QGraphicsItem *item : g->chart->childItems())
        if (item->type() == QGraphicsRectItem::Type)
            item->setCacheMode(QGraphicsItem::DeviceCoordinateCache);
    QChart *previous = view->chart();
    view->setChart(g->chart);
    delete previous;
    set_up_graph_tools(*state, view);
    control.graph = std::move(g);
}

void set_graph_reference(GraphState &g, QList<QPointF> points, const QString &name) {
    drop_zoom(g);
    clear_graph_reference(g);
    auto ref = std::make_unique<GraphReference>();
    ref->name = name;
    GraphPlot &plot = ref->plot;
    plot.hasPoints = !points.isEmpty();
    plot.xMin = plot.xMax = points.isEmpty() ? 0 : points.front().x();
    plot.yMin = plot.yMax = points.isEmpty() ? 0 : points.front().y();
    for (const QPointF &p : points) {
        plot.xMin = std::min(plot.xMin, p.x());
        plot.xMax = std::max(plot.xMax, p.x());
        plot.yMin = std::min(plot.yMin, p.y());
        plot.yMax = std::max(plot.yMax, p.y());
    }
    // Drawn from its outline although dashed, when its x never goes back: a
    // reference has up to a million points, and the outline traces the same
    // path, only the dashes' phase differs.
    plot.thinnable =
        std::is_sorted(points.begin(), points.end(),
                       [](const QPointF &a, const QPointF &b) { return a.x() < b.x(); });
    plot.points = std::move(points);
    plot.colour = kReferenceColour;
    auto *series = new QLineSeries;
    QPen pen(QColor::fromRgb(kReferenceColour));
    pen.setWidth(2);
    pen.setStyle(Qt::DashLine);
    series->setPen(pen);
    series->setName(name);
    plot.series = series;
    g.chart->addSeries(series);
    series->attachAxis(g.xAxis);
    series->attachAxis(g.yAxis);
    g.reference = std::move(ref);
    autoscale(g);
    refresh_drawn_points(g);
    refresh_drawn_points(g, &g.reference->plot);
    graph_data_changed(g);
    redraw_for_range(g);
}

void clear_graph_reference(GraphState &g) {
    if (!g.reference) return;
    drop_zoom(g);
    g.chart->removeSeries(g.reference->plot.series);
    delete g.reference->plot.series;
    g.reference.reset();
    autoscale(g);
    refresh_drawn_points(g);
    graph_data_changed(g);
    redraw_for_range(g);
}

void redraw_for_range(GraphState &g) {
    refresh_drawn_points(g);
    for (QGraphicsView *view : g.chart->scene()->views()) view->viewport()->update();
}

}  // namespace userint_internal

int PlotWaveform(int panel, int control, const void *array, int count, int dataType, double yGain,
                 double yOffset, double initialX, double xIncrement, int plotStyle, int pointStyle,
                 int lineStyle, int pointFrequency, int colour) {
    (void)pointFrequency;
    int error;
    GraphState *g = find_graph("PlotWaveform", panel, control, &error);
    if (!g) return error;
    end_live_trace(*g);
    drop_zoom(*g);  // a new plot is shown in the program's view
    auto refuse = [&](const QString &why) {
        return report("PlotWaveform", panel, control, UIE_BAD_ARGUMENT, why);
    };
    if (!array) return refuse(QStringLiteral("the array's address is null"));
    if (count <= 0) return refuse(QStringLiteral("the point count %1 is not above 0").arg(count));
    if (const QString why = wave_problem(dataType, yGain, yOffset, initialX, xIncrement);
        !why.isEmpty())
        return refuse(why);
    if (plotStyle < PLOT_THIN_LINE || plotStyle > PLOT_THICK_LINE)
        return refuse(QStringLiteral("plot style %1 is not one of 0 to 3").arg(plotStyle));
    if (lineStyle < LINE_SOLID || lineStyle > LINE_DASH_DOT_DOT)
        return refuse(QStringLiteral("line style %1 is not one of 0 to 4").arg(lineStyle));
    if (colour < 0 || colour > 0xFFFFFF)
        return refuse(QStringLiteral("colour 0x%1 is not an 0xRRGGBB value")
                          .arg(static_cast<unsigned>(colour), 0, 16));

    GraphPlot plot;
    fill(dataType, array, count, yGain, yOffset, initialX, xIncrement, plot.points, plot);
    plot.thinnable =
        (plotStyle == PLOT_THIN_LINE || plotStyle == PLOT_THICK_LINE) && lineStyle == LINE_SOLID;

    QXYSeries *series = plotStyle == PLOT_MARKERS ? nullptr : take_spare_line(*g);
    const bool onChart = series != nullptr;
    if (!series)
        series = plotStyle == PLOT_MARKERS ? static_cast<QXYSeries *>(new QScatterSeries)
                                           : new QLineSeries;
    // Indexed by the LINE_ codes.
    static const Qt::PenStyle kLineStyles[] = {Qt::SolidLine, Qt::DashLine, Qt::DotLine,
                                               Qt::DashDotLine, Qt::DashDotDotLine};
    const QColor qcolour = QColor::fromRgb(static_cast<QRgb>(colour));
    QPen pen(qcolour);
    pen.setWidth(plotStyle == PLOT_THICK_LINE ? 3 : 1);
    pen.setStyle(kLineStyles[lineStyle]);
    if (auto *scatter = qobject_cast<QScatterSeries *>(series)) {
        scatter->setMarkerShape(pointStyle == MARKER_SQUARE ? QScatterSeries::MarkerShapeRectangle
                                                            : QScatterSeries::MarkerShapeCircle);
        scatter->setMarkerSize(5);
        scatter->setColor(qcolour);
        scatter->setBorderColor(qcolour);
    } else {
        series->setPen(pen);
        series->setPointsVisible(plotStyle == PLOT_LINE_AND_MARKERS);
        if (plotStyle == PLOT_LINE_AND_MARKERS) series->setMarkerSize(5);
    }
    plot.handle = nextPlotHandle;
    nextPlotHandle = nextPlotHandle == INT_MAX ? 1 : nextPlotHandle + 1;
    plot.series = series;
    plot.colour = static_cast<unsigned>(colour);
    g->plots.push_back(std::move(plot));
    // The chart recomputes a series' whole outline on every change of its
    // axes or points, so the series joins the chart and its axes while still
    // empty, the axes take their new range, and the points come last, once.
    if (!onChart) {
        g->chart->addSeries(series);
        series->attachAxis(g->xAxis);
        series->attachAxis(g->yAxis);
    }
    const double xMinBefore = g->xAxis->min(), xMaxBefore = g->xAxis->max();
    autoscale(*g);
    if (g->xAxis->min() != xMinBefore || g->xAxis->max() != xMaxBefore)
        refresh_drawn_points(*g);  // the other plots' columns moved
    refresh_drawn_points(*g, &g->plots.back());
    graph_data_changed(*g);
    show_now(graph_view(panel, control));
    return plot.handle;
}

int SetPlotMetadata(int panel, int control, int plotHandle, const char *name, const char *value) {
    int error;
    GraphState *g = find_graph("SetPlotMetadata", panel, control, &error);
    if (!g) return error;
    auto plot = std::find_if(g->plots.begin(), g->plots.end(),
                             [&](const GraphPlot &p) { return p.handle == plotHandle; });
    if (plot == g->plots.end())
        return report("SetPlotMetadata", panel, control, UIE_BAD_ARGUMENT,
                      QStringLiteral("the graph has no plot with handle %1").arg(plotHandle));
    if (!name || !*name)
        return report("SetPlotMetadata", panel, control, UIE_BAD_ARGUMENT,
                      QStringLiteral("a metadata line needs a name"));
    const QString key = QString::fromUtf8(name);
    const QString text = value ? QString::fromUtf8(value) : QString();
    for (auto &entry : plot->metadata)
        if (entry.first == key) {
            entry.second = text;
            return 0;
        }
    plot->metadata.emplace_back(key, text);
    return 0;
}

int DeleteGraphPlot(int panel, int control, int plotHandle, int refresh) {
    int error;
    GraphState *g = find_graph("DeleteGraphPlot", panel, control, &error);
    if (!g) return error;
    end_live_trace(*g);
    drop_zoom(*g);
    if (plotHandle != -1 && std::none_of(g->plots.begin(), g->plots.end(), [&](const GraphPlot &p) {
            return p.handle == plotHandle;
        }))
        return report("DeleteGraphPlot", panel, control, UIE_BAD_ARGUMENT,
                      QStringLiteral("the graph has no plot with handle %1").arg(plotHandle));
    for (auto it = g->plots.begin(); it != g->plots.end();) {
        if (plotHandle == -1 || it->handle == plotHandle) {
            // A line series stays on the chart, emptied, for a later plot:
            // taking a series off the chart, or adding one, lays the whole
            // chart out again (axes and every tick label), which costs more
            // than drawing the plot.
            if (qobject_cast<QLineSeries *>(it->series)) {
                it->series->clear();
                g->spareLines.push_back(it->series);
            } else {
                g->chart->removeSeries(it->series);
                delete it->series;
            }
            it = g->plots.erase(it);
        } else {
            ++it;
        }
    }
    autoscale(*g);
    refresh_drawn_points(*g);
    graph_data_changed(*g);
    QWidget *view = graph_view(panel, control);
    if (refresh)
        show_now(view);
    else
        static_cast<QChartView *>(view)->viewport()->update();
    return 0;
}

int SetAxisScalingMode(int panel, int control, int axis, int mode, double min, double max) {
    int error;
    GraphState *g = find_graph("SetAxisScalingMode", panel, control, &error);
    if (!g) return error;
    end_live_trace(*g);
    drop_zoom(*g);
    auto refuse = [&](const QString &why) {
        return report("SetAxisScalingMode", panel, control, UIE_BAD_ARGUMENT, why);
    };
    if (axis != AXIS_X && axis != AXIS_LEFT_Y)
        return refuse(
            QStringLiteral("axis %1 is neither 0 (x axis) nor 1 (left y axis)").arg(axis));
    if (mode != SCALE_FIXED && mode != SCALE_AUTO)
        return refuse(QStringLiteral("scaling mode %1 is neither 0 (fixed range) nor 1 (autoscale)")
                          .arg(mode));
    QValueAxis *a = axis == AXIS_X ? g->xAxis : g->yAxis;
    bool &fixed = axis == AXIS_X ? g->xFixed : g->yFixed;
    if (mode == SCALE_FIXED) {
        if (!std::isfinite(min) || !std::isfinite(max) || !(min < max))
            return refuse(
                QStringLiteral("a fixed range needs finite limits with min < max (got %1 to %2)")
                    .arg(min)
                    .arg(max));
        fixed = true;
        a->setRange(min, max);
    } else {
        fixed = false;
        autoscale(*g);
    }
    if (axis == AXIS_X) refresh_drawn_points(*g);
    graph_data_changed(*g);
    show_now(graph_view(panel, control));
    return 0;
}

int SetGraphLevelLine(int panel, int control, int shown, double y, int colour) {
    int error;
    GraphState *g = find_graph("SetGraphLevelLine", panel, control, &error);
    if (!g) return error;
    if (shown && !std::isfinite(y))
        return report("SetGraphLevelLine", panel, control, UIE_BAD_ARGUMENT,
                      QStringLiteral("the level must be a finite number"));
    if (colour < 0 || colour > 0xFFFFFF)
        return report("SetGraphLevelLine", panel, control, UIE_BAD_ARGUMENT,
                      QStringLiteral("colour 0x%1 is not an 0xRRGGBB value")
                          .arg(static_cast<unsigned>(colour), 0, 16));
    if (g->tools) g->tools->set_level_line(shown != 0, y, static_cast<unsigned>(colour));
    show_now(graph_view(panel, control));
    return 0;
}

int PlotLiveTrace(int panel, int control, const void *array, int count, int dataType, double yGain,
                  double yOffset, double initialX, double xIncrement, double xMin, double xMax,
                  double yMin, double yMax, int colour) {
    int error;
    GraphState *g = find_graph("PlotLiveTrace", panel, control, &error);
    if (!g) return error;
    auto refuse = [&](const QString &why) {
        return report("PlotLiveTrace", panel, control, UIE_BAD_ARGUMENT, why);
    };
    if (!array && count > 0) return refuse(QStringLiteral("the array's address is null"));
    if (count < 0) return refuse(QStringLiteral("the point count %1 is below 0").arg(count));
    if (const QString why = wave_problem(dataType, yGain, yOffset, initialX, xIncrement);
        !why.isEmpty())
        return refuse(why);
    if (!std::isfinite(xMin) || !std::isfinite(xMax) || !std::isfinite(yMin) ||
        !std::isfinite(yMax) || !(xMin < xMax) || !(yMin < yMax))
        return refuse(QStringLiteral("the ranges need finite limits with min < max (got x %1 to "
                                     "%2, y %3 to %4)")
                          .arg(xMin)
                          .arg(xMax)
                          .arg(yMin)
                          .arg(yMax));
    if (colour < 0 || colour > 0xFFFFFF)
        return refuse(QStringLiteral("colour 0x%1 is not an 0xRRGGBB value")
                          .arg(static_cast<unsigned>(colour), 0, 16));

    const AxisView view{xMin, xMax, yMin, yMax};
    const bool starting = !g->live;
    if (starting) {
        drop_zoom(*g);
        auto live = std::make_unique<GraphLiveTrace>();
        live->axesBefore = {g->xAxis->min(), g->xAxis->max(), g->yAxis->min(), g->yAxis->max()};
        live->xFixedBefore = g->xFixed;
        live->yFixedBefore = g->yFixed;
        QXYSeries *series = take_spare_line(*g);
        if (!series) {
            series = new QLineSeries;
            g->chart->addSeries(series);
            series->attachAxis(g->xAxis);
            series->attachAxis(g->yAxis);
        }
        series->setPointsVisible(false);
        live->plot.series = series;
        live->plot.thinnable = true;
        for (GraphPlot &p : g->plots) p.series->setVisible(false);
        g->live = std::move(live);
    }
    GraphLiveTrace &live = *g->live;
    if (starting || live.plot.colour != static_cast<unsigned>(colour)) {
        QPen pen(QColor::fromRgb(static_cast<QRgb>(colour)));
        pen.setWidth(1);
        live.plot.series->setPen(pen);
        live.plot.colour = static_cast<unsigned>(colour);
    }
    if (starting || live.view.xMin != view.xMin || live.view.xMax != view.xMax ||
        live.view.yMin != view.yMin || live.view.yMax != view.yMax) {
        // New ranges are a new view of the program's: the operator's zoom ends.
        drop_zoom(*g);
        live.view = view;
        g->xFixed = g->yFixed = true;
        g->xAxis->setRange(xMin, xMax);
        g->yAxis->setRange(yMin, yMax);
    }
    // Only the points given are read, now: the rest of the array may be in the making.
    live.plot.points.clear();
    fill(dataType, array, count, yGain, yOffset, initialX, xIncrement, live.plot.points, live.plot);
    refresh_drawn_points(*g);
    refresh_drawn_points(*g, &live.plot);
    graph_data_changed(*g);
    // Painted by the event loop: a trace refreshed while work runs must not hold it up.
    static_cast<QChartView *>(graph_view(panel, control))->viewport()->update();
    return 0;
}

int ClearLiveTrace(int panel, int control) {
    int error;
    GraphState *g = find_graph("ClearLiveTrace", panel, control, &error);
    if (!g) return error;
    if (!g->live) return 0;
    end_live_trace(*g);
    show_now(graph_view(panel, control));
    return 0;
}
