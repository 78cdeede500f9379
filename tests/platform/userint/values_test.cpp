// SPDX-License-Identifier: GPL-3.0-or-later
// Tests of the GUI run-time's control values: typed access (GetCtrlVal reads
// only into the declared type), SetCtrlVal's coercion, numbers in a comma
// locale, and changes that are on screen before a callback returns. Runs
// offscreen.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <cmath>
#include <functional>

#include "bench_panel.h"
#include "panel_operator.h"
#include "userint.h"
#include "userint_testing.h"

namespace {

using namespace bench_panel;
using panel_operator::typeInto;

// ---- Values ------------------------------------------------------------------------------

TEST_F(PanelTest, TypedAccessReadsOnlyIntoTheDeclaredType) {
    float f = 0;
    EXPECT_EQ(GetCtrlVal(PANEL, AMPL, &f), 0);
    EXPECT_FLOAT_EQ(f, 4.5f);
    int i = 0;
    EXPECT_EQ(GetCtrlVal(PANEL, COUNT, &i), 0);
    EXPECT_EQ(i, 5);

    // A refused read of a narrower or wider variable writes nothing, not even
    // next to it.
    struct Guarded {
        unsigned char value = 0xAB;
        unsigned char after[15];
    } g;
    std::fill(std::begin(g.after), std::end(g.after), 0xCD);
    EXPECT_EQ(GetCtrlVal(PANEL, AMPL, &g.value), UIE_TYPE_MISMATCH)
        << "float control read into unsigned char";
    EXPECT_EQ(g.value, 0xAB);
    EXPECT_TRUE(std::all_of(std::begin(g.after), std::end(g.after),
                            [](unsigned char b) { return b == 0xCD; }));
    double d = -1;
    EXPECT_EQ(GetCtrlVal(PANEL, AMPL, &d), UIE_TYPE_MISMATCH) << "float control read into double";
    EXPECT_EQ(d, -1);
    signed char sc = 9;
    EXPECT_EQ(GetCtrlVal(PANEL, COUNT, &sc), UIE_TYPE_MISMATCH)
        << "int control read into signed char";
    EXPECT_EQ(sc, 9);
    unsigned char uc = 9;
    EXPECT_EQ(GetCtrlVal(PANEL, DECADE, &uc), UIE_TYPE_MISMATCH)
        << "schar ring read into unsigned char";
    char text[64] = "unchanged";
    EXPECT_EQ(GetCtrlVal(PANEL, AMPL, text), UIE_TYPE_MISMATCH) << "float control read as text";
    EXPECT_STREQ(text, "unchanged");
    EXPECT_EQ(GetCtrlVal(PANEL, RUN, &i), UIE_TYPE_MISMATCH) << "a button holds no value";
    EXPECT_EQ(GetCtrlVal(PANEL, 99, &i), UIE_BAD_CONTROL);
    EXPECT_EQ(GetCtrlVal(5, AMPL, &f), UIE_BAD_PANEL);
}

TEST_F(PanelTest, SetCtrlValCoercesAndNeverCallsBack) {
    struct Case {
        const char *what;
        std::function<int()> set;
        int result;
        std::function<double()> read;
        double expected;
    };
    auto readAmpl = [] {
        float v = -1;
        GetCtrlVal(PANEL, AMPL, &v);
        return double(v);
    };
    auto readCount = [] {
        int v = -1;
        GetCtrlVal(PANEL, COUNT, &v);
        return double(v);
    };
    auto readDecade = [] {
        signed char v = -1;
        GetCtrlVal(PANEL, DECADE, &v);
        return double(v);
    };
    auto readBusy = [] {
        int v = -1;
        GetCtrlVal(PANEL, BUSY, &v);
        return double(v);
    };
    const Case cases[] = {
        {"float in range", [] { return SetCtrlVal(PANEL, AMPL, 2.5f); }, 0, readAmpl, 2.5},
        {"above the maximum", [] { return SetCtrlVal(PANEL, AMPL, 20.0f); }, 0, readAmpl, 10.0},
        {"below the minimum", [] { return SetCtrlVal(PANEL, AMPL, -3.0); }, 0, readAmpl, 0.0},
        {"int literal to a float control", [] { return SetCtrlVal(PANEL, AMPL, 1); }, 0, readAmpl,
         1.0},
        {"double to a float control", [] { return SetCtrlVal(PANEL, AMPL, 2000.0 / 666); }, 0,
         readAmpl, 3.003},
        {"NaN refused", [] { return SetCtrlVal(PANEL, AMPL, std::nan("")); }, UIE_BAD_ARGUMENT,
         readAmpl, 3.003},
        {"double to int truncates", [] { return SetCtrlVal(PANEL, COUNT, -7.9); }, 0, readCount,
         -7},
        {"int above range", [] { return SetCtrlVal(PANEL, COUNT, 1000); }, 0, readCount, 100},
        {"ring by item value", [] { return SetCtrlVal(PANEL, DECADE, 5); }, 0, readDecade, 5},
        {"ring value not an item", [] { return SetCtrlVal(PANEL, DECADE, 3); }, UIE_BAD_ARGUMENT,
         readDecade, 5},
        {"lamp on", [] { return SetCtrlVal(PANEL, BUSY, 1); }, 0, readBusy, 1},
        {"lamp off", [] { return SetCtrlVal(PANEL, BUSY, 0); }, 0, readBusy, 0},
        {"text to a numeric control", [] { return SetCtrlVal(PANEL, AMPL, "5"); },
         UIE_TYPE_MISMATCH, readAmpl, 3.003},
        {"number to a text control", [] { return SetCtrlVal(PANEL, RMS, 5); }, UIE_TYPE_MISMATCH,
         readAmpl, 3.003},
        {"number to a button", [] { return SetCtrlVal(PANEL, RUN, 1); }, UIE_TYPE_MISMATCH,
         readAmpl, 3.003},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(c.set(), c.result) << c.what;
        EXPECT_NEAR(c.read(), c.expected, 1e-6) << c.what;
    }
    EXPECT_EQ(control<QComboBox>(DECADE)->currentIndex(), 2);
    EXPECT_EQ(control<QDoubleSpinBox>(AMPL)->text().toStdString(), "3.003")
        << "numbers show with a decimal point";

    EXPECT_EQ(SetCtrlVal(PANEL, RMS, "0.707107 <b>V</b>"), 0);
    char text[64] = {};
    EXPECT_EQ(GetCtrlVal(PANEL, RMS, text), 0);
    EXPECT_STREQ(text, "0.707107 <b>V</b>");
    EXPECT_TRUE(events.empty()) << "SetCtrlVal must not call callbacks, got " << events.size()
                                << " events";
}

TEST_F(PanelTest, EditPendingWhenSetCtrlValArrivesIsForgotten) {
    typeInto(control<QDoubleSpinBox>(AMPL), "9");
    SetCtrlVal(PANEL, AMPL, 1.0);
    QTest::keyClick(control<QDoubleSpinBox>(AMPL), Qt::Key_Tab);
    EXPECT_EQ(count_for(AMPL), 0)
        << "the program's value replaced the edit; leaving is not a commit";
    float v = 0;
    GetCtrlVal(PANEL, AMPL, &v);
    EXPECT_FLOAT_EQ(v, 1.0f);
}

TEST(NumericLocale, NumbersKeepTheDecimalPointInACommaLocale) {
    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::Czech, QLocale::Czechia));
    const int handle = LoadPanel(0, "bench.uir", 1);
    ASSERT_GT(handle, 0);
    auto *ampl = qobject_cast<QDoubleSpinBox *>(userint_testing::control_widget(handle, AMPL));
    EXPECT_EQ(ampl->text().toStdString(), "4.500");
    SetCtrlVal(handle, AMPL, 2.25);
    EXPECT_EQ(ampl->text().toStdString(), "2.250");
    DisplayPanel(handle);
    typeInto(ampl, "3.75");
    QTest::keyClick(ampl, Qt::Key_Return);
    float v = 0;
    GetCtrlVal(handle, AMPL, &v);
    EXPECT_FLOAT_EQ(v, 3.75f) << "the operator types numbers with a decimal point";
    DiscardPanel(handle);
    QLocale::setDefault(before);
}

// A Czech operator types a decimal comma; the field takes it as the point and shows
// (and hands the program) the number with a point.
TEST(NumericLocale, DecimalCommaIsTakenAsThePoint) {
    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::Czech, QLocale::Czechia));
    const int handle = LoadPanel(0, "bench.uir", 1);
    ASSERT_GT(handle, 0);
    DisplayPanel(handle);
    auto *ampl = qobject_cast<QDoubleSpinBox *>(userint_testing::control_widget(handle, AMPL));
    for (const char *typed : {"2,5", "2.5"}) {
        SCOPED_TRACE(typed);
        SetCtrlVal(handle, AMPL, 1.0);
        typeInto(ampl, typed);
        EXPECT_EQ(ampl->text().toStdString(), "2.5") << "what is shown keeps a point";
        QTest::keyClick(ampl, Qt::Key_Return);
        float v = 0;
        GetCtrlVal(handle, AMPL, &v);
        EXPECT_FLOAT_EQ(v, 2.5f);
        EXPECT_EQ(ampl->text().toStdString(), "2.500");
    }
    DiscardPanel(handle);
    QLocale::setDefault(before);
}

// ---- Immediate effects --------------------------------------------------------------------

TEST_F(PanelTest, ChangesAreOnScreenBeforeTheCallbackReturns) {
    QTest::qWait(50);  // first paint of the panel
    QWidget *lamp = userint_testing::control_widget(PANEL, BUSY);
    QWidget *graph = userint_testing::control_widget(PANEL, GRAPH);
    const QRect lampArea(lamp->mapTo(panel, QPoint(4, 4)), lamp->size() - QSize(8, 8));
    const QRect graphArea(graph->mapTo(panel, QPoint(0, 0)), graph->size());
    ASSERT_EQ(pixels_of_colour(on_screen(panel), lampArea, 0x00ff00), 0) << "the lamp starts dark";

    int litPixels = -1, redPixels = -1, redAfterDelete = -1;
    inside_commit = [&](int id) {
        if (id != RUN) return;
        // As a measurement does: lamp on, plot, and keep the panel busy.
        SetCtrlVal(1, BUSY, 1);
        litPixels = pixels_of_colour(on_screen(panel), lampArea, 0x00ff00);
        short wave[200];
        for (int i = 0; i < 200; ++i) wave[i] = static_cast<short>(i * 100 - 10000);
        PlotWaveform(1, GRAPH, wave, 200, WAVE_INT16, 1.0, 0.0, 0.0, 1.0, 0, 1, 0, 1, 0xFF0000);
        redPixels = pixels_of_colour(on_screen(panel), graphArea, 0xFF0000);
        DeleteGraphPlot(1, GRAPH, -1, 1);
        redAfterDelete = pixels_of_colour(on_screen(panel), graphArea, 0xFF0000);
    };
    QTest::mouseClick(control<QPushButton>(RUN), Qt::LeftButton);
    EXPECT_EQ(litPixels, lampArea.width() * lampArea.height())
        << "the lamp must be lit on screen while the callback still runs";
    EXPECT_GT(redPixels, 100) << "the plot must be on screen while the callback still runs";
    EXPECT_EQ(redAfterDelete, 0) << "deleting all plots must clear the graph at once";
}

}  // namespace
