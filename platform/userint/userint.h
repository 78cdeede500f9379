// SPDX-License-Identifier: GPL-3.0-or-later
// GUI run-time for the bench programs.
//
// A program initialises the run-time, loads its one panel from a Qt Designer
// form (".uir" file), shows it and runs the event loop; the run-time calls the
// program's callbacks, bound by name from the panel file, on the main thread.
// Controls are addressed by (panel handle, control identifier); values are read
// and written through type-checked overloads. Graphs plot arrays with a y gain
// and offset against an initial x and an x step. Everything that touches Qt
// lives behind this header; the programs never include a Qt header.
#pragma once

#include <cstddef>
#include <initializer_list>

// ---- Events ----------------------------------------------------------------
enum {
    EVENT_COMMIT = 1,      // the operator committed a control
    EVENT_GOT_FOCUS = 8,   // panel window gained the focus
    EVENT_LOST_FOCUS = 9,  // panel window lost the focus
    EVENT_CLOSE = 11,      // the operator asked to close the panel (close box)
};

// ---- Callbacks ---------------------------------------------------------------
using CtrlCallbackPtr = int (*)(int panel, int control, int event, void *callbackData,
                                int eventData1, int eventData2);
using PanelCallbackPtr = int (*)(int panel, int event, void *callbackData, int eventData1,
                                 int eventData2);

// One entry of a program's callback table: the name a panel file uses, and the
// function it stands for.
struct CallbackEntry {
    const char *name;
    CtrlCallbackPtr control = nullptr;
    PanelCallbackPtr panel = nullptr;
    CallbackEntry(const char *n, CtrlCallbackPtr f) : name(n), control(f) {}
    CallbackEntry(const char *n, PanelCallbackPtr f) : name(n), panel(f) {}
};

// A program declares its callbacks once, at file scope:
//   static const CallbackRegistration callbacks{{"Ampl", Ampl}, {"Exit", Exit}};
// LoadPanel binds each callback name in the panel file to this table and
// refuses a panel that names a function the program does not define.
struct CallbackRegistration {
    CallbackRegistration(std::initializer_list<CallbackEntry> entries);
};

// ---- Start-up, panels, event loop ------------------------------------------
// What a program tells the run-time about itself, at file scope (the run-time
// keeps the pointer), handed over by HandleCommandLine:
//   static const ProgramIdentity identity{"name", "What it does.\n", ...};
struct ProgramIdentity {
    const char *name;         // the program's name: in its texts, its saved files'
                              // names, and its desktop name "labbench-<name>"
    const char *summary;      // --help: a few lines on what it does, each ending in \n
    const char *environment;  // --help: the variables that matter to it, a line each
    const char *simulated;    // --help: those of its simulator, a short paragraph
    const char *panel;        // its panel file, whose search folders --help lists
    const char *icon_svg;     // its icon, an SVG document; nullptr for none
};

// The program's command line, handled first in main, before anything touches the
// bus, the ports or the display. --help (-h) and --version print on stdout and
// end the process with status 0; an unknown option or any other argument prints
// what is wrong and the usage on stderr and ends it with status 2. Qt's own
// options (-platform, -style, -display, ...) stay in argv for InitCVIRTE.
// `identity` names the program for these texts and, from then on, for its
// window (title class, icon) and its saved files.
void HandleCommandLine(const ProgramIdentity &identity, int argc, char *argv[]);

// Returns 1 when the GUI can start, 0 (after one line on stderr naming the
// reason) when it cannot: no display, a dead display, refused authorisation.
int InitCVIRTE(void *hInstance, char *argv[], void *reserved);

// LoadPanel error codes (all negative).
enum {
    UIE_FILE_NOT_FOUND = -1,    // missing or unreadable panel file
    UIE_BAD_FORM = -2,          // not a well-formed Qt Designer form
    UIE_NO_SUCH_PANEL = -3,     // no panel with that resource id in the file
    UIE_CONTROL_NO_ID = -4,     // a control without identifier
    UIE_DUPLICATE_ID = -5,      // two controls with one identifier
    UIE_UNKNOWN_CALLBACK = -6,  // callback name the program does not define
    UIE_KIND_MISMATCH = -7,     // control kind does not fit its value type
    UIE_NOT_INITIALISED = -8,   // InitCVIRTE has not succeeded
    UIE_BAD_PANEL = -10,        // no such panel handle
    UIE_BAD_CONTROL = -11,      // no such control on the panel
    UIE_TYPE_MISMATCH = -12,    // value of another type or width than the control's
    UIE_BAD_ARGUMENT = -13,     // e.g. unknown data type code, count <= 0
    UIE_BUSY = -14,             // background work is already running
};

// Bare file names are looked up in the executable's folder, then in the
// installed data folder. The first panel loaded gets handle 1.
int LoadPanel(int parentPanel, const char *fileName, int resourceId);
int DisplayPanel(int panel);
int DiscardPanel(int panel);
// The panel window's title: set it, or read it into `title` (at most size - 1
// bytes and a NUL; a longer title is cut).
int SetPanelTitle(int panel, const char *title);
int GetPanelTitle(int panel, char *title, int size);
int RunUserInterface(void);
int QuitUserInterface(int returnCode);

// ---- Control values ----------------------------------------------------------
// Each control declares its value type in the panel file; an access with a
// variable of another type or width returns UIE_TYPE_MISMATCH and writes nothing.
// SetCtrlVal on a numeric control coerces the value into the control's range.
int GetCtrlVal(int panel, int control, float *value);
int GetCtrlVal(int panel, int control, double *value);
int GetCtrlVal(int panel, int control, int *value);
int GetCtrlVal(int panel, int control, unsigned char *value);
int GetCtrlVal(int panel, int control, signed char *value);
int GetCtrlVal(int panel, int control, char *buffer);  // string controls; buffer must hold the text
int SetCtrlVal(int panel, int control, float value);
int SetCtrlVal(int panel, int control, double value);
int SetCtrlVal(int panel, int control, int value);
int SetCtrlVal(int panel, int control, unsigned char value);
int SetCtrlVal(int panel, int control, signed char value);
int SetCtrlVal(int panel, int control, const char *text);

// What the operator typed into a numeric field beyond its range, while the
// field's commit is handled. A field takes no key that would carry its number
// past its range (typing "50" into a field that ends at 10 leaves 5), so the
// value committed is not what was typed; a program says so. Returns 1 with the
// typed number's text in `typed` (at most size - 1 bytes and a NUL; empty when
// it does not fit) when keys were refused since the field's last commit, 0
// when the commit holds what was typed; *low and *high (either may be null)
// get the field's range. Negative for a control that is not a numeric field.
int GetCtrlRefusedEntry(int panel, int control, char *typed, int size, double *low, double *high);

// ---- Work that outlasts a moment ------------------------------------------------
// Work runs on the program's one background thread, made once and then waiting,
// blocked, between works, so that starting a work costs no thread start. A work
// function returns the result that RunInBackground (or RunOnBackgroundThread)
// hands back; a progress function runs on the main thread.
using BackgroundWorkPtr = int (*)(void *workData);
using BackgroundProgressPtr = void (*)(void *workData);

// A middle real-time priority (SCHED_FIFO, 1 to 99): above every ordinary
// process, below the kernel's own interrupt threads (priority 50 too, but they
// run first when both are ready on the same core).
enum { BACKGROUND_REALTIME_PRIORITY = 50 };

// Makes the background thread and returns once it is ready. Call it once at
// start-up, while the program still holds the privileges it was started with
// (a file-scope object before the one that drops them): `realtimePriority`
// 1..99 asks for the real-time policy SCHED_FIFO at that priority, which the
// thread gets with the capability CAP_SYS_NICE or an RLIMIT_RTPRIO of at least
// that priority (root has both); 0 asks for the normal policy. The thread keeps
// its policy and then drops every capability it was started with. Its stack
// and the program's own code and data are locked in memory (CAP_IPC_LOCK or
// within RLIMIT_MEMLOCK), or else touched so that they are in memory before
// the first work. Touches no Qt, so it may run during static initialisation.
// Returns 1 when the thread runs real-time, 0 when it runs with the normal
// policy (BackgroundRealtimeRefusal says why), UIE_BUSY when a thread exists
// already (it is kept as it is). If no thread can be made, the works run on the
// calling thread and a line on stderr says so. Without this call the first work
// makes the thread, with the normal policy.
int StartBackgroundThread(int realtimePriority);
// 1 while the background thread runs under the real-time policy, else 0; asks
// the kernel each time, so it also sees a policy changed from outside (chrt).
int BackgroundThreadRealtime(void);
// Why the background thread has no real-time policy, in words for the operator
// ("" when it has it, or when none was asked for).
const char *BackgroundRealtimeRefusal(void);

// Runs work(workData) on the background thread and returns its result once it
// has returned. Called from a callback; meanwhile the main thread keeps every panel
// alive: windows repaint and follow resizes, `progress` (if not null) runs every
// 100 ms, and the operator's events reach their callbacks at once, nested inside
// the calling callback (the one-at-a-time rule is suspended for the duration), so
// a program's callbacks must keep their own state consistent with the work in
// progress and start no second one: a second call returns UIE_BUSY. The work must
// not call the run-time other than BackgroundStopRequested and BackgroundPause,
// and touches the program's data only as its own (the main thread reads it after
// the return, or meanwhile through atomics, or what the work has published through
// an atomic count, so that the work never waits for the main thread). Works
// follow one another on the same thread at no start-up cost: many captures in a
// row are one call each, or one work that loops. If no thread can be made, the
// work runs on the calling thread with the panels waiting.
int RunInBackground(BackgroundWorkPtr work, void *workData, BackgroundProgressPtr progress);
// Runs work(workData) on the background thread, under its policy, while the
// calling thread waits blocked: no panel repaints and no event reaches a callback
// until it returns, as during any callback. For work too short for the operator
// to act on (a capture of milliseconds) that must still run on that thread.
// UIE_BUSY while another work runs.
int RunOnBackgroundThread(BackgroundWorkPtr work, void *workData);
// Asks the running background work to stop; QuitUserInterface asks the same.
// Without background work running, nothing happens: a later work starts unstopped.
int RequestBackgroundStop(void);
// 1 once a stop has been asked for the running work, else 0. Safe from the work's
// thread; costs one atomic load, so the work may ask every few microseconds.
int BackgroundStopRequested(void);
// For the work: waits `seconds`, leaving the processor to other threads, or less
// if a stop is asked meanwhile (it ends the wait at once). Returns
// BackgroundStopRequested(). A work under the real-time policy that waits long
// for something (a conversion due in milliseconds) pauses rather than polling
// throughout, or it takes its core from the panels.
int BackgroundPause(double seconds);

// ---- Failure marks -------------------------------------------------------------
// Marks a text control (string read-out or input) as reporting a failure
// (failed != 0) or clears the mark (0). A marked control cannot be taken for a
// success at a glance: a warning icon beside its text and the text in dark red;
// its accessible description becomes "Failure" and screen readers are alerted,
// also when a new failure replaces an old one. SetCtrlVal leaves the mark as it
// is: a program sets the text, then the mark. Returns 0, or UIE_BAD_ARGUMENT for
// a control that holds no text.
int MarkCtrlFailure(int panel, int control, int failed);
// Sets the text of a command button, '&' before its shortcut letter as in a panel
// file, and its accessible name (the text without the '&'); e.g. Run becoming Stop
// while a capture runs. Returns 0, or UIE_BAD_ARGUMENT for a control that is not a
// command button or a null text.
int SetCtrlLabel(int panel, int control, const char *label);

// ---- Graphs -----------------------------------------------------------------
// Element type codes of PlotWaveform arrays.
enum {
    WAVE_INT8 = 0,
    WAVE_INT16 = 1,
    WAVE_INT32 = 2,
    WAVE_FLOAT = 3,
    WAVE_DOUBLE = 4,
    WAVE_UINT8 = 5,
    WAVE_UINT16 = 6,
    WAVE_UINT32 = 7,
};

// Plot styles of PlotWaveform: how the points are joined and marked.
enum {
    PLOT_THIN_LINE = 0,         // a 1-pixel line, no markers
    PLOT_LINE_AND_MARKERS = 1,  // a 1-pixel line with a marker on every point
    PLOT_MARKERS = 2,           // markers only, no line
    PLOT_THICK_LINE = 3,        // a 3-pixel line, no markers
};

// Point styles: the marker shape of PLOT_MARKERS (any other value draws
// circles). PLOT_LINE_AND_MARKERS always marks its points with circles, and
// the other plot styles draw no markers whatever the point style.
enum {
    MARKER_CIRCLE = 0,
    MARKER_SQUARE = 1,
};

// Line styles: the pen of the line plot styles (PLOT_MARKERS draws no line).
enum {
    LINE_SOLID = 0,
    LINE_DASHED = 1,
    LINE_DOTTED = 2,
    LINE_DASH_DOT = 3,
    LINE_DASH_DOT_DOT = 4,
};

// Axes of SetAxisScalingMode.
enum {
    AXIS_X = 0,       // the bottom axis
    AXIS_LEFT_Y = 1,  // the left axis
};

// Scaling modes of SetAxisScalingMode.
enum {
    SCALE_FIXED = 0,  // the range [min, max] given with it
    SCALE_AUTO = 1,   // follows the data of every plot
};

// Point i is drawn at x = initialX + i*xIncrement, y = yGain*array[i] + yOffset.
// dataType is a WAVE_ code, plotStyle a PLOT_, pointStyle a MARKER_ and
// lineStyle a LINE_ code; pointFrequency is accepted, markers go on every
// point. colour is 0xRRGGBB. Returns a plot handle (> 0) or a negative error
// code.
int PlotWaveform(int panel, int control, const void *array, int count, int dataType, double yGain,
                 double yOffset, double initialX, double xIncrement, int plotStyle, int pointStyle,
                 int lineStyle, int pointFrequency, int colour);
// Describes the data of a plot for the '#' lines written with the graph's data
// (Save data as CSV, Copy data): one line "# name: value" per name, in the
// order the names were first given; giving a name again replaces its value.
// Call it when plotting, with what the data is (its rate, its settings, its
// verdict): the description is the plot's own and is written as it was given,
// whatever the panel shows by the time of saving, and it goes with the plot
// (DeleteGraphPlot). Line breaks in the texts become spaces. Returns 0, or
// UIE_BAD_ARGUMENT for a plot handle the graph does not have or an empty name.
int SetPlotMetadata(int panel, int control, int plotHandle, const char *name, const char *value);
// plotHandle -1 removes every plot; refresh 1 redraws at once.
int DeleteGraphPlot(int panel, int control, int plotHandle, int refresh);
// axis is an AXIS_ code, mode SCALE_FIXED (to [min, max]) or SCALE_AUTO
// (min and max are then ignored).
int SetAxisScalingMode(int panel, int control, int axis, int mode, double min, double max);
// Draws (shown != 0) a dashed horizontal line across the graph at y, in the
// left axis's units, such as a trigger level, or takes it away (shown 0). It
// is a mark, not a plot: neither saved nor copied with the data, and kept
// through PlotWaveform and DeleteGraphPlot. colour is 0xRRGGBB.
int SetGraphLevelLine(int panel, int control, int shown, double y, int colour);

// Data still being gathered (a capture in progress), shown on the graph in
// place of its plots until ClearLiveTrace. It is not the graph's data: saving
// and copying go on writing the plots and their descriptions. Point i is at
// x = initialX + i*xIncrement, y = yGain*array[i] + yOffset, as with
// PlotWaveform, drawn as a thin solid line in `colour` (0xRRGGBB) against the
// fixed ranges [xMin, xMax] and [yMin, yMax], the span the finished data will
// take, so that the trace grows across the graph. Each call replaces the points
// of the last; array[0] to array[count - 1] are read during the call and no
// further (the rest may be in the making), count 0 shows none. The operator's
// zoom stays while the ranges do; the cursors read the trace. Drawn by the
// event loop, not before the call returns, so that refreshing it holds no one
// up. Returns 0 or a negative error code.
int PlotLiveTrace(int panel, int control, const void *array, int count, int dataType, double yGain,
                  double yOffset, double initialX, double xIncrement, double xMin, double xMax,
                  double yMin, double yMax, int colour);
// Ends the live trace: the plots are shown again, against the axes they had
// before it; drawn before the call returns. PlotWaveform, DeleteGraphPlot and
// SetAxisScalingMode end it first as well. Returns 0 (also without a live trace).
int ClearLiveTrace(int panel, int control);

// ---- Popups -----------------------------------------------------------------
// Modal message box; returns when the operator dismisses it.
int MessagePopup(const char *title, const char *message);

// ---- Choosing an instrument -------------------------------------------------
// Links of InstrumentChoice.
enum {
    INSTRUMENT_GPIB = 0,  // GPIB board 0, a primary address
    INSTRUMENT_LAN = 1,   // a raw SCPI socket: host and port
    INSTRUMENT_USB = 2,   // a USB test-and-measurement device file (/dev/usbtmc*)
};
#define GPIB_PRIMARY_ADDRESS_MAX 30

typedef struct {
    int link;          // INSTRUMENT_GPIB, INSTRUMENT_LAN or INSTRUMENT_USB
    int gpibAddress;   // GPIB: primary address, 0 to 30
    char host[256];    // LAN: a host name, an IPv4 or an IPv6 address
    int port;          // LAN: 1 to 65535
    char device[256];  // USB: the device file
} InstrumentChoice;

// What the dialog's Test and Use buttons call with the checked choice: writes
// what to tell the operator into `message` (a NUL-terminated text of at most
// messageSize bytes) and returns 1 when the action succeeded, 0 when it did not.
typedef int (*InstrumentActionCallback)(const InstrumentChoice *choice, char *message,
                                        int messageSize);

// Modal dialog "title" in which the operator chooses an instrument: GPIB (board
// 0, primary address), LAN (host, port) or USB (one of the /dev/usbtmc* devices
// present); `choice` gives what it shows first, `note` (may be empty) a text
// above the fields. Test calls `test` and shows its message; Use calls `use`
// and closes the dialog when it succeeded, else shows its message. Input that
// names no instrument (an empty host, a port that is not a number from 1 to
// 65535, a device that is gone) is told in the dialog and handed to neither.
// Returns 1 after a successful Use, with *choice the instrument chosen, and 0
// when the operator cancelled (Cancel, Escape, the close box).
int InstrumentChoicePopup(const char *title, const char *note, InstrumentChoice *choice,
                          InstrumentActionCallback test, InstrumentActionCallback use);
