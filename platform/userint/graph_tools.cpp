// SPDX-License-Identifier: GPL-3.0-or-later
// The operator's tools on every graph control (see graph_tools.h).
//
// The tools watch the graph's view and its viewport through an event filter,
// so the view stays Qt's own chart view and the program's calls are untouched.
#include "graph_tools.h"

#include <QAction>
#include <QApplication>
#include <QChart>
#include <QChartView>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QRubberBand>
#include <QShortcut>
#include <QValueAxis>
#include <QWheelEvent>
#include <cmath>

#include "graph_export.h"
#include "userint_internal.h"

GraphState::~GraphState() { delete tools.data(); }

namespace userint_internal {

namespace {

// A drag shorter than this (px) on either side is a click, not a rectangle.
constexpr int kSmallestZoomRectPx = 5;
// Span change per wheel notch (120 units of angle delta) with Ctrl held.
constexpr double kWheelZoomFactor = 1.25;
// A zoomed span never gets narrower than this part of the program's view.
constexpr double kNarrowestZoom = 1e-9;
const char *const kShortcutsProperty = "labbenchGraphShortcuts";

AxisView current_view(const GraphState &g) {
    return {g.xAxis->min(), g.xAxis->max(), g.yAxis->min(), g.yAxis->max()};
}

void set_ranges(GraphState &g, const AxisView &v) {
    g.xAxis->setRange(v.xMin, v.xMax);
    g.yAxis->setRange(v.yMin, v.yMax);
}

// The graph that panel shortcuts act on: the focused one, else the first.
GraphTools *shortcut_target(QWidget *panel) {
    for (QWidget *w = QApplication::focusWidget(); w && w != panel; w = w->parentWidget())
        if (GraphTools *tools = GraphTools::of(w)) return tools;
    for (QChartView *view : panel->findChildren<QChartView *>())
        if (GraphTools *tools = GraphTools::of(view)) return tools;
    return nullptr;
}

void add_panel_shortcuts(QWidget *panel) {
    if (panel->property(kShortcutsProperty).toBool()) return;
    panel->setProperty(kShortcutsProperty, true);
    auto *saveData = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_S), panel);
    QObject::connect(saveData, &QShortcut::activated, panel, [panel] {
        if (GraphTools *tools = shortcut_target(panel)) tools->save_data();
    });
    auto *savePicture = new QShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S), panel);
    QObject::connect(savePicture, &QShortcut::activated, panel, [panel] {
        if (GraphTools *tools = shortcut_target(panel)) tools->save_picture();
    });
}

}  // namespace

GraphTools::GraphTools(GraphState &graph, QChartView *view)
    : QObject(view), graph(graph), view(view) {
    view->installEventFilter(this);
    view->viewport()->installEventFilter(this);
}

GraphTools *GraphTools::of(const QWidget *view) {
    if (view)
        for (QObject *child : view->children())
            if (auto *tools = dynamic_cast<GraphTools *>(child)) return tools;
    return nullptr;
}

void GraphTools::show_menu(const QPoint &globalPos) {
    if (!view) return;
    QMenu menu(view);
    const bool hasData = graph_has_data(graph);
    const bool zoomed = !graph.zoomHistory.empty();
    QAction *save = menu.addAction(QStringLiteral("Save data as CSV…"));
    save->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    save->setEnabled(hasData);
    QAction *picture = menu.addAction(QStringLiteral("Save picture…"));
    picture->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
    QAction *copy = menu.addAction(QStringLiteral("Copy data"));
    copy->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_C));
    copy->setEnabled(hasData);
    menu.addSeparator();
    QAction *out = menu.addAction(QStringLiteral("Zoom out"));
    out->setEnabled(zoomed);
    QAction *reset = menu.addAction(QStringLiteral("Reset zoom"));
    reset->setEnabled(zoomed);
    for (QAction *a : menu.actions()) a->setShortcutVisibleInContextMenu(true);
    // The chosen command runs after the menu has closed.
    QAction *chosen = menu.exec(globalPos);
    if (chosen == save)
        save_data();
    else if (chosen == picture)
        save_picture();
    else if (chosen == copy)
        copy_data();
    else if (chosen == out)
        zoom_out();
    else if (chosen == reset)
        reset_zoom();
}

void GraphTools::save_data() {
    if (view) save_graph_data(view, graph);
}

void GraphTools::save_picture() {
    if (view) save_graph_picture(view);
}

void GraphTools::copy_data() {
    if (graph_has_data(graph)) copy_graph_data(graph);
}

void GraphTools::zoom_to(const AxisView &v) {
    const AxisView before = current_view(graph);
    const AxisView &home = graph.zoomHistory.empty() ? before : graph.zoomHistory.front();
    if (!(v.xMax - v.xMin > kNarrowestZoom * (home.xMax - home.xMin)) ||
        !(v.yMax - v.yMin > kNarrowestZoom * (home.yMax - home.yMin)) || !std::isfinite(v.xMin) ||
        !std::isfinite(v.xMax) || !std::isfinite(v.yMin) || !std::isfinite(v.yMax))
        return;
    graph.zoomHistory.push_back(before);
    set_ranges(graph, v);
    redraw_for_range(graph);
}

void GraphTools::zoom_out() {
    if (graph.zoomHistory.empty()) return;
    const AxisView previous = graph.zoomHistory.back();
    graph.zoomHistory.pop_back();
    set_ranges(graph, previous);
    redraw_for_range(graph);
}

void GraphTools::reset_zoom() {
    if (graph.zoomHistory.empty()) return;
    drop_zoom(graph);
    redraw_for_range(graph);
}

QPointF GraphTools::value_at(const QPoint &viewportPos) const {
    const QRectF area = graph.chart->plotArea();
    QPointF p = graph.chart->mapFromScene(view->mapToScene(viewportPos));
    p.setX(std::clamp(p.x(), area.left(), area.right()));
    p.setY(std::clamp(p.y(), area.top(), area.bottom()));
    const double x = graph.xAxis->min() + (p.x() - area.left()) / area.width() *
                                              (graph.xAxis->max() - graph.xAxis->min());
    const double y = graph.yAxis->max() - (p.y() - area.top()) / area.height() *
                                              (graph.yAxis->max() - graph.yAxis->min());
    return {x, y};
}

bool GraphTools::mouse_event(QEvent *event) {
    auto *e = static_cast<QMouseEvent *>(event);
    const QPoint pos = e->position().toPoint();
    switch (event->type()) {
        case QEvent::MouseButtonPress:
            if (e->button() != Qt::LeftButton) return false;
            view->setFocus(Qt::MouseFocusReason);
            dragOrigin = pos;
            dragging = true;
            return true;
        case QEvent::MouseMove:
            if (!dragging) return false;
            if (!band) band = new QRubberBand(QRubberBand::Rectangle, view->viewport());
            band->setGeometry(QRect(dragOrigin, pos).normalized());
            band->show();
            return true;
        case QEvent::MouseButtonRelease: {
            if (e->button() != Qt::LeftButton || !dragging) return false;
            dragging = false;
            if (band) band->hide();
            const QRect rect = QRect(dragOrigin, pos).normalized();
            if (rect.width() < kSmallestZoomRectPx || rect.height() < kSmallestZoomRectPx)
                return true;
            const QPointF a = value_at(rect.topLeft()), b = value_at(rect.bottomRight());
            zoom_to({std::min(a.x(), b.x()), std::max(a.x(), b.x()), std::min(a.y(), b.y()),
                     std::max(a.y(), b.y())});
            return true;
        }
        default:
            return false;
    }
}

bool GraphTools::eventFilter(QObject *watched, QEvent *event) {
    if (!view) return false;
    switch (event->type()) {
        case QEvent::ContextMenu: {
            auto *e = static_cast<QContextMenuEvent *>(event);
            show_menu(e->reason() == QContextMenuEvent::Mouse
                          ? e->globalPos()
                          : view->mapToGlobal(view->rect().center()));
            return true;
        }
        case QEvent::KeyPress: {
            auto *e = static_cast<QKeyEvent *>(event);
            if (e->key() == Qt::Key_Menu ||
                (e->key() == Qt::Key_F10 && e->modifiers() == Qt::ShiftModifier)) {
                show_menu(view->mapToGlobal(view->rect().center()));
                return true;
            }
            if (e->matches(QKeySequence::Copy)) {
                copy_data();
                return true;
            }
            if (e->key() == Qt::Key_Escape && dragging) {
                dragging = false;
                if (band) band->hide();
                return true;
            }
            return false;
        }
        case QEvent::Wheel: {
            auto *e = static_cast<QWheelEvent *>(event);
            if (watched != view->viewport() || !(e->modifiers() & Qt::ControlModifier))
                return false;
            const double notches = e->angleDelta().y() / 120.0;
            if (notches == 0) return true;
            const double factor = std::pow(kWheelZoomFactor, -notches);
            const QPointF at = value_at(e->position().toPoint());
            zoom_to({at.x() - (at.x() - graph.xAxis->min()) * factor,
                     at.x() + (graph.xAxis->max() - at.x()) * factor,
                     at.y() - (at.y() - graph.yAxis->min()) * factor,
                     at.y() + (graph.yAxis->max() - at.y()) * factor});
            return true;
        }
        case QEvent::MouseButtonPress:
        case QEvent::MouseMove:
        case QEvent::MouseButtonRelease:
            return watched == view->viewport() && mouse_event(event);
        default:
            return false;
    }
}

void set_up_graph_tools(GraphState &graph, QChartView *view) {
    // Every graph takes the keyboard focus, so that its menu and copy keys work.
    view->setFocusPolicy(Qt::StrongFocus);
    graph.tools = new GraphTools(graph, view);
    add_panel_shortcuts(view->window());
}

void drop_zoom(GraphState &graph) {
    if (graph.zoomHistory.empty()) return;
    set_ranges(graph, graph.zoomHistory.front());
    graph.zoomHistory.clear();
}

}  // namespace userint_internal
