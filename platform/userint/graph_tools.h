// SPDX-License-Identifier: GPL-3.0-or-later
// The operator's tools on every graph control: context menu, shortcuts, zoom.
//
// Right click, the Menu key or Shift+F10 (the graph takes the keyboard focus
// and has its place in the tab order) open the menu: Save data as CSV...,
// Save picture..., Copy data, Zoom out, Reset zoom. On the panel, Ctrl+S saves
// the data and Ctrl+Shift+S the picture of the focused graph (or the panel's
// first graph); Ctrl+C on a focused graph copies its data.
//
// Zoom: dragging a rectangle with the left button zooms into it, Ctrl+wheel
// zooms about the pointer. Each step keeps the view it left, so Zoom out goes
// back one step and Reset zoom back to the view the program set (its fixed
// ranges or the autoscaled ones). Any graph call of the program (a new plot, a
// deletion, a new scaling) first returns to that view. Zoom changes the axes
// only: the data and what is saved or copied stay whole.
#pragma once

#include <QObject>
#include <QPoint>
#include <QPointer>

class QChartView;
class QRubberBand;
struct AxisView;
struct GraphState;

namespace userint_internal {

class GraphTools : public QObject {
public:
    GraphTools(GraphState &graph, QChartView *view);
    // The tools of a graph view, or nullptr.
    static GraphTools *of(const QWidget *view);

    void show_menu(const QPoint &globalPos);
    void save_data();
    void save_picture();
    void copy_data();
    void zoom_out();
    void reset_zoom();
    // Shows `view`, keeping the view it leaves for Zoom out.
    void zoom_to(const AxisView &view);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool mouse_event(QEvent *event);
    // The axis values at a point of the viewport, within the plot area.
    QPointF value_at(const QPoint &viewportPos) const;

    GraphState &graph;
    QPointer<QChartView> view;
    QRubberBand *band = nullptr;
    QPoint dragOrigin;
    bool dragging = false;
};

// Sets up the tools on the graph `graph` shown by `view`.
void set_up_graph_tools(GraphState &graph, QChartView *view);
// Returns to the program's view, if zoomed, without redrawing: for the
// program's own graph calls, which redraw.
void drop_zoom(GraphState &graph);
// Redraws the plots for new axis ranges (graph.cpp).
void redraw_for_range(GraphState &graph);

}  // namespace userint_internal
