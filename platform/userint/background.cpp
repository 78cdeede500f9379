// SPDX-License-Identifier: GPL-3.0-or-later
// Work that outlasts a moment (RunInBackground, RunOnBackgroundThread): the
// work runs on the program's background thread while the main thread keeps the
// panels alive, or waits.
//
// Why a thread rather than handling events between the work's steps: the
// time one event takes cannot be bounded from outside. A repaint of a graph
// after a resize costs milliseconds, more than a sample period of a board
// polled at 0.5 kHz, and such a board holds one result only, so a sample
// would be lost to every resize. On a thread of its own the work polls
// undisturbed while the main thread repaints, and it sees a stop request at
// its next check instead of after the event in progress.
//
// One thread, made once (StartBackgroundThread, at start-up) and blocked on a
// condition variable between works, so that a capture of 10 ms pays no thread
// start. Where the system allows it, it runs under SCHED_FIFO: on a computer
// busy with other work, an ordinary thread loses its core to them for
// milliseconds at a time, and the board's one result is overwritten meanwhile.
// The policy can only be taken while the program holds CAP_SYS_NICE (or has an
// RLIMIT_RTPRIO), and the program drops its capabilities at start-up: so the
// thread is made before that, takes its policy, and then drops the
// capabilities it inherited itself (capability sets belong to each thread).
//
// While a work runs under RunInBackground, the main thread waits in a nested
// event loop: windows repaint and follow resizes, and the operator's events
// reach their callbacks at once (nested inside the callback that called
// RunInBackground), so that a Stop button, Quit or the close box can end the
// work. A progress callback, if given, runs on the main thread every 100 ms.
// The work is told of a stop request through BackgroundStopRequested, one
// atomic load, and BackgroundPause ends at once when one comes.
#include <linux/capability.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "userint.h"
#include "userint_internal.h"

using namespace userint_internal;

// The bounds of the executable's image, from the linker: its code, data and
// zero-initialised data lie between them.
extern "C" char __executable_start;
extern "C" char end;

namespace {

constexpr int kProgressInterval_ms = 100;
// Stack the works may use without a page fault (bytes): a capture's frames take
// a few hundred bytes; a sanitizer build's take more.
constexpr size_t kStackReserve = 256 * 1024;

enum class ThreadState { None, Ready, Unavailable };

// Everything the two threads share. Made once and never destroyed: the thread
// waits on it until the process ends, static destructors included.
struct Worker {
    std::mutex mutex;
    std::condition_variable changed;  // a work handed over, a work done, the thread ready
    ThreadState state = ThreadState::None;
    pid_t tid = 0;        // the thread's kernel id
    std::string refusal;  // why the real-time policy was not had
    int askedPriority = 0;

    BackgroundWorkPtr work = nullptr;  // the work handed over, until the thread takes it
    void *workData = nullptr;
    bool done = false;  // the work taken has returned
    int result = 0;
    QEventLoop *loop = nullptr;  // the nested loop to end when it has

    std::mutex pauseMutex;
    std::condition_variable pauseEnds;  // a stop request during BackgroundPause
};

Worker *new_worker();

Worker *&worker_slot() {
    static Worker *instance = new_worker();
    return instance;
}

Worker &worker() { return *worker_slot(); }

// A child made by fork has no background thread, whatever its parent had: it
// starts from nothing (the parent's bookkeeping may even be locked).
void forget_worker_in_child() { worker_slot() = new Worker; }

Worker *new_worker() {
    pthread_atfork(nullptr, nullptr, forget_worker_in_child);
    return new Worker;
}

std::atomic<bool> stopRequested{false};
bool running = false;  // main thread only

// Takes SCHED_FIFO at `priority` for the calling thread; on failure says why.
// Threads the works make (a port library's helper, say) start with the normal
// policy: SCHED_RESET_ON_FORK, since they have no reason to keep others off a core.
bool take_realtime_policy(int priority, std::string *why) {
    sched_param param{};
    param.sched_priority = priority;
    const int error =
        sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &param) == 0 ? 0 : errno;
    if (error == 0) return true;
    if (error == EPERM) {
        rlimit limit{};
        getrlimit(RLIMIT_RTPRIO, &limit);
        *why =
            "the program has neither the capability CAP_SYS_NICE nor a real-time limit "
            "(RLIMIT_RTPRIO) of " +
            std::to_string(priority) + " or more (it has " + std::to_string(limit.rlim_cur) + ")";
    } else {
        *why = std::string("the system refused the real-time policy: ") + std::strerror(error);
    }
    return false;
}

// Touches the stack the works will use and locks it; what cannot be locked has
// at least been brought into memory.
[[gnu::noinline]] void keep_stack_resident() {
    volatile unsigned char reserve[kStackReserve];
    for (size_t i = 0; i < kStackReserve; i += 4096) reserve[i] = 0;
    mlock(const_cast<unsigned char *>(reserve), kStackReserve);
}

// Locks every mapping of the executable's image: the code that polls, the port
// layer's state and the program's arrays. Mappings are locked one by one, since
// a gap between them would end one call over the whole range. Those that
// cannot be locked (RLIMIT_MEMLOCK) are read page by page, so that they are in
// memory at least until the system needs the room.
void keep_image_resident() {
    const auto first = reinterpret_cast<uintptr_t>(&__executable_start);
    const auto last = reinterpret_cast<uintptr_t>(&end);
    FILE *maps = std::fopen("/proc/self/maps", "re");
    if (maps == nullptr) return;
    char line[512];
    while (std::fgets(line, sizeof line, maps) != nullptr) {
        unsigned long from = 0;
        unsigned long to = 0;
        char perms[5] = "";
        if (std::sscanf(line, "%lx-%lx %4s", &from, &to, perms) != 3) continue;
        if (to <= first || from >= last || perms[0] != 'r') continue;
        auto *start = reinterpret_cast<char *>(from);
        if (mlock(start, to - from) == 0) continue;
        for (unsigned long page = from; page < to; page += 4096)
            (void)*reinterpret_cast<volatile const char *>(page);
    }
    std::fclose(maps);
}

// Drops every capability of the calling thread, which it inherited from the
// thread that made it: ambient, bounding (where CAP_SETPCAP allows; without it
// nothing can be gained once the permitted set is empty), then effective,
// permitted and inheritable.
void drop_thread_capabilities() {
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    for (int cap = 0; prctl(PR_CAPBSET_READ, cap, 0, 0, 0) >= 0; ++cap)
        prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capset, &header, none) != 0) {
        std::fprintf(stderr,
                     "RunInBackground: the background thread could not drop its capabilities "
                     "(%s): do not run the program as root\n",
                     std::strerror(errno));
        std::fflush(stderr);
    }
}

void thread_main(int priority) {
    Worker &w = worker();
    std::string why;
    pthread_setname_np(pthread_self(), "background");
    const pid_t tid = gettid();
    if (priority > 0 && !take_realtime_policy(priority, &why)) {
        std::lock_guard<std::mutex> lock(w.mutex);
        w.refusal = why;
    }
    keep_stack_resident();
    keep_image_resident();
    drop_thread_capabilities();
    std::unique_lock<std::mutex> lock(w.mutex);
    w.tid = tid;
    w.state = ThreadState::Ready;
    w.changed.notify_all();
    for (;;) {
        w.changed.wait(lock, [&] { return w.work != nullptr; });
        const BackgroundWorkPtr work = w.work;
        void *data = w.workData;
        w.work = nullptr;
        lock.unlock();
        const int result = work(data);
        lock.lock();
        w.result = result;
        w.done = true;
        if (w.loop != nullptr)
            QMetaObject::invokeMethod(
                w.loop, [loop = w.loop] { loop->quit(); }, Qt::QueuedConnection);
        w.changed.notify_all();
    }
}

// Makes the thread if there is none yet; false when none can be made.
bool start_thread(int priority) {
    Worker &w = worker();
    std::unique_lock<std::mutex> lock(w.mutex);
    if (w.state != ThreadState::None) return w.state == ThreadState::Ready;
    w.askedPriority = priority;
    try {
        std::thread(thread_main, priority).detach();
    } catch (const std::system_error &e) {
        w.state = ThreadState::Unavailable;
        std::fprintf(stderr,
                     "RunInBackground: no background thread could be made (%s); work runs "
                     "with the panels waiting\n",
                     e.what());
        std::fflush(stderr);
        return false;
    }
    w.changed.wait(lock, [&] { return w.state == ThreadState::Ready; });
    return true;
}

// Hands the work to the thread; `loop` (or null) is quit when it has returned.
void hand_over(BackgroundWorkPtr work, void *workData, QEventLoop *loop) {
    Worker &w = worker();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.work = work;
    w.workData = workData;
    w.done = false;
    w.loop = loop;
    w.changed.notify_all();
}

// Waits until the work handed over has returned; its result.
int wait_for_result() {
    Worker &w = worker();
    std::unique_lock<std::mutex> lock(w.mutex);
    w.changed.wait(lock, [&] { return w.done; });
    w.loop = nullptr;
    return w.result;
}

int refuse_start(const char *function, BackgroundWorkPtr work) {
    if (!work)
        return report(function, 0, 0, UIE_BAD_ARGUMENT,
                      QStringLiteral("no work function was given"));
    if (running)
        return report(function, 0, 0, UIE_BUSY,
                      QStringLiteral("background work is already running; one runs at a time"));
    return 0;
}

// What both ways of running work share: refused as refuse_start says, marked
// running with no stop requested while it lasts, and done on the caller's
// thread when no background thread starts; otherwise `on_thread` hands the work
// over and returns its result.
template <class OnThread>
int run_work(const char *routine, BackgroundWorkPtr work, void *workData, OnThread on_thread) {
    if (const int refused = refuse_start(routine, work)) return refused;
    running = true;
    stopRequested.store(false);
    const int result = start_thread(0) ? on_thread() : work(workData);
    running = false;
    stopRequested.store(false);
    return result;
}

}  // namespace

int StartBackgroundThread(int realtimePriority) {
    {
        Worker &w = worker();
        std::lock_guard<std::mutex> lock(w.mutex);
        if (w.state != ThreadState::None) return UIE_BUSY;
    }
    if (realtimePriority < 0 || realtimePriority > 99) realtimePriority = 0;
    if (!start_thread(realtimePriority)) return UIE_BUSY;
    return BackgroundThreadRealtime();
}

int BackgroundThreadRealtime(void) {
    Worker &w = worker();
    std::lock_guard<std::mutex> lock(w.mutex);
    if (w.state != ThreadState::Ready) return 0;
    const int policy = sched_getscheduler(w.tid) & ~SCHED_RESET_ON_FORK;
    return policy == SCHED_FIFO || policy == SCHED_RR ? 1 : 0;
}

const char *BackgroundRealtimeRefusal(void) {
    Worker &w = worker();
    std::lock_guard<std::mutex> lock(w.mutex);
    return w.refusal.c_str();
}

int RunInBackground(BackgroundWorkPtr work, void *workData, BackgroundProgressPtr progress) {
    return run_work("RunInBackground", work, workData, [&] {
        QEventLoop loop;
        QTimer ticker;
        if (progress) {
            QObject::connect(&ticker, &QTimer::timeout, [&] { progress(workData); });
            ticker.start(kProgressInterval_ms);
        }
        hand_over(work, workData, &loop);
        // The thread ends the loop once the work has returned, by an event that
        // this loop delivers: so the loop runs until then even when the work
        // returned before it started.
        const int held = open_callbacks();
        loop.exec();
        restore_callbacks(held);
        ticker.stop();
        return wait_for_result();
    });
}

int RunOnBackgroundThread(BackgroundWorkPtr work, void *workData) {
    return run_work("RunOnBackgroundThread", work, workData, [&] {
        hand_over(work, workData, nullptr);
        return wait_for_result();
    });
}

int RequestBackgroundStop(void) {
    if (!running) return 0;
    Worker &w = worker();
    {
        std::lock_guard<std::mutex> lock(w.pauseMutex);
        stopRequested.store(true);
    }
    w.pauseEnds.notify_all();
    return 0;
}

int BackgroundStopRequested(void) { return stopRequested.load(std::memory_order_relaxed) ? 1 : 0; }

int BackgroundPause(double seconds) {
    if (seconds > 0) {
        Worker &w = worker();
        std::unique_lock<std::mutex> lock(w.pauseMutex);
        w.pauseEnds.wait_for(lock, std::chrono::duration<double>(seconds),
                             [] { return stopRequested.load(); });
    }
    return BackgroundStopRequested();
}
