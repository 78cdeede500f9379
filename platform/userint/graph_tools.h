// SPDX-License-Identifier: GPL-3.0-or-later
// The operator's tools on every graph control: context menu, shortcuts, zoom,
// cursors and a reference trace.
//
// Right click, the Menu key or Shift+F10 (the graph takes the keyboard focus,
// has its place in the tab order and shows a focus frame while it has it) open
// the menu: Save data as CSV..., Save picture..., Copy data, Zoom out, Reset
// zoom, Cursors, Copy cursor read-out, Open reference..., Clear reference. On
// the panel, Ctrl+S saves the data, Ctrl+Shift+S the picture and Ctrl+O opens
// a reference for the focused graph (or the panel's first graph); Ctrl+C on a
// focused graph copies its data.
//
// Zoom: dragging a rectangle with the left button zooms into it, Ctrl+wheel
// zooms about the pointer, and on a focused graph + and - zoom about the
// centre and 0 resets. Dragging with the middle button, or with Shift and the
// left button, pans a zoomed view. No view reaches beyond the program's own
// (its fixed ranges or the autoscaled ones): zooming out stops there. Each
// step keeps the view it left, so Zoom out goes back one step and Reset zoom
// back to the program's view. Any graph call of the program (a new plot, a
// deletion, a new scaling) first returns to that view. Zoom changes the axes
// only: the data and what is saved or copied stay whole.
//
// Cursors (menu, or C on a focused graph) are in graph_cursors.h: with them
// shown, a left press on a cursor drags it, Left/Right move the selected one
// (Shift: by a tenth of the view) and Tab selects the other (Shift+Tab still
// leaves the graph). A reference trace is read from a file (graph_reference.h)
// and stays, over the plots and with a legend naming its file, until Clear
// reference.
#pragma once

#include <QObject>
#include <QPoint>
#include <QPointer>

#include "userint_internal.h"

class QChartView;
class QGraphicsLineItem;
class QKeyEvent;
class QLabel;
class QRubberBand;

namespace userint_internal {

class GraphCursors;

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
    // Shows `view` as far as it lies within the program's view (the same span,
    // moved inside it, or the program's view when wider), keeping the view it
    // leaves for Zoom out.
    void zoom_to(const AxisView &view);
    // Zooms about the centre of the view: a factor above 1 narrows it.
    void zoom_by(double factor);
    void set_cursors_shown(bool shown);
    void copy_cursor_readout();
    // Asks for a file and shows it as the reference; a file that cannot be
    // used is refused in a popup naming the file, the line and the reason.
    void open_reference();
    void clear_reference();
    // The program's level line (SetGraphLevelLine).
    void set_level_line(bool shown, double y, unsigned colour);
    // The plots or their ranges changed (graph.cpp tells): cursors and legend follow.
    void data_changed();
    GraphCursors *graph_cursors() const { return cursors; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool mouse_event(QEvent *event);
    bool key_event(QKeyEvent *event);
    void place_overlays();
    // The axis values at a point of the viewport, within the plot area.
    QPointF value_at(const QPoint &viewportPos) const;

    GraphState &graph;
    QPointer<QChartView> view;
    QRubberBand *band = nullptr;
    QPoint dragOrigin;
    bool dragging = false;
    bool draggingCursor = false;
    bool panning = false;
    Qt::MouseButton panButton = Qt::NoButton;
    AxisView panStart;
    GraphCursors *cursors = nullptr;
    QWidget *focusFrame = nullptr;
    QLabel *legend = nullptr;
    QGraphicsLineItem *levelLine = nullptr;
    bool levelWanted = false;
    double levelY = 0;
    bool savingPicture = false;
};

// Sets up the tools on the graph `graph` shown by `view`.
void set_up_graph_tools(GraphState &graph, QChartView *view);
// Returns to the program's view, if zoomed, without redrawing: for the
// program's own graph calls, which redraw.
void drop_zoom(GraphState &graph);
// Redraws the plots for new axis ranges (graph.cpp).
void redraw_for_range(GraphState &graph);
// Tells the graph's tools that its plots or ranges changed.
void graph_data_changed(GraphState &graph);

}  // namespace userint_internal
