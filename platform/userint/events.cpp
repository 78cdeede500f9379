// SPDX-License-Identifier: GPL-3.0-or-later
// Callbacks and events: the program's callback table, the queue that delivers
// one event at a time to its callback, the panel windows' own events (focus,
// close box) and the event loop (RunUserInterface, QuitUserInterface).
//
// Callbacks run synchronously on the main thread, one at a time: an event that
// arrives while a callback runs (e.g. the window losing focus to a popup) waits
// until the callback has returned. The exception is a callback that waits for
// background work (background.cpp): events then reach their callbacks at once. Panels bind their
// callbacks by name from this table when they are loaded (panels.cpp).
#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <vector>

#include "userint.h"
#include "userint_internal.h"

using namespace userint_internal;

namespace {

// ---- Callback table ------------------------------------------------------------

std::vector<CallbackEntry> &callback_table() {
    static std::vector<CallbackEntry> table;
    return table;
}

// ---- Event queue and loop state ----------------------------------------------------

struct PendingEvent {
    int panel;
    int control;  // 0: the panel callback
    int event;
};
int callbackDepth = 0;
std::deque<PendingEvent> pendingEvents;

std::vector<QEventLoop *> runningLoops;
bool quitRequested = false;
int quitCode = 0;

// A test's script for the next loop (userint_testing::run_in_event_loop).
std::function<void()> loopScript;

struct CallbackScope {
    CallbackScope() {
        ++callbackDepth;
        clear_vector_upper_state();
    }
    ~CallbackScope() { --callbackDepth; }
};

void deliver(const PendingEvent &e) {
    Panel *p = find_panel(e.panel);
    if (!p) return;
    if (e.control == 0) {
        if (p->callback) {
            CallbackScope scope;
            p->callback(e.panel, e.event, nullptr, 0, 0);
        }
        return;
    }
    const auto it = p->controls.find(e.control);
    if (it == p->controls.end() || !it->second.callback) return;
    CallbackScope scope;
    it->second.callback(e.panel, e.control, e.event, nullptr, 0, 0);
}

// ---- Panel window: focus and close box ---------------------------------------

class PanelWatcher : public QObject {
public:
    PanelWatcher(int handle, QObject *parent) : QObject(parent), handle(handle) {}

protected:
    bool eventFilter(QObject *watched, QEvent *e) override {
        if (watched != parent()) return false;
        switch (e->type()) {
            case QEvent::WindowActivate:
                dispatch(handle, 0, EVENT_GOT_FOCUS);
                break;
            case QEvent::WindowDeactivate:
                dispatch(handle, 0, EVENT_LOST_FOCUS);
                break;
            case QEvent::Close: {
                // The close box never closes the panel by itself: the program
                // decides, through its panel callback or its close control.
                e->ignore();
                const Panel *p = find_panel(handle);
                const int closeControl = p ? p->closeControlId : 0;
                dispatch(handle, 0, EVENT_CLOSE);
                if (closeControl) dispatch(handle, closeControl, EVENT_COMMIT);
                return true;
            }
            default:
                break;
        }
        return false;
    }

private:
    int handle;
};

}  // namespace

namespace userint_internal {

CtrlCallbackPtr control_callback_named(const QString &name) {
    const QByteArray key = name.toUtf8();
    for (const CallbackEntry &e : callback_table())
        if (e.control && key == e.name) return e.control;
    return nullptr;
}

PanelCallbackPtr panel_callback_named(const QString &name) {
    const QByteArray key = name.toUtf8();
    for (const CallbackEntry &e : callback_table())
        if (e.panel && key == e.name) return e.panel;
    return nullptr;
}

// Qt's vectorised drawing code can return with the upper halves of the AVX
// registers still in use. Until they are cleared, the SSE arithmetic of the
// programs' own code waits on them at every instruction: the generator's 3600
// sines took 20 times as long right after a graph redraw. Run-time calls that
// draw, and every callback, clear them before program code runs.
void clear_vector_upper_state() {
#if defined(__x86_64__) || defined(__i386__)
    static const bool avx = __builtin_cpu_supports("avx");
    if (avx) __asm__ volatile("vzeroupper");
#endif
}

// Queues the event and, unless a callback is running, delivers everything
// queued. Events left when the program has asked to quit are dropped: the
// loop ends after the current callback, as the program expects.
void dispatch(int panel, int control, int event) {
    pendingEvents.push_back({panel, control, event});
    if (callbackDepth > 0) return;
    while (!pendingEvents.empty()) {
        if (quitRequested && !runningLoops.empty()) {
            pendingEvents.clear();
            return;
        }
        const PendingEvent e = pendingEvents.front();
        pendingEvents.pop_front();
        deliver(e);
    }
}

void watch_panel_window(int panel, QWidget *window) {
    window->installEventFilter(new PanelWatcher(panel, window));
}

bool in_callback() { return callbackDepth > 0; }

void drop_events_of(int panel) {
    std::erase_if(pendingEvents, [panel](const PendingEvent &e) { return e.panel == panel; });
}

void script_next_loop(std::function<void()> script) { loopScript = std::move(script); }

int open_callbacks() {
    const int held = callbackDepth;
    callbackDepth = 0;
    return held;
}

void restore_callbacks(int held) { callbackDepth = held; }

}  // namespace userint_internal

// ---- Public interface ----------------------------------------------------------------

CallbackRegistration::CallbackRegistration(std::initializer_list<CallbackEntry> entries) {
    for (const CallbackEntry &e : entries) {
        for (const CallbackEntry &known : callback_table())
            if (!std::strcmp(known.name, e.name) &&
                ((e.control && known.control && e.control != known.control) ||
                 (e.panel && known.panel && e.panel != known.panel)))
                std::fprintf(stderr,
                             "CallbackRegistration: callback '%s' is registered twice with "
                             "different functions; "
                             "panels bind the first\n",
                             e.name);
        callback_table().push_back(e);
    }
}

int RunUserInterface(void) {
    if (!started())
        return report("RunUserInterface", 0, 0, UIE_NOT_INITIALISED,
                      QStringLiteral("the GUI run-time is not initialised (InitCVIRTE)"));
    if (quitRequested && runningLoops.empty()) {
        quitRequested = false;
        return quitCode;
    }
    QEventLoop loop;
    runningLoops.push_back(&loop);
    if (loopScript) {
        QTimer::singleShot(0, &loop, [script = std::move(loopScript)] {
            QCoreApplication::processEvents();
            script();
            if (!quitRequested) {
                std::fprintf(
                    stderr,
                    "run_in_event_loop: the script returned without ending the event loop; "
                    "ending it\n");
                QuitUserInterface(0);
            }
        });
        loopScript = nullptr;
    }
    loop.exec();
    runningLoops.pop_back();
    quitRequested = false;
    pendingEvents.clear();
    return quitCode;
}

int QuitUserInterface(int returnCode) {
    quitCode = returnCode;
    quitRequested = true;
    // Work in the background ends first; the loop then ends after the callback that waits for it.
    RequestBackgroundStop();
    if (!runningLoops.empty()) runningLoops.back()->exit(returnCode);
    return 0;
}
