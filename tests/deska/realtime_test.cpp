// SPDX-License-Identifier: GPL-3.0-or-later
// deska's capture thread as the computer allows it: started by
// deska_privilege_launcher as root, as root without CAP_SYS_NICE, or as the user
// nobody with or without a real-time limit, each case checks what the launcher
// says the thread should have (DESKA_EXPECT_REALTIME). The thread takes real-time
// priority before the capabilities are dropped and keeps it; once the window is up
// no thread holds a capability; every capture polls on that thread; the status line
// says that samples were lost without real-time priority only when it was missing;
// and a capture pinned to one core leaves the window alive and stops when told.
// The scripted board behind the port layer records which thread read it.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sched.h>

#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>

#include "deska_harness.h"
#include "process_threads.h"
#include "scripted_port.h"

namespace {

using namespace deska_operator;
using test_support::ThreadFacts;

constexpr char WithoutRealtime[] =
    "; deska runs without real-time priority (see the README, A real measurement board)";

// 1 or 0 as the launcher says; -1 when the test was started without it.
int expectedRealtime() {
    const char *expected = std::getenv("DESKA_EXPECT_REALTIME");
    return expected != nullptr ? std::atoi(expected) : -1;
}

#define SKIP_WITHOUT_LAUNCHER()                                                             \
    if (expectedRealtime() < 0)                                                             \
    GTEST_SKIP() << "starts through deska_privilege_launcher (ctest does), which sets the " \
                    "privileges and DESKA_EXPECT_REALTIME"

TEST(DeskaRealtime, CaptureThreadHasThePolicyAllowedAndNoThreadKeepsACapability) {
    SKIP_WITHOUT_LAUNCHER();
    const bool realtime = expectedRealtime() == 1;
    int status = runDeska([&] {
        const ThreadFacts capture = test_support::thread_named("background");
        ASSERT_NE(capture.tid, 0) << "deska made no capture thread at start-up";
        EXPECT_EQ(capture.resetOnFork, realtime) << "threads it makes would be real-time too";
        EXPECT_EQ(capture.policy, realtime ? SCHED_FIFO : SCHED_OTHER);
        if (realtime) {
            EXPECT_EQ(capture.priority, 50);
        }
        for (const ThreadFacts &t : test_support::process_threads()) {
            EXPECT_EQ(t.effective, 0u) << "thread " << t.name << " holds capabilities";
            EXPECT_EQ(t.permitted, 0u) << "thread " << t.name << " may take capabilities";
            if (t.tid != capture.tid) {
                EXPECT_EQ(t.policy, SCHED_OTHER) << "thread " << t.name;
            }
        }
        // A short capture (0.1 s) and a long one (1 s, on the unpaced board at once).
        for (const char *kHz : {"10", "1"}) {
            typeFrequency(kHz);
            clickRun();
            EXPECT_EQ(statusText(), "1000 samples, none lost");
            EXPECT_EQ(scripted_port::lastSampleReader(), capture.tid)
                << "the capture at " << kHz << " kHz did not poll on the capture thread";
        }
    });
    EXPECT_EQ(status, 0);
}

// The board paces its results at 1 kHz and skips twelve, as one does whose results
// were overwritten before the program read them.
TEST(DeskaRealtime, LostSamplesLineSaysWhetherRealTimePriorityWasMissing) {
    SKIP_WITHOUT_LAUNCHER();
    const bool realtime = expectedRealtime() == 1;
    int status = runDeska([&] {
        const double period_ms = 1.0;
        clickRun();
        EXPECT_EQ(statusText(), "1000 samples, none lost") << "nothing lost, nothing to explain";
        scripted_port::pace(period_ms, 500, 12);
        if (!runCaptureReadOnTime(period_ms))
            GTEST_SKIP() << "the machine is too busy to read a 1 kHz board on time (late by "
                         << scripted_port::readLateness_ms() << " ms)";
        EXPECT_THAT(statusText(), testing::HasSubstr("about 12 conversions were lost"));
        if (realtime)
            EXPECT_THAT(statusText(), testing::EndsWith("the RMS and the graph may be distorted"));
        else
            EXPECT_THAT(statusText(),
                        testing::EndsWith(std::string("may be distorted") + WithoutRealtime));
        scripted_port::pace(0);
    });
    EXPECT_EQ(status, 0);
}

// Every thread of the process on the core the main thread runs on, as `taskset -c`
// would have started it; threads made later inherit it.
void pinToOneCore() {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    for (const ThreadFacts &t : test_support::process_threads())
        sched_setaffinity(t.tid, sizeof one, &one);
}

// A capture at 0.01 kHz (a conversion every 100 ms, 100 s in all) with the whole
// program on one core: a capture thread that polled throughout at real-time priority
// would leave the window 5 % of the core, in one piece at the end of every second.
// The window's timer must keep ticking and Stop must end the capture before the
// board has delivered ten samples.
TEST(DeskaRealtime, CapturePinnedToOneCoreLeavesTheWindowAliveAndStops) {
    SKIP_WITHOUT_LAUNCHER();
    using Clock = std::chrono::steady_clock;
    int status = runDeska([] {
        pinToOneCore();
        typeFrequency("0.01");
        scripted_port::pace(100.0);
        // If the capture were not stopped, the board would fall silent after 30 samples.
        scripted_port::answerSamples(30);
        Clock::time_point lastTick = Clock::now();
        Clock::duration longestGap{};
        int ticks = 0;
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            const Clock::time_point now = Clock::now();
            longestGap = std::max(longestGap, now - lastTick);
            lastTick = now;
            ++ticks;
        });
        ticker.start(10);
        QTimer::singleShot(1100, [&] {
            ticker.stop();
            clickRun();
        });
        clickRun();
        EXPECT_THAT(statusText(), testing::MatchesRegex("Stopped after [0-9]+ of 1000 samples"));
        EXPECT_LT(scripted_port::samplesDelivered(), 20) << "Stop came late";
        EXPECT_GE(ticks, 20) << "the window's timer hardly ran during the capture";
        EXPECT_LT(longestGap, std::chrono::milliseconds(500))
            << "the window stood still for "
            << std::chrono::duration<double, std::milli>(longestGap).count() << " ms";
        scripted_port::pace(0);
        scripted_port::answerSamples(-1);
    });
    EXPECT_EQ(status, 0);
}

}  // namespace
