// SPDX-License-Identifier: GPL-3.0-or-later
// Work in the background (RunInBackground): it runs on a thread of its own while
// the panel of bench.uir answers the operator, and it stops when asked, by a
// callback or by QuitUserInterface. Runs offscreen.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "userint.h"
#include "userint_testing.h"

namespace {

enum { PANEL = 1, RUN = 4, QUIT = 6 };

int runCommits = 0;
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
int pollUntilStopped(void *) {
    workThread = std::this_thread::get_id();
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!BackgroundStopRequested())
        if (std::chrono::steady_clock::now() > until) return -1;
    return 42;
}
int progressCalls = 0;
void countProgress(void *) { ++progressCalls; }

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
        nested = RunInBackground(pollUntilStopped, nullptr, nullptr);
        click(RUN);  // its callback asks the work to stop
    });
    EXPECT_EQ(RunInBackground(pollUntilStopped, nullptr, countProgress), 42);
    EXPECT_NE(workThread.load(), std::this_thread::get_id());
    EXPECT_EQ(runCommits, 1) << "the click reached its callback while the work ran";
    EXPECT_EQ(nested, UIE_BUSY) << "one background work at a time";
    EXPECT_GE(progressCalls, 1);
}

TEST_F(Background, QuitStopsTheWorkAndEndsTheLoopAfterIt) {
    int result = 0;
    userint_testing::run_in_event_loop([&] {
        QTimer::singleShot(100, [] { click(QUIT); });
        result = RunInBackground(pollUntilStopped, nullptr, nullptr);
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

}  // namespace
