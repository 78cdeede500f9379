// SPDX-License-Identifier: GPL-3.0-or-later
// What the run-time's own source files share: the table of loaded panels and
// their controls, and the few calls each job offers the others (see README.md
// for which file does what). Nothing outside platform/userint includes it.
#pragma once

#include <QByteArray>
#include <QList>
#include <QPointF>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "panel_file.h"
#include "userint.h"

class QChart;
class QLabel;
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
    // What the program said the data is (SetPlotMetadata): names and values, in order.
    std::vector<std::pair<QString, QString>> metadata;
};

// The axis ranges a graph shows.
struct AxisView {
    double xMin = 0, xMax = 0, yMin = 0, yMax = 0;
};

// A reference trace the operator opened from a file: drawn over the plots,
// kept while the program plots anew, saved with the data as its own columns.
struct GraphReference {
    GraphPlot plot;  // handle 0; its series is owned by the chart
    QString name;    // the file's name, as the legend and the saved columns show it
};

// Data still being gathered, shown in place of the plots (PlotLiveTrace): not
// the graph's data, which the plots stay. The axes it is shown against are its
// own; those of the plots come back with it ended.
struct GraphLiveTrace {
    GraphPlot plot;       // handle 0; its series is owned by the chart
    AxisView view;        // the fixed ranges the program gave for it
    AxisView axesBefore;  // the plots' ranges, and whether they were fixed
    bool xFixedBefore = false, yFixedBefore = false;
};

namespace userint_internal {
class GraphTools;
}

struct GraphState {
    QChart *chart = nullptr;
    QValueAxis *xAxis = nullptr;
    QValueAxis *yAxis = nullptr;
    bool xFixed = false;
    bool yFixed = false;
    std::vector<QXYSeries *>
        spareLines;  // emptied line series of deleted plots, still on the chart
    std::vector<GraphPlot> plots;
    std::unique_ptr<GraphReference> reference;  // none until the operator opens one
    std::unique_ptr<GraphLiveTrace> live;       // none but while the program shows one
    // The views the operator zoomed away from, oldest first: the first is the
    // program's own view, to which Reset zoom returns.
    std::vector<AxisView> zoomHistory;
    QPointer<userint_internal::GraphTools> tools;  // a child of the graph's view
    GraphState() = default;
    GraphState(const GraphState &) = delete;
    GraphState &operator=(const GraphState &) = delete;
    ~GraphState();  // takes the tools off the view (graph_tools.cpp)
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

// ---- Start-up (startup.cpp) ----
// True once InitCVIRTE has succeeded.
bool started();
// Text for a one-line message: control characters become '?'.
QByteArray one_line(const QString &text);
// Writes one stderr line "operation(panel P, control C): detail" and returns code.
int report(const char *operation, int panel, int control, int code, const QString &detail);

// ---- Callbacks and events (events.cpp) ----
CtrlCallbackPtr control_callback_named(const QString &name);
PanelCallbackPtr panel_callback_named(const QString &name);
// Queues the event for its callback; delivers the queue unless a callback runs.
void dispatch(int panel, int control, int event);
// Turns the focus changes and the close box of a panel's window into events.
void watch_panel_window(int panel, QWidget *window);
// True while a program callback is on the stack.
bool in_callback();
// Forgets the queued events of a discarded panel.
void drop_events_of(int panel);
// Lets events reach their callbacks at once although a callback is on the stack
// (it waits for background work); returns what restore_callbacks needs to undo it.
int open_callbacks();
void restore_callbacks(int held);
// Clears the upper halves of the vector registers after Qt's drawing code.
void clear_vector_upper_state();
// Runs `script` from inside the next RunUserInterface (see userint_testing.h).
void script_next_loop(std::function<void()> script);

// ---- Panels (panels.cpp) ----
Panel *find_panel(int handle);
// The control, or nullptr; reports nothing.
Control *look_up_control(int panel, int control);
// The control, or nullptr after reporting why (bad panel or control) and
// storing the UIE_ code in *error.
Control *find_control(const char *operation, int panel, int control, int *error);
// A visible panel window to own a popup, or nullptr.
QWidget *some_visible_panel();
// Builds and binds the panel described by `content`, read from `path`.
int build_panel(const QString &path, const QByteArray &content, int parentPanel, int resourceId);
// Writes one stderr line "LoadPanel: file: cause" and returns code.
int load_failure(const QString &file, int code, const QString &cause);

// ---- Controls and values (controls.cpp) ----
// A widget that reports the operator's commits, for the classes that have
// one (numeric fields, buttons, text inputs); nullptr for any other class.
QWidget *create_commit_widget(const QString &className, QWidget *parent);
// Makes a widget from create_commit_widget call `commit` on each commit.
void set_commit_action(QWidget *widget, std::function<void()> commit);
// A wheel turned over `control` changes it only while it has the keyboard focus.
void wheel_only_with_focus(QWidget *control);
// The shortcut of `caption` (Alt+letter) focuses its buddy field and selects the
// field's whole text, also when the field has the focus already.
void select_all_on_shortcut(QLabel *caption);
void paint_lamp(QLabel *lamp, const QString &onColour, bool lit);
// Puts a changed widget on the screen now, without running any callback or
// any input event: the caller may block for seconds right after.
void show_now(QWidget *widget);

// ---- Graphs (graph.cpp) ----
void set_up_graph(Control &control);
// Shows `points` (x ascending) as the graph's reference trace named `name`,
// replacing any earlier one; clear_graph_reference takes it away.
void set_graph_reference(GraphState &g, QList<QPointF> points, const QString &name);
void clear_graph_reference(GraphState &g);
// The plots as shown: the live trace's alone while there is one, else every plot.
std::vector<const GraphPlot *> shown_plots(const GraphState &g);

// ---- Popups (popups.cpp) ----
// Called by MessagePopup before it shows anything, when set (tests only):
// returns true when it has answered the popup itself.
using PopupHook = std::function<bool(const std::string &title, const std::string &message)>;
void set_popup_hook(PopupHook hook);

// ---- The instrument dialog (instrument_dialog.cpp) ----
// Called with the dialog's window once it is shown (tests only); the dialog is
// cancelled if it is still open when the hook returns.
using InstrumentDialogHook = std::function<void(QWidget *dialog)>;
void set_instrument_dialog_hook(InstrumentDialogHook hook);
// The glob pattern of the USB devices the dialog lists ("" for /dev/usbtmc*).
void set_usb_device_pattern(const std::string &pattern);

}  // namespace userint_internal
