// SPDX-License-Identifier: GPL-3.0-or-later
// Work that outlasts a moment (RunInBackground): the work runs on a thread of
// its own while the main thread keeps the panels alive.
//
// Why a thread rather than handling events between the work's steps: the
// time one event takes cannot be bounded from outside. A repaint of a graph
// after a resize costs milliseconds, more than a sample period of a board
// polled at 0.5 kHz, and such a board holds one result only, so a sample
// would be lost to every resize. On a thread of its own the work polls
// undisturbed while the main thread repaints, and it sees a stop request at
// its next check instead of after the event in progress.
//
// While the work runs, the main thread waits in a nested event loop: windows
// repaint and follow resizes, and the operator's events reach their callbacks
// at once (nested inside the callback that called RunInBackground), so that a
// Stop button, Quit or the close box can end the work. A progress callback, if
// given, runs on the main thread every 100 ms. The work is told of a stop
// request through BackgroundStopRequested, one atomic load.
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <atomic>
#include <cstdio>
#include <system_error>
#include <thread>

#include "userint.h"
#include "userint_internal.h"

using namespace userint_internal;

namespace {

constexpr int kProgressInterval_ms = 100;

std::atomic<bool> stopRequested{false};
bool running = false;

}  // namespace

int RunInBackground(BackgroundWorkPtr work, void *workData, BackgroundProgressPtr progress) {
    if (!work)
        return report("RunInBackground", 0, 0, UIE_BAD_ARGUMENT,
                      QStringLiteral("no work function was given"));
    if (running)
        return report("RunInBackground", 0, 0, UIE_BUSY,
                      QStringLiteral("background work is already running; one runs at a time"));
    running = true;
    stopRequested.store(false);
    int result = 0;
    std::atomic<bool> finished{false};
    QEventLoop loop;
    std::thread worker;
    try {
        worker = std::thread([&] {
            result = work(workData);
            finished.store(true);
            QMetaObject::invokeMethod(
                &loop, [&loop] { loop.quit(); }, Qt::QueuedConnection);
        });
    } catch (const std::system_error &e) {
        std::fprintf(stderr,
                     "RunInBackground: no thread could be started (%s); the work runs with the "
                     "panels waiting\n",
                     e.what());
        result = work(workData);
        finished.store(true);
    }
    if (!finished.load()) {
        QTimer ticker;
        if (progress) {
            QObject::connect(&ticker, &QTimer::timeout, [&] {
                if (!finished.load()) progress(workData);
            });
            ticker.start(kProgressInterval_ms);
        }
        const int held = open_callbacks();
        loop.exec();
        restore_callbacks(held);
    }
    // The worker may still be posting its quit: the loop must outlive that.
    if (worker.joinable()) worker.join();
    running = false;
    stopRequested.store(false);
    return result;
}

int RequestBackgroundStop(void) {
    if (running) stopRequested.store(true);
    return 0;
}

int BackgroundStopRequested(void) { return stopRequested.load(std::memory_order_relaxed) ? 1 : 0; }
