// SPDX-License-Identifier: GPL-3.0-or-later
// deska with an edited deska.uir beside it, as a copied program can have: a panel whose
// frequency field holds another value type, or allows values outside 0.01 to 100 kHz, or
// whose gain ring gives a code the board does not know, must never make deska act on a
// value it could not read or that lies outside its own limits. The operator types and
// clicks; deska says what is wrong and the board is not touched. Each case writes its
// panel beside this executable (a folder of its own) before the program starts.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "case_name.h"
#include "deska_harness.h"
#include "panel_operator.h"
#include "scripted_port.h"

namespace {

using namespace deska_operator;

struct Mismatch {
    const char *what;
    const char *from;  // text of deska.uir replaced by `to`
    const char *to;
    const char *typedKhz;  // typed into the frequency field before Run
    int gainItem;          // ring item chosen before Run, -1 for none
    const char *title;     // the popup's title
    const char *mentions;  // and what its message says
};

const Mismatch mismatches[] = {
    {"frequency field of doubles", "<string>float</string>", "<string>double</string>", "5", -1,
     "deska: sampling frequency not read", "could not be read from the panel"},
    {"frequency field down to 0", "<double>0.010000000000000</double>", "<double>0</double>", "0",
     -1, "deska: sampling frequency out of range",
     "The sampling frequency 0.000000 kHz is outside 0.01 to 100 kHz"},
    {"frequency field up to 1000", "<double>100.000000000000000</double>",
     "<double>1000.000000000000000</double>", "500", -1, "deska: sampling frequency out of range",
     "500.000000 kHz is outside"},
    {"gain ring with code 9", "<string>0,1,2,3,4</string>", "<string>0,1,2,3,9</string>", nullptr,
     4, "deska: gain out of range", "The gain code 9 is outside 0 to 4"},
};

void PrintTo(const Mismatch &c, std::ostream *os) { *os << c.what; }

class DeskaPanelMismatch : public testing::TestWithParam<Mismatch> {};

TEST_P(DeskaPanelMismatch, NothingReachesTheBoardAndTheOperatorIsTold) {
    const Mismatch c = GetParam();
    // The program finds its panel beside its executable; this one is alone in its folder.
    ASSERT_EQ(panel_operator::writeEditedPanel(QStringLiteral(DESKA_PANEL),
                                               QStringLiteral(DESKA_TEST_FOLDER "/deska.uir"),
                                               c.from, c.to),
              "");

    userint_testing::answer_popups_with([](const userint_testing::Popup &) {});
    scripted_port::serve({2048});
    int status = runDeska([&] {
        if (c.typedKhz) typeFrequency(c.typedKhz);
        if (c.gainItem >= 0) chooseGain(c.gainItem - 1);  // a code the board knows
        scripted_port::clearWrites();
        userint_testing::clear_popups();
        if (c.gainItem >= 0) {
            chooseGain(c.gainItem);  // then one it does not
            ASSERT_EQ(userint_testing::popups().size(), 1u);
            clickRun();
            const std::vector<scripted_port::Write> writes = scripted_port::writes();
            EXPECT_NE(std::find(writes.begin(), writes.end(), scripted_port::Write{0x309, 3}),
                      writes.end())
                << "the run uses the last gain code the board knows";
        } else {
            clickRun();
            EXPECT_EQ(scripted_port::writes(), std::vector<scripted_port::Write>{})
                << "the board must not be touched";
            EXPECT_EQ(busyLamp(), 0);
        }
        ASSERT_GE(userint_testing::popups().size(), 1u);
        const userint_testing::Popup &popup = userint_testing::popups()[0];
        EXPECT_EQ(popup.title, c.title);
        EXPECT_NE(popup.message.find(c.mentions), std::string::npos) << popup.message;
        EXPECT_NE(popup.message.find("deska.uir"), std::string::npos) << popup.message;
    });
    QFile::remove(QStringLiteral(DESKA_TEST_FOLDER "/deska.uir"));
    EXPECT_EQ(status, 0);
}

INSTANTIATE_TEST_SUITE_P(Panels, DeskaPanelMismatch, testing::ValuesIn(mismatches),
                         [](const auto &info) { return test_support::case_name(info.param.what); });

}  // namespace
