// SPDX-License-Identifier: GPL-3.0-or-later
// Two vertical cursors on a graph control, and their read-out (see graph_cursors.h).
//
// The lines are items of the chart, so they are drawn with it (also into a
// saved picture); the read-out is a label over the chart's viewport, so it is a
// widget that screen readers see. Both are laid out again whenever the axes or
// the plot area change. Positions are x values, always on a point of the
// graph's first plot when it has any.
#include "graph_cursors.h"

#include <QAccessible>
#include <QChart>
#include <QChartView>
#include <QGraphicsLineItem>
#include <QGraphicsSimpleTextItem>
#include <QLabel>
#include <QPen>
#include <QRegularExpression>
#include <QValueAxis>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "userint_internal.h"

namespace userint_internal {

namespace {

// How near (px) to a cursor line a press grabs it.
constexpr int kGrabReachPx = 6;
constexpr unsigned kCursorColour = 0x202020;
const QString kNone = QStringLiteral("none");

QString exact(double value) {
    char text[32];
    const std::to_chars_result r = std::to_chars(text, text + sizeof text, value);
    return QString::fromLatin1(text, r.ptr - text);
}

ReadoutLine line(const QString &name, double value) {
    if (!std::isfinite(value)) return {name, kNone, kNone};
    return {name, exact(value), QString::number(value, 'g', 6)};
}

// The unit an axis title names at its end, "(ms)" or "[V]"; "°" for a title
// that counts degrees; else none.
QString unit_of(const QString &title) {
    static const QRegularExpression bracketed(QStringLiteral("[(\\[]([^()\\[\\]]+)[)\\]]\\s*$"));
    const QRegularExpressionMatch m = bracketed.match(title);
    if (m.hasMatch()) return m.captured(1).trimmed();
    if (title.contains(QLatin1String("degree"), Qt::CaseInsensitive)) return QStringLiteral("°");
    return QString();
}

QString with_unit(const QString &quantity, const QString &unit) {
    return unit.isEmpty() ? quantity : quantity + QStringLiteral(" (") + unit + QLatin1Char(')');
}

// The first plot shown that has points, else the reference; nullptr when neither has.
const QList<QPointF> *first_points(const GraphState &g) {
    for (const GraphPlot *p : shown_plots(g))
        if (!p->points.isEmpty()) return &p->points;
    if (g.reference && !g.reference->plot.points.isEmpty()) return &g.reference->plot.points;
    return nullptr;
}

// Index of the point nearest x (in x); points is not empty.
qsizetype nearest(const QList<QPointF> &points, double x) {
    qsizetype best = 0;
    double distance = std::numeric_limits<double>::infinity();
    for (qsizetype i = 0; i < points.size(); ++i) {
        const double d = std::abs(points[i].x() - x);
        if (d < distance) {
            distance = d;
            best = i;
        }
    }
    return best;
}

}  // namespace

std::vector<ReadoutLine> cursor_readout(const GraphState &g, double x1, double x2) {
    const QString xUnit = unit_of(g.xAxis->titleText());
    const QString yUnit = unit_of(g.yAxis->titleText());
    std::vector<ReadoutLine> lines;
    lines.push_back(line(with_unit(QStringLiteral("x₁"), xUnit), x1));
    lines.push_back(line(with_unit(QStringLiteral("x₂"), xUnit), x2));
    const double dx = x2 - x1;
    lines.push_back(line(with_unit(QStringLiteral("Δx"), xUnit), dx));
    // In Hz for a time axis; else in the reciprocal of the axis's unit.
    double perSecond = 0;
    if (xUnit == QLatin1String("s"))
        perSecond = 1;
    else if (xUnit == QLatin1String("ms"))
        perSecond = 1e3;
    else if (xUnit == QLatin1String("µs") || xUnit == QLatin1String("us"))
        perSecond = 1e6;
    const double reciprocal = dx != 0 ? (perSecond ? perSecond : 1.0) / std::abs(dx) : NAN;
    lines.push_back(line(perSecond         ? QStringLiteral("1/Δx (Hz)")
                         : xUnit.isEmpty() ? QStringLiteral("1/Δx")
                                           : QStringLiteral("1/Δx (1/%1)").arg(xUnit),
                         reciprocal));

    struct Trace {
        const QList<QPointF> *points;
        QString label;
    };
    std::vector<Trace> traces;
    int number = 0;
    // What is shown: a live trace while there is one, as the operator reads it.
    for (const GraphPlot *p : shown_plots(g)) {
        ++number;
        if (!p->points.isEmpty())
            traces.push_back({&p->points, QStringLiteral("plot %1").arg(number)});
    }
    if (g.reference && !g.reference->plot.points.isEmpty())
        traces.push_back({&g.reference->plot.points, QStringLiteral("reference")});
    const double lo = std::min(x1, x2), hi = std::max(x1, x2);
    for (const Trace &t : traces) {
        const QString suffix = traces.size() > 1 ? QLatin1Char(' ') + t.label : QString();
        const double y1 = (*t.points)[nearest(*t.points, x1)].y();
        const double y2 = (*t.points)[nearest(*t.points, x2)].y();
        double sum = 0, squares = 0;
        long count = 0;
        for (const QPointF &p : *t.points)
            if (p.x() >= lo && p.x() <= hi) {
                sum += p.y();
                squares += p.y() * p.y();
                ++count;
            }
        lines.push_back(line(with_unit(QStringLiteral("y₁") + suffix, yUnit), y1));
        lines.push_back(line(with_unit(QStringLiteral("y₂") + suffix, yUnit), y2));
        lines.push_back(line(with_unit(QStringLiteral("Δy") + suffix, yUnit), y2 - y1));
        lines.push_back(
            line(with_unit(QStringLiteral("Mean") + suffix, yUnit), count ? sum / count : NAN));
        lines.push_back(line(with_unit(QStringLiteral("RMS") + suffix, yUnit),
                             count ? std::sqrt(squares / count) : NAN));
    }
    return lines;
}

GraphCursors::GraphCursors(GraphState &graph, QChartView *view)
    : QObject(view), graph(graph), view(view) {
    for (int i = 0; i < 2; ++i) {
        lines[i] = new QGraphicsLineItem(graph.chart);
        lines[i]->setZValue(100);
        lines[i]->hide();
        marks[i] = new QGraphicsSimpleTextItem(QString::number(i + 1), graph.chart);
        marks[i]->setBrush(QColor::fromRgb(kCursorColour));
        marks[i]->setZValue(100);
        marks[i]->hide();
    }
    readout = new QLabel(view->viewport());
    readout->setObjectName(QStringLiteral("cursorReadout"));
    readout->setAccessibleName(QStringLiteral("Cursor read-out"));
    readout->setAttribute(Qt::WA_TransparentForMouseEvents);
    readout->setTextFormat(Qt::RichText);
    readout->setStyleSheet(QStringLiteral(
        "QLabel { background: rgba(255, 255, 255, 225); color: black; border: 1px solid #808080; "
        "padding: 2px; }"));
    readout->hide();
    QObject::connect(graph.chart, &QChart::plotAreaChanged, this, [this] { place(); });
    for (QValueAxis *axis : {graph.xAxis, graph.yAxis})
        QObject::connect(axis, &QValueAxis::rangeChanged, this, [this] { place(); });
}

// The lines and marks are the chart's items and go with it.
GraphCursors::~GraphCursors() = default;

double GraphCursors::snap(double at) const {
    const QList<QPointF> *points = first_points(graph);
    return points ? (*points)[nearest(*points, at)].x() : at;
}

void GraphCursors::set_shown(bool show) {
    if (show == visible) return;
    visible = show;
    if (visible) {
        if (const QList<QPointF> *points = first_points(graph)) {
            x[0] = points->front().x();
            x[1] = points->back().x();
        } else {
            x[0] = graph.xAxis->min();
            x[1] = graph.xAxis->max();
        }
        selected = 0;
        update_readout();
    }
    readout->setVisible(visible);
    place();
}

void GraphCursors::step(int points) {
    if (!visible) return;
    const QList<QPointF> *all = first_points(graph);
    if (!all || all->size() < 2) {
        step_view(points / 100.0);
        return;
    }
    const bool ascending = all->front().x() <= all->back().x();
    const qsizetype at = nearest(*all, x[selected]) + (ascending ? points : -points);
    x[selected] = (*all)[std::clamp<qsizetype>(at, 0, all->size() - 1)].x();
    update_readout();
    place();
}

void GraphCursors::step_view(double fraction) {
    if (!visible) return;
    const double span = graph.xAxis->max() - graph.xAxis->min();
    const double to =
        std::clamp(x[selected] + fraction * span, graph.xAxis->min(), graph.xAxis->max());
    const double snapped = snap(to);
    // A step shorter than the points' spacing still moves by one point.
    if (snapped == x[selected] && fraction != 0) {
        step(fraction > 0 ? 1 : -1);
        return;
    }
    x[selected] = snapped;
    update_readout();
    place();
}

void GraphCursors::select_other() {
    if (!visible) return;
    selected = 1 - selected;
    place();
}

bool GraphCursors::grab_at(const QPoint &viewportPos) {
    if (!visible || !view) return false;
    int best = -1;
    int bestDistance = kGrabReachPx + 1;
    for (int i : {selected, 1 - selected}) {
        if (!lines[i]->isVisible()) continue;
        const QPointF top = graph.chart->mapToScene(lines[i]->line().p1());
        const int distance = std::abs(view->mapFromScene(top).x() - viewportPos.x());
        if (distance < bestDistance) {
            best = i;
            bestDistance = distance;
        }
    }
    if (best < 0) return false;
    selected = best;
    place();
    return true;
}

void GraphCursors::drag_to(double at) {
    if (!visible) return;
    x[selected] = snap(at);
    update_readout();
    place();
}

QString GraphCursors::readout_text() const {
    QString text;
    for (const ReadoutLine &l : cursor_readout(graph, x[0], x[1]))
        text += l.name + QLatin1Char('\t') + l.value + QLatin1Char('\n');
    return text;
}

void GraphCursors::data_changed() {
    if (!visible) return;
    x[0] = snap(x[0]);
    x[1] = snap(x[1]);
    update_readout();
    place();
}

void GraphCursors::update_readout() {
    QString html = QStringLiteral("<table cellspacing=\"0\" cellpadding=\"1\">");
    QStringList spoken;
    for (const ReadoutLine &l : cursor_readout(graph, x[0], x[1])) {
        html += QStringLiteral("<tr><td>%1</td><td align=\"right\">&nbsp;%2</td></tr>")
                    .arg(l.name.toHtmlEscaped(), l.shown.toHtmlEscaped());
        spoken << l.name + QStringLiteral(": ") + l.shown;
    }
    html += QStringLiteral("</table>");
    readout->setText(html);
    readout->setAccessibleDescription(spoken.join(QLatin1Char('\n')));
    QAccessibleEvent changed(readout, QAccessible::DescriptionChanged);
    QAccessible::updateAccessibility(&changed);
    readout->adjustSize();
}

void GraphCursors::place() {
    if (!view) return;
    const QRectF area = graph.chart->plotArea();
    const double xMin = graph.xAxis->min(), xMax = graph.xAxis->max();
    for (int i = 0; i < 2; ++i) {
        const bool inView = visible && x[i] >= xMin && x[i] <= xMax && xMax > xMin;
        lines[i]->setVisible(inView);
        marks[i]->setVisible(inView);
        if (!inView) continue;
        const double px = area.left() + (x[i] - xMin) / (xMax - xMin) * area.width();
        QPen pen(QColor::fromRgb(kCursorColour));
        pen.setWidth(i == selected ? 2 : 1);
        pen.setStyle(i == selected ? Qt::SolidLine : Qt::DashLine);
        lines[i]->setPen(pen);
        lines[i]->setLine(px, area.top(), px, area.bottom());
        marks[i]->setPos(px + 3, area.top() + 1);
    }
    if (visible) {
        const QPoint topRight =
            view->mapFromScene(graph.chart->mapToScene(area.topRight())) + QPoint(-4, 4);
        readout->move(std::max(0, topRight.x() - readout->width()), std::max(0, topRight.y()));
        readout->raise();
    }
}

}  // namespace userint_internal
