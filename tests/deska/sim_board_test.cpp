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
#include <cmath>
#include <cstdlib>
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
    userint_testing::answerPopupsWith([](const userint_testing::Popup &) {});
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

}  // namespace
