// SPDX-License-Identifier: GPL-3.0-or-later
// Test access to the GUI run-time (userint_testing.h): the widgets of loaded
// panels, a script run from inside the event loop, the record of popups, the
// plots and axes of graphs, and loading a panel from memory.
//
// Nothing here runs unless a test calls it: the programs reference none of
// these functions, so the linker leaves this file out of them. The run-time
// offers only two hook points for it, the next loop's script (events.cpp) and
// the popup hook (popups.cpp); popups are recorded only once a test asks.
#include <QChart>
#include <QPointF>
#include <QValueAxis>
#include <functional>
#include <string>
#include <vector>

#include "userint.h"
#include "userint_internal.h"
#include "userint_testing.h"

using namespace userint_internal;

namespace {

std::vector<userint_testing::Popup> popupLog;
std::function<void(const userint_testing::Popup &)> popupAnswer;

// From the first call on, every popup is recorded, and answered when a test
// has said how.
void record_popups() {
    set_popup_hook([](const std::string &title, const std::string &message) {
        const userint_testing::Popup popup{title, message};
        popupLog.push_back(popup);
        if (!popupAnswer) return false;
        popupAnswer(popup);
        return true;
    });
}

}  // namespace

namespace userint_testing {

void run_in_event_loop(std::function<void()> script) { script_next_loop(std::move(script)); }

QWidget *panel_widget(int panel) {
    Panel *p = find_panel(panel);
    return p ? p->window.data() : nullptr;
}

QWidget *control_widget(int panel, int control) {
    Control *c = look_up_control(panel, control);
    return c ? c->widget.data() : nullptr;
}

const std::vector<Popup> &popups() { return popupLog; }
void clear_popups() {
    popupLog.clear();
    record_popups();
}
void answer_popups_with(std::function<void(const Popup &)> answer) {
    popupAnswer = std::move(answer);
    record_popups();
}

void operate_instrument_dialog_with(std::function<void(QWidget *dialog)> operate) {
    set_instrument_dialog_hook(std::move(operate));
}

void list_usb_devices_from(const std::string &pattern) { set_usb_device_pattern(pattern); }

std::vector<PlotPoints> graph_plots(int panel, int control) {
    std::vector<PlotPoints> result;
    Control *c = look_up_control(panel, control);
    if (!c || !c->graph) return result;
    for (const GraphPlot &plot : c->graph->plots) {
        PlotPoints points;
        for (const QPointF &pt : plot.points) {
            points.x.push_back(pt.x());
            points.y.push_back(pt.y());
        }
        points.colour = plot.colour;
        result.push_back(std::move(points));
    }
    return result;
}

bool graph_live_trace(int panel, int control, PlotPoints *points) {
    Control *c = look_up_control(panel, control);
    if (!c || !c->graph || !c->graph->live) return false;
    const GraphPlot &plot = c->graph->live->plot;
    *points = PlotPoints{};
    for (const QPointF &pt : plot.points) {
        points->x.push_back(pt.x());
        points->y.push_back(pt.y());
    }
    points->colour = plot.colour;
    return true;
}

AxisRange graph_y_axis(int panel, int control) {
    Control *c = look_up_control(panel, control);
    if (!c || !c->graph) return {};
    const GraphState &g = *c->graph;
    return AxisRange{g.yAxis->min(), g.yAxis->max(), g.yFixed};
}

int load_panel_from_memory(const std::string &content, const char *name, int resourceId) {
    if (!started())
        return load_failure(QString::fromUtf8(name), UIE_NOT_INITIALISED,
                            QStringLiteral("the GUI run-time is not initialised"));
    return build_panel(QString::fromUtf8(name), QByteArray::fromStdString(content), 0, resourceId);
}

}  // namespace userint_testing
