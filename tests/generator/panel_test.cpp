// SPDX-License-Identifier: GPL-3.0-or-later
// The generator driven through its panel, as an operator does: start-up and quit,
// the frequency rule, commits and non-commits, identification, the status line,
// and the panel file's agreement with the identifiers.
#include <gtest/gtest.h>

#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QTest>
#include <QWidget>
#include <clocale>
#include <cmath>
#include <functional>
#include <string>

#include "generator_harness.h"
#include "generator_ui.h"
#include "panel_agreement.h"
#include "panel_operator.h"
#include "userint.h"
#include "userint_testing.h"

namespace {

const char GOOD_STATUS[] = "Sent all 6 transfers: 10000 Hz, 4.5 Vpp, angle 0\u00b0";

float floatValue(int id) {
    float value = NAN;
    EXPECT_GE(GetCtrlVal(PANEL, id, &value), 0) << "reading control " << id;
    return value;
}

int intValue(int id) {
    int value = -1;
    EXPECT_GE(GetCtrlVal(PANEL, id, &value), 0) << "reading control " << id;
    return value;
}

signed char decadeValue() {
    signed char value = -1;
    EXPECT_GE(GetCtrlVal(PANEL, PANEL_DECADE, &value), 0) << "reading the decade";
    return value;
}

// The last seven Send calls: the most recent upload and its error query.
std::vector<BusCall> lastUpload() {
    std::vector<BusCall> sends = bus().sendsFrom(0);
    if (sends.size() > 7) sends.erase(sends.begin(), sends.end() - 7);
    return sends;
}

TEST(GeneratorPanel, StartUpTrafficThenQuitReturnsInstrumentToLocal) {
    size_t startUpCalls = 0;
    int exitCode = runGenerator([&] {
        startUpCalls = bus().size();
        ASSERT_EQ(startUpCalls, 10u)
            << "interface clear, remote enable, six transfers, the error query and its answer";
        EXPECT_EQ(bus().at(0).routine, "SendIFC");
        EXPECT_EQ(bus().at(0).board, 0);
        EXPECT_EQ(bus().at(1).routine, "EnableRemote");
        EXPECT_EQ(bus().at(1).board, 0);
        EXPECT_EQ(bus().at(1).addresses, std::vector<int>{8});
        expectUpload(bus().sendsFrom(2), "freq 10000.000000", "volt 4.500000", 0.0f);
        clickButton(PANEL_QUIT);
    });
    EXPECT_EQ(exitCode, 0);
    ASSERT_EQ(bus().size(), startUpCalls + 1) << "quitting sends one routine: local enable";
    EXPECT_EQ(bus().at(startUpCalls).routine, "EnableLocal");
    EXPECT_EQ(bus().at(startUpCalls).board, 0);
    EXPECT_EQ(bus().at(startUpCalls).addresses, std::vector<int>{8});
}

TEST(GeneratorPanel, ShowsTheStartUpSettingsAndTheirPreview) {
    runGenerator([] {
        EXPECT_FLOAT_EQ(floatValue(PANEL_FREQ), 1.0f);
        EXPECT_EQ(decadeValue(), 4);
        EXPECT_FLOAT_EQ(floatValue(PANEL_AMPL), 4.5f);
        EXPECT_FLOAT_EQ(floatValue(PANEL_ANGLE), 0.0f);
        EXPECT_EQ(intValue(PANEL_BUSY), 0);
        EXPECT_EQ(statusLine(), GOOD_STATUS);

        auto plots = userint_testing::graph_plots(PANEL, PANEL_GRAPH);
        ASSERT_EQ(plots.size(), 1u) << "each upload leaves exactly one plot";
        const auto &plot = plots[0];
        EXPECT_EQ(plot.colour, 0xFF0000u);
        ASSERT_EQ(plot.x.size(), 3600u);
        ASSERT_EQ(plot.y.size(), 3600u);
        for (int k = 0; k < 3600; k += 1) {
            ASSERT_NEAR(plot.x[k], 0.1 * k, 1e-9) << "point " << k;
            ASSERT_NEAR(plot.y[k], 0.00048828 * (std::int16_t)expectedEntry(k, 0.0f), 1e-12)
                << "point " << k;
        }
        userint_testing::AxisRange y = userint_testing::graph_y_axis(PANEL, PANEL_GRAPH);
        EXPECT_TRUE(y.fixed) << "the preview keeps one scale for every angle";
        EXPECT_EQ(y.min, -1.0);
        EXPECT_EQ(y.max, 1.0);
        EXPECT_NEAR(plot.y[900], 0.999, 0.001);
        EXPECT_NEAR(plot.y[2700], -0.999, 0.001);
    });
}

std::vector<int> lampDuringSends;
void noteLamp(const BusCall &call) {
    if (call.routine != "Send") return;
    int lamp = -1;
    GetCtrlVal(PANEL, PANEL_BUSY, &lamp);
    lampDuringSends.push_back(lamp);
}

TEST(GeneratorPanel, BusyLampIsLitDuringEveryTransferOfAnUpload) {
    bus().hook(noteLamp);
    runGenerator([] {
        EXPECT_EQ(lampDuringSends, std::vector<int>(7, 1)) << "start-up upload";
        EXPECT_EQ(intValue(PANEL_BUSY), 0);
        lampDuringSends.clear();
        typeValue(PANEL_AMPL, 3.0, 3);
        EXPECT_EQ(lampDuringSends, std::vector<int>(7, 1)) << "upload after a commit";
        EXPECT_EQ(intValue(PANEL_BUSY), 0);
        bus().hook(nullptr);
    });
}

// The frequency is the value times the decade, in single precision and truncated,
// with a ceiling of 1 MHz that the panel then shows.
TEST(GeneratorPanel, FrequencyRule) {
    struct {
        double value;
        int decade;
        const char *freqText;
        float shownValue;
        int shownDecade;
    } cases[] = {
        {9.99, 2, "freq 998.000000", 9.99f, 2},  // 998.99994 in single precision
        {9.99, 5, "freq 998999.000000", 9.99f, 5},
        {1.5, 6, "freq 1000000.000000", 1.0f, 6},  // above the ceiling: clamped, panel corrected
        {1.0, 6, "freq 1000000.000000", 1.0f, 6},  // the ceiling itself
        {0.5, 0, "freq 0.000000", 0.5f, 0},
        {1.5, 3, "freq 1500.000000", 1.5f, 3},
        {0.3, 2, "freq 30.000000", 0.3f, 2},
        {0.7, 1, "freq 7.000000", 0.7f, 1},  // 6.9999999 rounds to 7.0 in single precision
        {9.999, 6, "freq 1000000.000000", 1.0f, 6},
    };
    runGenerator([&] {
        for (const auto &c : cases) {
            SCOPED_TRACE(std::to_string(c.value) + " at decade " + std::to_string(c.decade));
            typeValue(PANEL_FREQ, c.value, 3);  // commits Frekv at the present decade
            chooseDecade(c.decade);             // commits rad at each step
            expectUpload(lastUpload(), c.freqText, "volt 4.500000", 0.0f);
            EXPECT_FLOAT_EQ(floatValue(PANEL_FREQ), c.shownValue);
            EXPECT_EQ(decadeValue(), c.shownDecade);
        }
    });
}

// Every change the program makes to what the operator committed is said before
// the upload's outcome; the upload itself is the one the rules give.
TEST(GeneratorPanel, StatusLineSaysEveryChangeToWhatTheOperatorSet) {
    struct {
        const char *what;
        std::function<void()> act;
        const char *freqText, *voltText;
        std::string status;
    } cases[] = {
        {"2 at decade 6: the 1 MHz ceiling",
         [] {
             panel_operator::enter(control(PANEL_FREQ), "2");
             chooseDecade(6);
         },
         "freq 1000000.000000", "volt 4.500000",
         "Frequency limited to 1 MHz, the highest this program sends: value set to 1.000 \u2014 "
         "Sent all 6 transfers: 1000000 Hz, 4.5 Vpp, angle 0\u00b0"},
        {"99999 typed into the frequency value at decade 6: refused keys, then the ceiling",
         [] { panel_operator::enter(control(PANEL_FREQ), "99999"); }, "freq 1000000.000000",
         "volt 4.500000",
         "Frequency value 99999 is outside the field's range of 0 to 9.999: the field kept 9; "
         "Frequency limited to 1 MHz, the highest this program sends: value set to 1.000 \u2014 "
         "Sent all 6 transfers: 1000000 Hz, 4.5 Vpp, angle 0\u00b0"},
        {"50 typed into the amplitude", [] { panel_operator::enter(control(PANEL_AMPL), "50"); },
         "freq 1000000.000000", "volt 5.000000",
         "Amplitude 50 is outside the field's range of 0.05 to 10: the field kept 5 \u2014 Sent "
         "all 6 transfers: 1000000 Hz, 5 Vpp, angle 0\u00b0"},
        {"50.5 typed into the amplitude: the keys after the refused one",
         [] { panel_operator::enter(control(PANEL_AMPL), "50.5"); }, "freq 1000000.000000",
         "volt 5.500000",
         "Amplitude 50.5 is outside the field's range of 0.05 to 10: the field kept 5.5 \u2014 "
         "Sent all 6 transfers: 1000000 Hz, 5.5 Vpp, angle 0\u00b0"},
        {"9.99 at decade 2: whole hertz in single precision",
         [] {
             chooseDecade(2);
             panel_operator::enter(control(PANEL_FREQ), "9.99");
         },
         "freq 998.000000", "volt 5.500000",
         "Frequency 999 Hz sent as 998 Hz: the program sends whole hertz \u2014 Sent all 6 "
         "transfers: 998 Hz, 5.5 Vpp, angle 0\u00b0"},
        {"a value the field takes as typed: nothing to say",
         [] { panel_operator::enter(control(PANEL_AMPL), "4.5"); }, "freq 998.000000",
         "volt 4.500000", "Sent all 6 transfers: 998 Hz, 4.5 Vpp, angle 0\u00b0"},
    };
    runGenerator([&] {
        for (const auto &c : cases) {
            SCOPED_TRACE(c.what);
            c.act();
            expectUpload(lastUpload(), c.freqText, c.voltText, 0.0f);
            EXPECT_EQ(statusLine(), c.status);
            EXPECT_EQ(control(PANEL_STATUS)->accessibleDescription().toStdString(), "")
                << "a change said is not a failure";
        }
    });
}

TEST(GeneratorPanel, RingCommitsOnceForEachItemChosen) {
    runGenerator([] {
        size_t before = bus().sendsFrom(0).size();
        chooseDecade(6);  // from 4: two items, two uploads
        EXPECT_EQ(bus().sendsFrom(0).size(), before + 14);
        expectUpload(lastUpload(), "freq 1000000.000000", "volt 4.500000", 0.0f);
    });
}

TEST(GeneratorPanel, CommitOfAnUnchangedValueResendsAllSix) {
    runGenerator([] {
        const int fields[] = {PANEL_AMPL, PANEL_FREQ, PANEL_ANGLE};
        for (int id : fields) {
            SCOPED_TRACE("control " + std::to_string(id));
            size_t before = bus().size();
            QWidget *w = control(id);
            ASSERT_NE(w, nullptr);
            QTest::mouseClick(w, Qt::LeftButton, Qt::NoModifier, QPoint(8, w->height() / 2));
            QTest::keyClick(w, Qt::Key_Return);
            expectUpload(bus().sendsFrom(before), "freq 10000.000000", "volt 4.500000", 0.0f);
        }
    });
}

TEST(GeneratorPanel, AmplitudeAndAngleCommitsKeepTheOtherSettings) {
    runGenerator([] {
        typeValue(PANEL_AMPL, 2.5, 3);
        expectUpload(lastUpload(), "freq 10000.000000", "volt 2.500000", 0.0f);
        typeValue(PANEL_ANGLE, 90.0, 1);
        expectUpload(lastUpload(), "freq 10000.000000", "volt 2.500000", 90.0f);
        EXPECT_EQ(statusLine(), "Sent all 6 transfers: 10000 Hz, 2.5 Vpp, angle 90\u00b0");
        typeValue(PANEL_ANGLE, 45.5, 1);
        expectUpload(lastUpload(), "freq 10000.000000", "volt 2.500000", 45.5f);
        EXPECT_EQ(Freq, 10000.0f);
    });
}

// What the operator can type stays within what the table and the instrument take.
TEST(GeneratorPanel, TypedValuesStayWithinTheControlsRanges) {
    struct {
        int id;
        double typed;
        const float *setting;
        float low, high;
    } cases[] = {
        {PANEL_ANGLE, 200.0, &Alpha, 0.0f, 180.0f},
        {PANEL_ANGLE, 999.9, &Alpha, 0.0f, 180.0f},
        {PANEL_AMPL, 20.0, &Um, 0.05f, 10.0f},
        {PANEL_AMPL, 0.001, &Um, 0.05f, 10.0f},
    };
    runGenerator([&] {
        for (const auto &c : cases) {
            SCOPED_TRACE("control " + std::to_string(c.id) + " typed " + std::to_string(c.typed));
            typeValue(c.id, c.typed, 3);
            EXPECT_GE(*c.setting, c.low);
            EXPECT_LE(*c.setting, c.high);
        }
    });
}

// Typing, clicking, moving through the panel and the graph: none of it commits.
TEST(GeneratorPanel, NonCommitEventsSendNothing) {
    runGenerator([] {
        size_t before = bus().size();
        struct {
            const char *what;
            std::function<void()> act;
        } actions[] = {
            {"clicking into each field",
             [] {
                 for (int id : {PANEL_FREQ, PANEL_AMPL, PANEL_ANGLE}) {
                     QWidget *w = control(id);
                     QTest::mouseClick(w, Qt::LeftButton, Qt::NoModifier,
                                       QPoint(8, w->height() / 2));
                 }
             }},
            {"tabbing through the panel without edits",
             [] {
                 for (int k = 0; k < 8; k++) {
                     QWidget *focus = QApplication::focusWidget();
                     ASSERT_NE(focus, nullptr) << "no control has the keyboard focus";
                     QTest::keyClick(focus, Qt::Key_Tab);
                 }
             }},
            {"clicking and double-clicking the graph",
             [] {
                 QTest::mouseClick(control(PANEL_GRAPH), Qt::LeftButton);
                 QTest::mouseDClick(control(PANEL_GRAPH), Qt::LeftButton);
             }},
            {"typing into the amplitude without committing",
             [] { typeValue(PANEL_AMPL, 7.0, 3, false); }},
        };
        for (const auto &a : actions) {
            a.act();
            QApplication::processEvents();
            EXPECT_EQ(bus().size(), before) << a.what << " put something on the bus";
        }
        EXPECT_EQ(Um, 4.5f) << "an uncommitted amplitude reached the setting";
    });
}

TEST(GeneratorPanel, IdentifyShowsTheReplyWithoutItsTerminator) {
    struct {
        const char *name;
        std::string reply;
        std::string shown;
    } cases[] = {
        {"a newline-ended line", "LABGEN,AWG-1,0042,1.0\n", "LABGEN,AWG-1,0042,1.0"},
        {"a lone newline", "\n", "(the instrument answered with an empty line)"},
        {"255 bytes", std::string(254, 'a') + "\n", std::string(254, 'a')},
        {"more than 255 bytes", std::string(300, 'b'), std::string(254, 'b')},
    };
    userint_testing::answer_popups_with([](const userint_testing::Popup &) {});
    runGenerator([&] {
        for (const auto &c : cases) {
            SCOPED_TRACE(c.name);
            userint_testing::clear_popups();
            bus().reply(c.reply.data(), (long)c.reply.size());
            size_t before = bus().size();
            clickButton(PANEL_IDN);
            ASSERT_EQ(userint_testing::popups().size(), 1u);
            EXPECT_EQ(userint_testing::popups()[0].title, "IDN");
            EXPECT_EQ(userint_testing::popups()[0].message, c.shown);
            ASSERT_EQ(bus().size(), before + 2) << "the query and its reply";
            EXPECT_EQ(bus().at(before).bytes, "*idn?");
            EXPECT_EQ(bus().at(before + 1).routine, "Receive");
        }
        EXPECT_EQ(statusLine(), GOOD_STATUS) << "a good identification leaves the upload's status";
    });
    userint_testing::answer_popups_with(nullptr);
}

// A failed identification says so in a popup, in the words of the status line, and
// the status line is marked as a failure until an identification succeeds.
TEST(GeneratorPanel, IdentifyOnADeadBusSaysWhyInThePopup) {
    struct {
        const char *name;
        int error;  // scripted on the query (ENOL) or its reply (0: the reply times out)
        const char *phrase;
    } cases[] = {
        {"no listener", ENOL, "Identification failed at the query *idn? (ERR, ENOL): "},
        {"no reply", 0, "Identification failed at the reply to *idn? (ERR TIMO CMPL, EABO): "},
    };
    userint_testing::answer_popups_with([](const userint_testing::Popup &) {});
    runGenerator([&] {
        QWidget *status = control(PANEL_STATUS);
        for (const auto &c : cases) {
            SCOPED_TRACE(c.name);
            userint_testing::clear_popups();
            bus().reply("", 0);
            int next = (int)bus().size();
            if (c.error != 0) bus().fail(c.error, next, next + 1);
            clickButton(PANEL_IDN);
            bus().fail(0, -1, -2);
            ASSERT_EQ(userint_testing::popups().size(), 1u);
            const userint_testing::Popup &popup = userint_testing::popups()[0];
            EXPECT_EQ(popup.title, "Identification failed");
            EXPECT_EQ(popup.message, statusLine()) << "the popup and the status line agree";
            EXPECT_EQ(popup.message.rfind(c.phrase, 0), 0u) << popup.message;
            EXPECT_EQ(status->accessibleDescription().toStdString(), "Failure");
        }
        const std::string reply = "LABGEN,AWG-1,0042,1.0\n";
        bus().reply(reply.data(), (long)reply.size());
        clickButton(PANEL_IDN);
        EXPECT_EQ(statusLine(), "Identified: LABGEN,AWG-1,0042,1.0");
        EXPECT_EQ(status->accessibleDescription().toStdString(), "");
    });
    userint_testing::answer_popups_with(nullptr);
}

// After the six transfers the instrument's error queue is read until it says "no
// error", at most 20 times; whatever it reports makes the upload a failure.
TEST(GeneratorPanel, StatusLineGivesTheInstrumentsVerdict) {
    struct {
        const char *name;
        std::vector<const char *> replies;  // scripted answers to SYST:ERR?, then +0
        int queries;                        // SYST:ERR? sent
        const char *status;
    } cases[] = {
        {"no error", {}, 1, GOOD_STATUS},
        {"no error written 0,", {"0,\"No error\"\n"}, 1, GOOD_STATUS},
        {"one refusal",
         {"-222,\"Data out of range\"\n"},
         2,
         "Instrument refused the settings: -222,\"Data out of range\""},
        {"two errors",
         {"-222,\"Data out of range\"\n", "-221,\"Settings conflict\"\n"},
         3,
         "Instrument refused the settings: -222,\"Data out of range\"; -221,\"Settings "
         "conflict\""},
        {"an answer that is not an error report",
         {"LABGEN\n"},
         1,
         "Settings not confirmed: the instrument answered SYST:ERR? with \"LABGEN\", which is not "
         "an error report: check that it understands SCPI commands"},
    };
    runGenerator([&] {
        QWidget *status = control(PANEL_STATUS);
        for (const auto &c : cases) {
            SCOPED_TRACE(c.name);
            for (const char *reply : c.replies) bus().errorReply(reply);
            size_t before = bus().size();
            typeValue(PANEL_AMPL, 4.5, 3);
            std::vector<BusCall> sends = bus().sendsFrom(before);
            ASSERT_EQ(sends.size(), 6u + c.queries);
            for (size_t k = 6; k < sends.size(); k++) EXPECT_EQ(sends[k].bytes, "SYST:ERR?");
            EXPECT_EQ(bus().size(), before + 6 + 2 * c.queries) << "each query is read";
            EXPECT_EQ(statusLine(), c.status);
            EXPECT_EQ(status->accessibleDescription().toStdString(),
                      c.status == GOOD_STATUS ? "" : "Failure");
            EXPECT_EQ(intValue(PANEL_BUSY), 0);
        }
    });
}

TEST(GeneratorPanel, ErrorQueueIsReadAtMostTwentyTimes) {
    runGenerator([] {
        for (int k = 0; k < 25; k++) bus().errorReply("-222,\"Data out of range\"\n");
        size_t before = bus().size();
        typeValue(PANEL_AMPL, 4.5, 3);
        EXPECT_EQ(bus().sendsFrom(before).size(), 6u + 20u);
        std::string status = statusLine();
        EXPECT_EQ(status.rfind("Instrument refused the settings: -222,\"Data out of range\"; ", 0),
                  0u)
            << status;
        EXPECT_NE(status.find("(and more in its error queue)"), std::string::npos) << status;
    });
}

// An instrument that does not answer the error query costs one time-out, not twenty.
TEST(GeneratorPanel, SilentInstrumentEndsTheErrorQueryAtTheTimeOut) {
    runGenerator([] {
        bus().errorQuerySilent(1);
        size_t before = bus().size();
        typeValue(PANEL_AMPL, 4.5, 3);
        ASSERT_EQ(bus().size(), before + 8) << "one query, one reply that timed out, no more";
        EXPECT_EQ(bus().at(before + 7).routine, "Receive");
        std::string status = statusLine();
        EXPECT_EQ(status.rfind("Settings not confirmed at the reply to SYST:ERR? (ERR TIMO CMPL, "
                               "EABO): time-out: the instrument at address 8 is busy or not "
                               "answering; whether the instrument took them is unknown",
                               0),
                  0u)
            << status;
        EXPECT_EQ(control(PANEL_STATUS)->accessibleDescription().toStdString(), "Failure");
        bus().errorQuerySilent(0);
    });
}

TEST(GeneratorPanel, StatusLineWithNoInstrument) {
    bus().fail(ENOL, 0, 1 << 30);
    userint_testing::answer_popups_with([](const userint_testing::Popup &) {});
    runGenerator([] {
        std::string status = statusLine();
        for (std::string part : {std::string("Upload failed at the frequency command"),
                                 std::string("ERR"), std::string("ENOL"), gpib_error_hint(ENOL, 8),
                                 std::string("6 of 6 transfers failed")})
            EXPECT_NE(status.find(part), std::string::npos)
                << "'" << part << "' missing in: " << status;
        EXPECT_NE(status.find("no listener at address 8"), std::string::npos) << status;
        EXPECT_EQ(intValue(PANEL_BUSY), 0);
        EXPECT_EQ(userint_testing::graph_plots(PANEL, PANEL_GRAPH).size(), 1u)
            << "the preview is drawn all the same";
        EXPECT_TRUE(userint_testing::popups().empty()) << "an upload shows no popup";
        expectUpload(bus().sendsFrom(0), "freq 10000.000000", "volt 4.500000", 0.0f);

        // The instrument comes back: the next commit says the upload went through.
        bus().fail(0, -1, -2);
        typeValue(PANEL_AMPL, 4.5, 3);
        EXPECT_EQ(statusLine(), GOOD_STATUS);
    });
    userint_testing::answer_popups_with(nullptr);
}

// Only the first failed transfer of the upload is described, with how many failed.
TEST(GeneratorPanel, StatusLineNamesTheFirstFailedTransfer) {
    struct {
        int firstFailing, lastFailing;  // transfers 0..5 of the upload
        int error;
        const char *phrase;
    } cases[] = {
        {3, 3, EABO, "Upload failed at the block upload (7224 bytes) (ERR, EABO)"},
        {2, 5, ENOL, "Upload failed at the byte order command (ERR, ENOL)"},
        {1, 1, EBUS, "Upload failed at the amplitude command (ERR, EBUS)"},
        {5, 5, ENOL, "Upload failed at the output function command (ERR, ENOL)"},
    };
    runGenerator([&] {
        for (const auto &c : cases) {
            SCOPED_TRACE(c.phrase);
            int next = (int)bus().size();
            bus().fail(c.error, next + c.firstFailing, next + c.lastFailing);
            typeValue(PANEL_AMPL, 4.5, 3);
            bus().fail(0, -1, -2);
            ASSERT_EQ(bus().size(), (size_t)next + 8)
                << "every transfer still runs, and the error query after them";
            std::string status = statusLine();
            EXPECT_EQ(status.rfind(c.phrase, 0), 0u) << status;
            std::string count =
                std::to_string(c.lastFailing - c.firstFailing + 1) + " of 6 transfers failed";
            EXPECT_NE(status.find(count), std::string::npos) << status;
            EXPECT_EQ(intValue(PANEL_BUSY), 0);
        }
    });
}

TEST(GeneratorPanel, CloseBoxQuitsThroughTheQuitButton) {
    int exitCode = runGenerator([] {
        QWidget *panel = userint_testing::panel_widget(PANEL);
        ASSERT_NE(panel, nullptr);
        panel->close();
        QApplication::processEvents();
    });
    EXPECT_EQ(exitCode, 0);
    ASSERT_FALSE(bus().calls().empty());
    EXPECT_EQ(bus().calls().back().routine, "EnableLocal");
    int locals = 0;
    for (const BusCall &c : bus().calls()) locals += c.routine == "EnableLocal";
    EXPECT_EQ(locals, 1);
}

TEST(GeneratorPanel, IdentifiersAgreeWithThePanelFile) {
    runGenerator([&] {
        panel_agreement::expect_controls(
            PANEL, {
                       {"PANEL_AMPL", PANEL_AMPL, "QDoubleSpinBox", "Amplitude"},
                       {"PANEL_FREQ", PANEL_FREQ, "QDoubleSpinBox", "Frequency"},
                       {"PANEL_ANGLE", PANEL_ANGLE, "QDoubleSpinBox", "Angle"},
                       {"PANEL_DECADE", PANEL_DECADE, "QComboBox", "decade"},
                       {"PANEL_BUSY", PANEL_BUSY, "QLabel", "Busy"},
                       {"PANEL_GRAPH", PANEL_GRAPH, "QChartView", "Preview"},
                       {"PANEL_QUIT", PANEL_QUIT, "QPushButton", "Quit"},
                       {"PANEL_IDN", PANEL_IDN, "QPushButton", "Identify"},
                       {"PANEL_STATUS", PANEL_STATUS, "QLabel", "Status"},
                   });
        EXPECT_EQ(panel_agreement::ring_items(PANEL, PANEL_DECADE, "|"),
                  "1 Hz|10 Hz|100 Hz|1 kHz|10 kHz|100 kHz|1 MHz");

        // Each value in the type the program reads it into and within the program's own
        // limits, so that a panel and the program cannot drift apart.
        panel_agreement::expect_float_fields(PANEL, {{"PANEL_FREQ", PANEL_FREQ, 0.0, 9.999},
                                                     {"PANEL_AMPL", PANEL_AMPL, 0.05, 10.0},
                                                     {"PANEL_ANGLE", PANEL_ANGLE, 0.0, 180.0}});
        panel_agreement::expect_ring_reads_item_index<signed char>(PANEL, PANEL_DECADE,
                                                                   "PANEL_DECADE");
        int busy = -1;
        EXPECT_EQ(GetCtrlVal(PANEL, PANEL_BUSY, &busy), 0) << "PANEL_BUSY is an int lamp";

        // Tab order: the settings top to bottom, then the buttons.
        QWidget *first = control(PANEL_FREQ);
        QTest::mouseClick(first, Qt::LeftButton, Qt::NoModifier, QPoint(8, first->height() / 2));
        std::vector<std::string> visited;
        for (int k = 0; k < 6; k++) {
            visited.push_back(QApplication::focusWidget()
                                  ? QApplication::focusWidget()->objectName().toStdString()
                                  : "(none)");
            ASSERT_NE(QApplication::focusWidget(), nullptr) << "focus lost after " << k << " tabs";
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        }
        EXPECT_EQ(visited, (std::vector<std::string>{"PANEL_FREQ", "PANEL_DECADE", "PANEL_AMPL",
                                                     "PANEL_ANGLE", "PANEL_IDN", "PANEL_QUIT"}));
    });
}

// On a comma-decimal desktop the instrument still gets a decimal point.
class GeneratorLocale : public testing::TestWithParam<const char *> {};

TEST_P(GeneratorLocale, CommandsKeepTheDecimalPoint) {
    const char *name = GetParam();
    locale_t probe = newlocale(LC_ALL_MASK, name, (locale_t)0);
    ASSERT_NE(probe, (locale_t)0) << "locale " << name << " is missing: run scripts/deps.sh";
    freelocale(probe);
    setenv("LC_ALL", name, 1);
    setenv("LANG", name, 1);
    runGenerator([] {
        ASSERT_STREQ(std::localeconv()->decimal_point, ",")
            << "the run-time did not take the desktop's locale, so this proves nothing";
        expectUpload(bus().sendsFrom(0), "freq 10000.000000", "volt 4.500000", 0.0f);
        EXPECT_EQ(statusLine(), GOOD_STATUS);
        typeValue(PANEL_AMPL, 2.25, 3);
        typeValue(PANEL_FREQ, 1.5, 3);
        expectUpload(lastUpload(), "freq 15000.000000", "volt 2.250000", 0.0f);
        EXPECT_EQ(statusLine(), "Sent all 6 transfers: 15000 Hz, 2.25 Vpp, angle 0\u00b0");
    });
}

INSTANTIATE_TEST_SUITE_P(CommaDecimal, GeneratorLocale,
                         testing::Values("de_DE.UTF-8", "cs_CZ.UTF-8"),
                         [](const testing::TestParamInfo<const char *> &info) {
                             return std::string(info.param).substr(0, 2);
                         });

}  // namespace
