// SPDX-License-Identifier: GPL-3.0-or-later
// What the run-time's own source files share: the table of loaded panels and
// their controls, error reporting, and painting a change at once.
#pragma once

#include <QList>
#include <QPointF>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <map>
#include <memory>
#include <vector>

#include "panel_file.h"
#include "userint.h"

class QChart;
class QValueAxis;
class QXYSeries;

struct GraphPlot {
    int handle = 0;
    QXYSeries *series = nullptr;  // owned by the chart
    unsigned colour = 0;          // 0xRRGGBB
    bool hasPoints = false;       // false when every point was NaN or infinite
    double xMin = 0, xMax = 0, yMin = 0, yMax = 0;
    QList<QPointF> points;   // every point plotted, as the program gave it
    bool thinnable = false;  // a solid line: drawn from a per-pixel outline
    int drawnColumns = -1;   // pixel columns the series was last thinned for (0: all points)
};

struct GraphState {
    QChart *chart = nullptr;
    QValueAxis *xAxis = nullptr;
    QValueAxis *yAxis = nullptr;
    bool xFixed = false;
    bool yFixed = false;
    std::vector<QXYSeries *>
        spareLines;  // emptied line series of deleted plots, still on the chart
    std::vector<GraphPlot> plots;
};

struct Control {
    ControlSpec spec;
    QPointer<QWidget> widget;
    CtrlCallbackPtr callback = nullptr;
    std::unique_ptr<GraphState> graph;  // graphs only
};

struct Panel {
    int handle = 0;
    int parent = 0;
    QString path;
    QPointer<QWidget> window;
    PanelCallbackPtr callback = nullptr;
    int closeControlId = 0;
    std::map<int, Control> controls;
};

namespace userint_internal {

Panel *findPanel(int handle);
// The control, or nullptr after reporting why (bad panel or control) and
// storing the UIE_ code in *error.
Control *findControl(const char *operation, int panel, int control, int *error);
// Writes one stderr line "operation(panel P, control C): detail" and returns code.
int report(const char *operation, int panel, int control, int code, const QString &detail);
// Puts a changed widget on the screen now, without running any callback or
// any input event: the caller may block for seconds right after.
void showNow(QWidget *widget);

// Graphs (graph.cpp).
void setUpGraph(Control &control);

}  // namespace userint_internal
