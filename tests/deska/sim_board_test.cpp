// SPDX-License-Identifier: GPL-3.0-or-later
// deska on the simulated board, whose default input is a 50 Hz sine of 1 V peak
// (0.7071 V RMS): a run must measure that RMS, and an absent board must end in the
// operator's message, not a hang.
//
// The board converts in real time. When the machine is so busy that the program is
// descheduled for longer than a sample period, results are overwritten unread (the
// board counts them as overruns) and the 1000 samples no longer span whole periods
// of the sine; such a capture says nothing about the program, so it is taken again.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <QString>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>

#include "deska_harness.h"

namespace {

using namespace deska_operator;

double shownVolts(int id) {
    bool ok = false;
    double value = QString::fromStdString(text(id)).toDouble(&ok);
    EXPECT_TRUE(ok) << "read-out " << id << " shows \"" << text(id) << "\", not a number";
    return value;
}

constexpr int MaxCaptures = 30;

// Results the simulated board converted in its last capture that nobody read.
unsigned long boardOverruns() {
    const char *path = std::getenv("PORTIO_LIBRARY");
    void *board = path ? dlopen(path, RTLD_NOW | RTLD_NOLOAD) : nullptr;
    using Count = unsigned long (*)(void);
    auto count = board ? reinterpret_cast<Count>(dlsym(board, "board_sim_overruns")) : nullptr;
    if (count == nullptr) {
        ADD_FAILURE() << "the simulated board (PORTIO_LIBRARY=" << (path ? path : "")
                      << ") is not loaded or does not count overruns";
        return 0;
    }
    return count();
}

struct SineCase {
    int gainCode;
    double atConverter_v;  // RMS the converter sees: 0.7071 V x 2^gain
};

class DeskaOnSimulatedBoard : public testing::TestWithParam<SineCase> {};

TEST_P(DeskaOnSimulatedBoard, MeasuresTheRmsOfTheDefaultSineAt10kHz) {
    const SineCase c = GetParam();
    const double sineRms_v = 1.0 / std::sqrt(2.0);
    int status = runDeska([&] {
        typeFrequency("10");
        if (c.gainCode != 0) chooseGain(c.gainCode);
        int captures = 0;
        do clickRun();
        while (boardOverruns() != 0 && ++captures < MaxCaptures);
        if (boardOverruns() != 0)
            GTEST_SKIP() << "each of " << MaxCaptures << " captures lost samples ("
                         << boardOverruns()
                         << " in the last): the machine is too busy to keep pace with 10 kHz";
        EXPECT_NEAR(shownVolts(PANEL_UF), c.atConverter_v, 0.01 * c.atConverter_v);
        EXPECT_NEAR(shownVolts(PANEL_UF_INPUT), sineRms_v, 0.01 * sineRms_v);
    });
    EXPECT_EQ(status, 0);
}

INSTANTIATE_TEST_SUITE_P(Gains, DeskaOnSimulatedBoard,
                         testing::Values(SineCase{0, 0.70711}, SineCase{2, 2.82843}),
                         [](const testing::TestParamInfo<SineCase> &info) {
                             return "gain" + std::to_string(info.param.gainCode);
                         });

TEST(DeskaOnAbsentSimulatedBoard, RunEndsWithTheMessageAndEmptyReadOuts) {
    setenv("BOARD_SIM_ABSENT", "1", 1);
    userint_testing::answer_popups_with([](const userint_testing::Popup &) {});
    int status = runDeska([] {
        clickRun();
        ASSERT_EQ(userint_testing::popups().size(), 1u);
        EXPECT_NE(
            userint_testing::popups()[0].message.find("No board is answering at I/O port 0x300"),
            std::string::npos)
            << userint_testing::popups()[0].message;
        EXPECT_EQ(text(PANEL_UF), "");
        EXPECT_EQ(busyLamp(), 0);
    });
    EXPECT_EQ(status, 0);
}

// The count of lost conversions the status line gives.
long shownLost() {
    const std::string line = statusText();
    if (line == "1000 samples, none lost") return 0;
    std::smatch m;
    if (std::regex_search(line, m, std::regex("about ([0-9]+) conversions? w")))
        return std::stol(m[1]);
    ADD_FAILURE() << "the status line does not count lost conversions: " << line;
    return -1;
}

// At 100 kHz a sample is due every 10 us, and any pause of the machine's overwrites
// some. Whatever the machine does, the count shown agrees with the board's own.
TEST(DeskaOnSimulatedBoardAt100kHz, ShownLossAgreesWithTheBoardsOverruns) {
    int status = runDeska([] {
        typeFrequency("100");
        int lossy = 0, disagreeing = 0;
        for (int capture = 0; capture < 20; capture++) {
            clickRun();
            const long board = static_cast<long>(boardOverruns());
            const long shown = shownLost();
            // A pause between the board's start and the first read costs conversions
            // that lie outside the capture's span: a busy machine may show one such.
            if (std::abs(shown - board) > std::max(2L, board / 10)) {
                ++disagreeing;
                std::fprintf(stderr, "capture %d: the board counted %ld overruns; status: %s\n",
                             capture, board, statusText().c_str());
            }
            lossy += board > 0;
        }
        EXPECT_LE(disagreeing, 2) << "of 20 captures";
        testing::Test::RecordProperty("captures_with_overruns", lossy);
    });
    EXPECT_EQ(status, 0);
}

// Below 2 kHz a capture runs on its own thread, so the operator resizing the window
// throughout costs no sample at 0.5 kHz. A capture without resizing first tells
// whether the machine is idle enough to judge.
TEST(DeskaOnSimulatedBoardAt500Hz, ResizingTheWindowThroughoutCostsNoSample) {
    int status = runDeska([] {
        typeFrequency("0.5");
        QWidget *panel = userint_testing::panel_widget(Handle);
        const QSize size = panel->size();
        int quietClean = 0, resizedClean = 0, resizes = 0;
        for (int attempt = 0; attempt < 3 && resizedClean == 0; attempt++) {
            clickRun();
            if (boardOverruns() != 0) continue;
            ++quietClean;
            QTimer resizer;
            QObject::connect(&resizer, &QTimer::timeout, [&] {
                ++resizes;
                panel->resize(size.width() + 13 * (resizes % 9),
                              size.height() + 11 * (resizes % 7));
            });
            resizer.start(20);
            clickRun();
            resizer.stop();
            if (boardOverruns() == 0)
                ++resizedClean;
            else
                std::fprintf(stderr, "resized capture %d: %lu overruns (%s)\n", attempt,
                             boardOverruns(), statusText().c_str());
        }
        if (quietClean == 0)
            GTEST_SKIP() << "every quiet capture lost samples: the machine is busy";
        EXPECT_GT(resizes, 20) << "the window was hardly resized during the captures";
        EXPECT_GT(resizedClean, 0) << "every capture with the window resized lost samples";
        if (resizedClean > 0) {
            EXPECT_EQ(statusText(), "1000 samples, none lost");
        }
    });
    EXPECT_EQ(status, 0);
}

}  // namespace
