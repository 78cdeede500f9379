// SPDX-License-Identifier: GPL-3.0-or-later
// Work in the background (RunInBackground, RunOnBackgroundThread): it runs on the
// one background thread while the panel of bench.uir answers the operator, or
// waits, and it stops when asked, by a callback or by QuitUserInterface. The
// thread takes the real-time policy where the process may, and keeps no
// capability. Runs offscreen; each case in a process of its own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ostream>
#include <set>
#include <thread>

#include "process_threads.h"
#include "userint.h"
#include "userint_testing.h"

namespace {

enum { PANEL = 1, RUN = 4, QUIT = 6 };

std::atomic<int> runCommits = 0;
int onCommit(int, int control, int event, void *, int, int) {
    if (control == RUN && event == EVENT_COMMIT) {
        ++runCommits;
        RequestBackgroundStop();
    }
    return 0;
}
int onQuit(int, int, int event, void *, int, int) {
    if (event == EVENT_COMMIT) QuitUserInterface(0);
    return 0;
}
int onPanel(int, int, void *, int, int) { return 0; }
const CallbackRegistration callbacks{
    {"onCommit", onCommit}, {"onQuit", onQuit}, {"onPanel", onPanel}};

// Polls for a stop as a capture does, for at most 20 s; notes its thread.
std::atomic<std::thread::id> workThread;
int poll_until_stopped(void *) {
    workThread = std::this_thread::get_id();
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!BackgroundStopRequested())
        if (std::chrono::steady_clock::now() > until) return -1;
    return 42;
}
int progressCalls = 0;
void count_progress(void *) { ++progressCalls; }
int current_thread(void *) { return static_cast<int>(gettid()); }

class Background : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(LoadPanel(0, "bench.uir", PANEL), PANEL);
        DisplayPanel(PANEL);
        runCommits = progressCalls = 0;
    }
    void TearDown() override { DiscardPanel(PANEL); }
    static void click(int id) {
        QTest::mouseClick(userint_testing::control_widget(PANEL, id), Qt::LeftButton);
    }
};

TEST_F(Background, WorkRunsApartWhileTheOperatorsClickReachesItsCallback) {
    int nested = 0;
    QTimer::singleShot(250, [&] {
        nested = RunInBackground(poll_until_stopped, nullptr, nullptr);
        click(RUN);  // its callback asks the work to stop
    });
    EXPECT_EQ(RunInBackground(poll_until_stopped, nullptr, count_progress), 42);
    EXPECT_NE(workThread.load(), std::this_thread::get_id());
    EXPECT_EQ(runCommits, 1) << "the click reached its callback while the work ran";
    EXPECT_EQ(nested, UIE_BUSY) << "one background work at a time";
    EXPECT_GE(progressCalls, 1);
}

TEST_F(Background, QuitStopsTheWorkAndEndsTheLoopAfterIt) {
    int result = 0;
    userint_testing::run_in_event_loop([&] {
        QTimer::singleShot(100, [] { click(QUIT); });
        result = RunInBackground(poll_until_stopped, nullptr, nullptr);
    });
    EXPECT_EQ(RunUserInterface(), 0);
    EXPECT_EQ(result, 42);
}

TEST_F(Background, AStopAskedBetweenWorksIsForgotten) {
    RequestBackgroundStop();
    EXPECT_EQ(RunInBackground([](void *) { return BackgroundStopRequested(); }, nullptr, nullptr),
              0);
    EXPECT_EQ(RunInBackground(nullptr, nullptr, nullptr), UIE_BAD_ARGUMENT);
}

TEST_F(Background, EveryWorkRunsOnOneThreadThatWaitsBlockedBetweenWorks) {
    std::set<int> threads;
    for (int i = 0; i < 3; i++) {
        threads.insert(RunInBackground(current_thread, nullptr, nullptr));
        threads.insert(RunOnBackgroundThread(current_thread, nullptr));
    }
    ASSERT_EQ(threads.size(), 1u) << "every work on the same thread";
    const int tid = *threads.begin();
    EXPECT_NE(tid, static_cast<int>(gettid()));
    test_support::ThreadFacts facts = test_support::thread_facts(tid);
    for (int wait = 0; wait < 500 && facts.state != 'S'; wait++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        facts = test_support::thread_facts(tid);
    }
    EXPECT_EQ(facts.name, "background");
    EXPECT_EQ(facts.state, 'S') << "between works the thread sleeps rather than polls";
}

TEST_F(Background, RunOnBackgroundThreadHoldsTheOperatorsEventsUntilTheWorkReturns) {
    QTimer::singleShot(0, [] { click(RUN); });
    const int commitsDuringWork = RunOnBackgroundThread(
        [](void *) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            return runCommits.load();
        },
        nullptr);
    EXPECT_EQ(commitsDuringWork, 0) << "no event reached a callback while the work ran";
    for (int wait = 0; wait < 100 && runCommits == 0; wait++) QTest::qWait(20);
    EXPECT_EQ(runCommits, 1) << "the click is delivered afterwards";
}

// A work that pauses for a minute ends as soon as the operator stops it.
TEST_F(Background, APauseEndsWhenAStopIsAsked) {
    using Clock = std::chrono::steady_clock;
    QTimer::singleShot(100, [] { click(RUN); });
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(RunInBackground([](void *) { return BackgroundPause(60.0); }, nullptr, nullptr), 1);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(30)) << "the pause did not see the stop";
    EXPECT_EQ(RunOnBackgroundThread([](void *) { return BackgroundPause(0.01); }, nullptr), 0)
        << "a pause that nobody stops ends after its time";
}

// ---- The thread's policy and privileges ---------------------------------------------

constexpr int kSysNice = 23;  // CAP_SYS_NICE

// The calling thread's effective and permitted capability sets, low word first.
struct Capabilities {
    __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3]{};
    bool has(int cap) const { return (sets[cap / 32].effective >> (cap % 32)) & 1; }
};
Capabilities own_capabilities() {
    Capabilities c;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    syscall(SYS_capget, &header, c.sets);
    return c;
}
void drop_own_capability(int cap) {
    Capabilities c = own_capabilities();
    c.sets[cap / 32].effective &= ~(1u << (cap % 32));
    c.sets[cap / 32].permitted &= ~(1u << (cap % 32));
    c.sets[cap / 32].inheritable &= ~(1u << (cap % 32));
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    syscall(SYS_capset, &header, c.sets);
}

struct PolicyCase {
    const char *what;
    bool keepSysNice;      // the process holds CAP_SYS_NICE
    rlim_t realtimeLimit;  // its RLIMIT_RTPRIO
    bool realtime;         // the background thread gets SCHED_FIFO 50
};

void PrintTo(const PolicyCase &c, std::ostream *os) { *os << c.what; }

class BackgroundThreadPolicy : public testing::TestWithParam<PolicyCase> {};

// The thread made at start-up takes the real-time policy with either of the two
// permissions, and runs with the normal one without; in every case it keeps no
// capability of the thread that made it, and the main thread keeps its policy.
// Setting up the cases needs root (CAP_SYS_NICE to begin with, CAP_SYS_RESOURCE to
// raise the real-time limit).
TEST_P(BackgroundThreadPolicy, TakesTheRealTimePolicyWhereAllowedAndKeepsNoCapability) {
    const PolicyCase c = GetParam();
    if (!own_capabilities().has(kSysNice))
        GTEST_SKIP() << "this test runs without CAP_SYS_NICE (not as root): the cases cannot "
                        "be set up";
    const rlimit limit{c.realtimeLimit, c.realtimeLimit};
    if (setrlimit(RLIMIT_RTPRIO, &limit) != 0)
        GTEST_SKIP() << "the real-time limit cannot be set to " << c.realtimeLimit;
    if (!c.keepSysNice) drop_own_capability(kSysNice);

    EXPECT_EQ(StartBackgroundThread(BACKGROUND_REALTIME_PRIORITY), c.realtime ? 1 : 0);
    EXPECT_EQ(BackgroundThreadRealtime(), c.realtime ? 1 : 0);
    const test_support::ThreadFacts thread = test_support::thread_named("background");
    ASSERT_NE(thread.tid, 0) << "no thread is named background";
    EXPECT_EQ(thread.policy, c.realtime ? SCHED_FIFO : SCHED_OTHER);
    if (c.realtime) {
        EXPECT_EQ(thread.priority, BACKGROUND_REALTIME_PRIORITY);
    }
    EXPECT_EQ(thread.effective, 0u);
    EXPECT_EQ(thread.permitted, 0u);
    EXPECT_EQ(sched_getscheduler(0), SCHED_OTHER) << "the main thread keeps the normal policy";
    if (c.realtime) {
        EXPECT_STREQ(BackgroundRealtimeRefusal(), "");
    } else {
        EXPECT_THAT(BackgroundRealtimeRefusal(),
                    testing::AllOf(testing::HasSubstr("CAP_SYS_NICE"),
                                   testing::HasSubstr("RLIMIT_RTPRIO")));
    }
    EXPECT_EQ(RunOnBackgroundThread(current_thread, nullptr), thread.tid)
        << "the works run on the thread made at start-up";
    const int madeByWork = RunOnBackgroundThread(
        [](void *) {
            int policy = -1;
            std::thread([&] { policy = sched_getscheduler(0); }).join();
            return policy;
        },
        nullptr);
    EXPECT_EQ(madeByWork, SCHED_OTHER) << "a thread that a work makes runs with the normal policy";
    EXPECT_EQ(StartBackgroundThread(BACKGROUND_REALTIME_PRIORITY), UIE_BUSY);
}

INSTANTIATE_TEST_SUITE_P(Permissions, BackgroundThreadPolicy,
                         testing::Values(PolicyCase{"CapSysNice", true, 0, true},
                                         PolicyCase{"RealtimeLimit50", false, 50, true},
                                         PolicyCase{"RealtimeLimitTooLow", false, 10, false},
                                         PolicyCase{"Neither", false, 0, false}),
                         [](const testing::TestParamInfo<PolicyCase> &info) {
                             return std::string(info.param.what);
                         });

}  // namespace
