// SPDX-License-Identifier: GPL-3.0-or-later
// Two vertical cursors on a graph control, and their read-out.
//
// Shown by the graph's menu ("Cursors") or the key C, the cursors start on the
// first and the last point of the graph's first plot (the reference trace when
// there is no plot) and stay on its points: a drag, Left/Right (one point) and
// Shift+Left/Right (a tenth of the view) move the selected cursor, Tab selects
// the other. A read-out on the graph gives x1, x2, dx, 1/dx (in Hz when the x
// axis counts ms or s), and for each plot and the reference its y at each
// cursor (the nearest point), dy, and the mean and RMS of its points between
// the cursors, both included. The read-out is a label with an accessible name
// and description, so screen readers read it; "Copy cursor read-out" puts the
// same as tab-separated name/value lines on the clipboard.
#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <utility>
#include <vector>

class QChartView;
class QGraphicsLineItem;
class QGraphicsSimpleTextItem;
class QLabel;
struct GraphState;

namespace userint_internal {

// One line of the read-out: the quantity with its unit, and its value as the
// shortest text that reads back as the same double ("none" where there is none).
struct ReadoutLine {
    QString name;
    QString value;  // exact, for the clipboard
    QString shown;  // six significant digits, for the screen
};

// The read-out for cursors at x1 and x2 on `g` (see above); pure, for the
// cursors and their tests.
std::vector<ReadoutLine> cursor_readout(const GraphState &g, double x1, double x2);

class GraphCursors : public QObject {
public:
    GraphCursors(GraphState &graph, QChartView *view);
    ~GraphCursors() override;

    bool shown() const { return visible; }
    void set_shown(bool show);
    // Moves the selected cursor by `points` points of the graph's first plot.
    void step(int points);
    // Moves the selected cursor by `fraction` of the shown x range.
    void step_view(double fraction);
    void select_other();
    // Starts dragging the cursor drawn within reach of `viewportPos`; false when none is.
    bool grab_at(const QPoint &viewportPos);
    void drag_to(double x);
    // The read-out as "name<TAB>value" lines.
    QString readout_text() const;
    // The plots or the axes changed: the cursors move onto the new points and
    // the read-out is computed anew.
    void data_changed();
    // Places the lines for the current axes and plot area.
    void place();
    double position(int cursor) const { return x[cursor]; }
    int selected_cursor() const { return selected; }
    QLabel *readout_label() const { return readout; }

private:
    // The point of the first plot nearest x (x itself when there are no points).
    double snap(double x) const;
    void update_readout();

    GraphState &graph;
    QPointer<QChartView> view;
    bool visible = false;
    double x[2] = {0, 0};
    int selected = 0;
    QGraphicsLineItem *lines[2] = {nullptr, nullptr};
    QGraphicsSimpleTextItem *marks[2] = {nullptr, nullptr};
    QLabel *readout = nullptr;
};

}  // namespace userint_internal
