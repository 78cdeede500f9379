// SPDX-License-Identifier: GPL-3.0-or-later
// Test access to the GUI run-time.
//
// Tests drive panels as an operator does, with key and mouse events (QTest) on
// the real widgets; these hooks only let a test find those widgets, run its
// script from inside the event loop, and see and answer popups. Programs never
// include this header.
#pragma once

#include <functional>
#include <string>
#include <vector>

class QWidget;
class QChart;

namespace userint_testing {

// Runs `script` once, from inside the next RunUserInterface, after the panel is
// shown. The script may send events, process events, and end the loop by
// operating the panel's quit control. A script that returns without ending the
// loop has it ended for it (with a note on stderr), so a test cannot hang.
void run_in_event_loop(std::function<void()> script);

// The widget of a loaded panel (nullptr when the handle is not a loaded panel).
QWidget *panel_widget(int panel);
// The widget of a control (nullptr when unknown).
QWidget *control_widget(int panel, int control);

// A popup as the run-time showed it. Popups are recorded from the first call
// of clear_popups() or answer_popups_with() on; before that, nothing is kept.
struct Popup {
    std::string title;
    std::string message;
};
// Every MessagePopup since the last clear_popups(), in order.
const std::vector<Popup> &popups();
void clear_popups();
// When set, MessagePopup records the popup, calls `answer` instead of blocking
// in a modal dialog, and returns. Pass nullptr to restore the real dialog.
void answer_popups_with(std::function<void(const Popup &)> answer);

// When set, InstrumentChoicePopup runs `operate` with its dialog's window once
// the dialog is shown, inside the dialog's event loop, so that the test can
// operate it with key and mouse events; a dialog still open when `operate`
// returns is cancelled. Pass nullptr to leave the dialog to the operator.
void operate_instrument_dialog_with(std::function<void(QWidget *dialog)> operate);
// The USB devices the dialog lists: the files matching the glob `pattern`
// instead of /dev/usbtmc* ("" restores it).
void list_usb_devices_from(const std::string &pattern);

// Points of every plot currently on a graph control, in plot order.
struct PlotPoints {
    std::vector<double> x, y;
    unsigned colour = 0;  // 0xRRGGBB
};
std::vector<PlotPoints> graph_plots(int panel, int control);
// The live trace of a graph (PlotLiveTrace): true with its points, false (and
// `points` untouched) when the graph shows none.
bool graph_live_trace(int panel, int control, PlotPoints *points);
// The left y axis range of a graph, and whether it is fixed (not autoscaled).
struct AxisRange {
    double min = 0, max = 0;
    bool fixed = false;
};
AxisRange graph_y_axis(int panel, int control);

// Loads a panel from `content` as if read from a file called `name` (for the
// loader's fuzz target). Same results as LoadPanel.
int load_panel_from_memory(const std::string &content, const char *name, int resourceId);

}  // namespace userint_testing
