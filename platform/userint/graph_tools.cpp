// SPDX-License-Identifier: GPL-3.0-or-later
// The operator's tools on every graph control (see graph_tools.h).
//
// The tools watch the graph's view and its viewport through an event filter,
// so the view stays Qt's own chart view and the program's calls are untouched.
// The focus frame and the reference's legend are small widgets over the view.
#include "graph_tools.h"

#include <QAction>
#include <QApplication>
#include <QChart>
#include <QChartView>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QDir>
#include <QFileInfo>
#include <QGraphicsLineItem>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QRubberBand>
#include <QShortcut>
#include <QValueAxis>
#include <QWheelEvent>
#include <cmath>
#include <functional>
#include <utility>
#include <variant>
#include <vector>

#include "graph_cursors.h"
#include "graph_export.h"
#include "graph_reference.h"
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
// Width of the focus frame (px).
constexpr int kFocusFrameWidth = 2;
// Shift+Left/Right moves a cursor by this part of the view.
constexpr double kCursorViewStep = 0.1;

// A frame in the palette's highlight colour around a graph with the keyboard
// focus: the chart fills its whole view, so the style's own focus marks do not
// show. Masked to its border, so that it costs nothing where the chart is drawn.
class FocusFrame : public QWidget {
public:
    explicit FocusFrame(QWidget *view) : QWidget(view) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setObjectName(QStringLiteral("graphFocusFrame"));
        hide();
    }
    void fit() {
        const QRect whole = parentWidget()->rect();
        setGeometry(whole);
        setMask(QRegion(whole.translated(-whole.topLeft())) -
                QRegion(whole.translated(-whole.topLeft())
                            .adjusted(kFocusFrameWidth, kFocusFrameWidth, -kFocusFrameWidth,
                                      -kFocusFrameWidth)));
    }

protected:
    void paintEvent(QPaintEvent *) override {
        QPainter painter(this);
        painter.fillRect(rect(), palette().color(QPalette::Active, QPalette::Highlight));
    }
};

AxisView current_view(const GraphState &g) {
    return {g.xAxis->min(), g.xAxis->max(), g.yAxis->min(), g.yAxis->max()};
}

void set_ranges(GraphState &g, const AxisView &v) {
    g.xAxis->setRange(v.xMin, v.xMax);
    g.yAxis->setRange(v.yMin, v.yMax);
}

bool same_view(const AxisView &a, const AxisView &b) {
    return a.xMin == b.xMin && a.xMax == b.xMax && a.yMin == b.yMin && a.yMax == b.yMax;
}

// [lo, hi] moved, and narrowed if need be, to lie within [homeLo, homeHi].
void fit_within(double &lo, double &hi, double homeLo, double homeHi) {
    if (hi - lo >= homeHi - homeLo) {
        lo = homeLo;
        hi = homeHi;
    } else if (lo < homeLo) {
        hi += homeLo - lo;
        lo = homeLo;
    } else if (hi > homeHi) {
        lo -= hi - homeHi;
        hi = homeHi;
    }
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
    auto *openReference = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_O), panel);
    QObject::connect(openReference, &QShortcut::activated, panel, [panel] {
        if (GraphTools *tools = shortcut_target(panel)) tools->open_reference();
    });
}

}  // namespace

GraphTools::GraphTools(GraphState &graph, QChartView *view)
    : QObject(view), graph(graph), view(view) {
    cursors = new GraphCursors(graph, view);
    focusFrame = new FocusFrame(view);
    legend = new QLabel(view->viewport());
    legend->setObjectName(QStringLiteral("referenceLegend"));
    legend->setAttribute(Qt::WA_TransparentForMouseEvents);
    legend->setStyleSheet(QStringLiteral(
        "QLabel { background: rgba(255, 255, 255, 225); color: black; padding: 2px; }"));
    legend->hide();
    levelLine = new QGraphicsLineItem(graph.chart);
    levelLine->setZValue(90);
    levelLine->hide();
    QObject::connect(graph.chart, &QChart::plotAreaChanged, this, [this] { place_overlays(); });
    QObject::connect(graph.yAxis, &QValueAxis::rangeChanged, this, [this] { place_overlays(); });
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
    // Each entry with the command it runs, once the menu has closed.
    std::vector<std::pair<QAction *, std::function<void()>>> commands;
    auto add = [&](const QString &text, const QKeySequence &shortcut, bool enabled,
                   std::function<void()> command) {
        QAction *entry = menu.addAction(text);
        entry->setShortcut(shortcut);
        entry->setEnabled(enabled);
        entry->setShortcutVisibleInContextMenu(true);
        commands.emplace_back(entry, std::move(command));
        return entry;
    };
    add(QStringLiteral("Save data as CSV…"), QKeySequence(Qt::CTRL | Qt::Key_S), hasData,
        [this] { save_data(); });
    add(QStringLiteral("Save picture…"), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S), true,
        [this] { save_picture(); });
    add(QStringLiteral("Copy data"), QKeySequence(Qt::CTRL | Qt::Key_C), hasData,
        [this] { copy_data(); });
    menu.addSeparator();
    add(QStringLiteral("Zoom out"), {}, zoomed, [this] { zoom_out(); });
    add(QStringLiteral("Reset zoom"), {}, zoomed, [this] { reset_zoom(); });
    menu.addSeparator();
    QAction *showCursors = add(QStringLiteral("Cursors"), QKeySequence(Qt::Key_C), true,
                               [this] { set_cursors_shown(!cursors->shown()); });
    showCursors->setCheckable(true);
    showCursors->setChecked(cursors->shown());
    add(QStringLiteral("Copy cursor read-out"), {}, cursors->shown(),
        [this] { copy_cursor_readout(); });
    menu.addSeparator();
    add(QStringLiteral("Open reference…"), QKeySequence(Qt::CTRL | Qt::Key_O), true,
        [this] { open_reference(); });
    add(QStringLiteral("Clear reference"), {}, graph.reference != nullptr,
        [this] { clear_reference(); });
    QAction *chosen = menu.exec(globalPos);
    for (const auto &[entry, command] : commands)
        if (entry == chosen) command();
}

void GraphTools::save_data() {
    if (view) save_graph_data(view, graph);
}

void GraphTools::save_picture() {
    if (!view) return;
    // The focus frame is the screen's, not the graph's: it stays out of the picture.
    savingPicture = true;
    focusFrame->hide();
    save_graph_picture(view);
    savingPicture = false;
    focusFrame->setVisible(view->hasFocus());
}

void GraphTools::copy_data() {
    if (view && graph_has_data(graph)) copy_graph_data(view, graph);
}

void GraphTools::zoom_to(const AxisView &wanted) {
    const AxisView before = current_view(graph);
    const AxisView home = graph.zoomHistory.empty() ? before : graph.zoomHistory.front();
    AxisView v = wanted;
    if (!(v.xMax - v.xMin > kNarrowestZoom * (home.xMax - home.xMin)) ||
        !(v.yMax - v.yMin > kNarrowestZoom * (home.yMax - home.yMin)) || !std::isfinite(v.xMin) ||
        !std::isfinite(v.xMax) || !std::isfinite(v.yMin) || !std::isfinite(v.yMax))
        return;
    fit_within(v.xMin, v.xMax, home.xMin, home.xMax);
    fit_within(v.yMin, v.yMax, home.yMin, home.yMax);
    if (same_view(v, before)) return;
    if (same_view(v, home)) {
        reset_zoom();  // zoomed out as far as it goes: the program's view
        return;
    }
    graph.zoomHistory.push_back(before);
    set_ranges(graph, v);
    redraw_for_range(graph);
}

void GraphTools::zoom_by(double factor) {
    const double xMid = (graph.xAxis->min() + graph.xAxis->max()) / 2;
    const double yMid = (graph.yAxis->min() + graph.yAxis->max()) / 2;
    const double xHalf = (graph.xAxis->max() - graph.xAxis->min()) / 2 / factor;
    const double yHalf = (graph.yAxis->max() - graph.yAxis->min()) / 2 / factor;
    zoom_to({xMid - xHalf, xMid + xHalf, yMid - yHalf, yMid + yHalf});
}

void GraphTools::set_cursors_shown(bool shown) { cursors->set_shown(shown); }

void GraphTools::copy_cursor_readout() {
    if (cursors->shown()) QGuiApplication::clipboard()->setText(cursors->readout_text());
}

void GraphTools::open_reference() {
    if (!view) return;
    const QString path =
        ask_open_name(view->window(), QStringLiteral("Open reference"),
                      {QStringLiteral("CSV files (*.csv)"), QStringLiteral("All files (*)")});
    if (path.isEmpty()) return;
    std::variant<QList<QPointF>, ReferenceProblem> read = read_reference_file(path);
    if (auto *problem = std::get_if<ReferenceProblem>(&read)) {
        const QString where =
            problem->line > 0 ? QStringLiteral("Line %1: ").arg(problem->line) : QString();
        QString what = problem->what;
        if (!where.isEmpty()) what[0] = what[0].toLower();
        const QString message =
            QStringLiteral(
                "The reference could not be opened from\n%1\n\n%2%3.\n\nThe graph is "
                "unchanged. Choose a CSV file of two numeric columns, x and y, such as one saved "
                "with Save data as CSV.")
                .arg(QDir::toNativeSeparators(path), where, what);
        MessagePopup(
            (program_name() + QStringLiteral(": reference not opened")).toUtf8().constData(),
            message.toUtf8().constData());
        return;
    }
    set_graph_reference(graph, std::move(std::get<QList<QPointF>>(read)),
                        QFileInfo(path).fileName());
}

void GraphTools::clear_reference() { clear_graph_reference(graph); }

void GraphTools::data_changed() {
    cursors->data_changed();
    if (graph.reference) {
        const QString colour = QColor::fromRgb(graph.reference->plot.colour).name();
        legend->setText(QStringLiteral("<span style=\"color:%1\"><b>- - -</b></span> Reference: %2")
                            .arg(colour, graph.reference->name.toHtmlEscaped()));
        legend->setAccessibleName(QStringLiteral("Reference: ") + graph.reference->name);
        legend->adjustSize();
    }
    legend->setVisible(graph.reference != nullptr);
    place_overlays();
}

void GraphTools::set_level_line(bool shown, double y, unsigned colour) {
    QPen pen(QColor::fromRgb(colour));
    pen.setWidth(1);
    pen.setStyle(Qt::DashLine);
    levelLine->setPen(pen);
    levelWanted = shown;
    levelY = y;
    place_overlays();
}

void GraphTools::place_overlays() {
    if (!view) return;
    const QRectF area = graph.chart->plotArea();
    const double yMin = graph.yAxis->min(), yMax = graph.yAxis->max();
    const bool levelShown = levelWanted && levelY >= yMin && levelY <= yMax && yMax > yMin;
    levelLine->setVisible(levelShown);
    if (levelShown) {
        const double py = area.bottom() - (levelY - yMin) / (yMax - yMin) * area.height();
        levelLine->setLine(area.left(), py, area.right(), py);
    }
    static_cast<FocusFrame *>(focusFrame)->fit();
    if (legend->isVisible()) {
        const QPoint topLeft =
            view->mapFromScene(graph.chart->mapToScene(graph.chart->plotArea().topLeft()));
        legend->move(topLeft + QPoint(4, 4));
    }
    cursors->place();
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
        case QEvent::MouseButtonPress: {
            const bool pan =
                e->button() == Qt::MiddleButton ||
                (e->button() == Qt::LeftButton && (e->modifiers() & Qt::ShiftModifier));
            if (e->button() != Qt::LeftButton && !pan) return false;
            view->setFocus(Qt::MouseFocusReason);
            if (pan) {
                panning = true;
                panButton = e->button();
                dragOrigin = pos;
                panStart = current_view(graph);
                return true;
            }
            if (cursors->grab_at(pos)) {
                draggingCursor = true;
                return true;
            }
            dragOrigin = pos;
            dragging = true;
            return true;
        }
        case QEvent::MouseMove:
            if (panning) {
                // Only a zoomed view moves: the program's view is as far as any view reaches.
                if (graph.zoomHistory.empty()) return true;
                const AxisView home = graph.zoomHistory.front();
                const QRectF area = graph.chart->plotArea();
                AxisView v = panStart;
                const double dx = -(pos.x() - dragOrigin.x()) / area.width() * (v.xMax - v.xMin);
                const double dy = (pos.y() - dragOrigin.y()) / area.height() * (v.yMax - v.yMin);
                v.xMin += dx;
                v.xMax += dx;
                v.yMin += dy;
                v.yMax += dy;
                fit_within(v.xMin, v.xMax, home.xMin, home.xMax);
                fit_within(v.yMin, v.yMax, home.yMin, home.yMax);
                set_ranges(graph, v);
                redraw_for_range(graph);
                return true;
            }
            if (draggingCursor) {
                cursors->drag_to(value_at(pos).x());
                return true;
            }
            if (!dragging) return false;
            if (!band) band = new QRubberBand(QRubberBand::Rectangle, view->viewport());
            band->setGeometry(QRect(dragOrigin, pos).normalized());
            band->show();
            return true;
        case QEvent::MouseButtonRelease: {
            if (panning && e->button() == panButton) {
                panning = false;
                // Zoom out returns to where the pan began.
                if (!same_view(panStart, current_view(graph)))
                    graph.zoomHistory.push_back(panStart);
                return true;
            }
            if (draggingCursor && e->button() == Qt::LeftButton) {
                draggingCursor = false;
                cursors->drag_to(value_at(pos).x());
                return true;
            }
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

bool GraphTools::key_event(QKeyEvent *e) {
    const Qt::KeyboardModifiers mods = e->modifiers() & ~Qt::KeypadModifier;
    const bool plain = !(mods & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier));
    if (e->key() == Qt::Key_Menu || (e->key() == Qt::Key_F10 && mods == Qt::ShiftModifier)) {
        show_menu(view->mapToGlobal(view->rect().center()));
        return true;
    }
    if (e->matches(QKeySequence::Copy)) {
        copy_data();
        return true;
    }
    if (e->key() == Qt::Key_Escape && (dragging || panning || draggingCursor)) {
        dragging = panning = draggingCursor = false;
        if (band) band->hide();
        return true;
    }
    if (!plain) return false;
    switch (e->key()) {
        case Qt::Key_Plus:
        case Qt::Key_Equal:  // + without Shift on many layouts
            zoom_by(kWheelZoomFactor);
            return true;
        case Qt::Key_Minus:
            zoom_by(1 / kWheelZoomFactor);
            return true;
        case Qt::Key_0:
            reset_zoom();
            return true;
        case Qt::Key_C:
            if (mods != Qt::NoModifier) return false;
            set_cursors_shown(!cursors->shown());
            return true;
        case Qt::Key_Left:
        case Qt::Key_Right: {
            if (!cursors->shown()) return false;
            const int direction = e->key() == Qt::Key_Right ? 1 : -1;
            if (mods & Qt::ShiftModifier)
                cursors->step_view(direction * kCursorViewStep);
            else
                cursors->step(direction);
            return true;
        }
        case Qt::Key_Tab:
            // Shift+Tab (Backtab) still leaves the graph.
            if (!cursors->shown() || mods != Qt::NoModifier) return false;
            cursors->select_other();
            return true;
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
        case QEvent::KeyPress:
            return watched == view && key_event(static_cast<QKeyEvent *>(event));
        case QEvent::FocusIn:
            if (watched == view && !savingPicture) {
                static_cast<FocusFrame *>(focusFrame)->fit();
                focusFrame->show();
                focusFrame->raise();
            }
            return false;
        case QEvent::FocusOut:
            if (watched == view) focusFrame->hide();
            return false;
        case QEvent::Resize:
            if (watched == view) static_cast<FocusFrame *>(focusFrame)->fit();
            return false;
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

void graph_data_changed(GraphState &graph) {
    if (graph.tools) graph.tools->data_changed();
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
