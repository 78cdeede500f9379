// SPDX-License-Identifier: GPL-3.0-or-later
// The generator with an edited generator.uir beside it, as a copied program can have:
// a field of another value type, or one allowing values outside the program's own
// limits, must never make it send a setting it could not read or does not accept. The
// operator types; the generator says what is wrong and sends nothing. Each case writes
// its panel beside this executable (a folder of its own) before the program starts.

#include <gtest/gtest.h>

#include <QFile>
#include <cctype>
#include <string>

#include "case_name.h"
#include "generator_harness.h"
#include "generator_ui.h"
#include "panel_operator.h"
#include "userint_testing.h"

namespace {

struct Mismatch {
    const char *what;
    const char *from;  // text of generator.uir replaced by `to` (it occurs once)
    const char *to;
    int id;        // the field typed into
    double typed;  // the value typed
    int decimals;  // as the field shows it
    const char *mentions;
};

const Mismatch mismatches[] = {
    {"frequency field of doubles",
     "<string>Frekv</string>\n        </property>\n        <property name=\"valueType\" "
     "stdset=\"0\">\n         <string>float</string>",
     "<string>Frekv</string>\n        </property>\n        <property name=\"valueType\" "
     "stdset=\"0\">\n         <string>double</string>",
     PANEL_FREQ, 5.0, 3, "The frequency value could not be read from the panel"},
    {"amplitude field down to 0", "<double>0.050000000000000</double>", "<double>0</double>",
     PANEL_AMPL, 0.0, 3, "The amplitude (Vpp) 0 is outside 0.05 to 10"},
    {"angle field up to 360", "<double>180.000000000000000</double>",
     "<double>360.000000000000000</double>", PANEL_ANGLE, 270.0, 1,
     "The angle (degrees) 270 is outside 0 to 180"},
};

void PrintTo(const Mismatch &c, std::ostream *os) { *os << c.what; }

class GeneratorPanelMismatch : public testing::TestWithParam<Mismatch> {};

TEST_P(GeneratorPanelMismatch, NothingIsSentAndTheOperatorIsTold) {
    const Mismatch c = GetParam();
    ASSERT_EQ(panel_operator::writeEditedPanel(
                  QStringLiteral(GENERATOR_PANEL),
                  QStringLiteral(GENERATOR_TEST_FOLDER "/generator.uir"), c.from, c.to),
              "");

    userint_testing::answer_popups_with([](const userint_testing::Popup &) {});
    runGenerator([&] {
        const std::size_t before = bus().size();
        userint_testing::clear_popups();
        typeValue(c.id, c.typed, c.decimals);
        EXPECT_EQ(bus().sendsFrom(before).size(), 0u) << "nothing may be sent";
        ASSERT_EQ(userint_testing::popups().size(), 1u);
        const userint_testing::Popup &popup = userint_testing::popups()[0];
        EXPECT_EQ(popup.title, "generator: setting not used");
        EXPECT_NE(popup.message.find(c.mentions), std::string::npos) << popup.message;
        EXPECT_NE(popup.message.find("generator.uir"), std::string::npos) << popup.message;
    });
    QFile::remove(QStringLiteral(GENERATOR_TEST_FOLDER "/generator.uir"));
}

INSTANTIATE_TEST_SUITE_P(Panels, GeneratorPanelMismatch, testing::ValuesIn(mismatches),
                         [](const auto &info) { return test_support::case_name(info.param.what); });

}  // namespace
