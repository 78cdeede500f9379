// SPDX-License-Identifier: GPL-3.0-or-later
// The waveform table: the codes at the listed entries, the held (zero) runs for
// angles in and out of the panel's range, and that the synthesis stays inside the
// table's buffer whatever the angle.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "generator_harness.h"
#include "generator_ui.h"

namespace {

const std::uint16_t UNTOUCHED = 0xAAAA;

void fillWithMarker() {
    for (unsigned short &entry : Data.b) entry = UNTOUCHED;
}

struct Entry {
    float angle;
    int index;
    std::uint16_t value;  // 16-bit pattern: -2 is 0xFFFE
};

TEST(GeneratorTable, EntriesAtTheListedPoints) {
    // clang-format off
    const Entry cases[] = {
        // angle 0: the whole sine; entries 0 and 1800 are 0 (1800 held, not code 1)
        {0.0f, 0, 0},         {0.0f, 1, 3},          {0.0f, 2, 7},          {0.0f, 450, 1447},
        {0.0f, 882, 2045},    {0.0f, 883, 2046},     {0.0f, 900, 2046},     {0.0f, 1000, 2016},
        {0.0f, 1799, 4},      {0.0f, 1800, 0},       {0.0f, 1801, 0xFFFE},  {0.0f, 2682, 0xF803},
        {0.0f, 2683, 0xF802}, {0.0f, 2700, 0xF802},  {0.0f, 3599, 0xFFFB},
        // angle 90: held up to entries 900 and 2700
        {90.0f, 900, 0},      {90.0f, 901, 2046},    {90.0f, 1799, 4},      {90.0f, 1800, 0},
        {90.0f, 2700, 0},     {90.0f, 2701, 0xF802}, {90.0f, 3599, 0xFFFB},
        // 45.05 as a float is a little below 45.05: held up to 450, not 451
        {45.05f, 450, 0},     {45.05f, 451, 1449},   {45.05f, 2250, 0},     {45.05f, 2251, 0xFA58},
        // 0.7 as a float is a little below 0.7, and its tenfold below 7, though that
        // rounds to 7 in single precision: entries 7 and 1807 follow the sine
        {0.7f, 6, 0},         {0.7f, 7, 25},         {0.7f, 1806, 0},       {0.7f, 1807, 0xFFE9},
        // a negative angle holds nothing, not even entry 1800 (code 1)
        {-30.0f, 0, 0},       {-30.0f, 1, 3},        {-30.0f, 1800, 1},     {-30.0f, 1801, 0xFFFE},
        // the top of the panel's range: the whole period held
        {180.0f, 0, 0},       {180.0f, 900, 0},      {180.0f, 2700, 0},     {180.0f, 3599, 0},
    };
    // clang-format on
    for (const Entry &c : cases) {
        fillWithMarker();
        GenSin(c.angle, 4.5f);
        EXPECT_EQ(Data.b[c.index], c.value) << "angle " << c.angle << ", entry " << c.index;
    }
}

TEST(GeneratorTable, WholeTableForEachAngle) {
    const float angles[] = {0.0f,  90.0f, 45.05f,  180.0f, -30.0f,
                            0.05f, 0.1f,  179.95f, 1e-30f, -1e-30f};
    for (float angle : angles) {
        fillWithMarker();
        GenSin(angle, 4.5f);
        int wrong = 0, first = -1;
        for (int i = 0; i < 3600; i++)
            if (Data.b[i] != expectedEntry(i, angle) && wrong++ == 0) first = i;
        EXPECT_EQ(wrong, 0) << "angle " << angle << ": " << wrong << " entries differ, first "
                            << first << " = " << (first >= 0 ? Data.b[first] : 0) << ", expected "
                            << (first >= 0 ? expectedEntry(first, angle) : 0);
    }
}

TEST(GeneratorTable, AmplitudeDoesNotEnterTheTable) {
    GenSin(30.0f, 0.05f);
    DTyp small = Data;
    GenSin(30.0f, 10.0f);
    for (int i = 0; i < 3600; i++) ASSERT_EQ(Data.b[i], small.b[i]) << "entry " << i;
}

TEST(GeneratorTable, LaterSynthesisKeepsNothingOfAnEarlierOne) {
    GenSin(90.0f, 4.5f);
    GenSin(0.0f, 4.5f);
    for (int i = 0; i < 3600; i++)
        ASSERT_EQ(Data.b[i], expectedEntry(i, 0.0f)) << "entry " << i << " after angles 90, 0";
}

// Past the period the second held run goes on into the spare entries, up to the end
// of the buffer and never beyond, however large, small or undefined the angle.
TEST(GeneratorTable, SpareEntriesAndAnglesOutsideThePanelRange) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        float angle;
        bool periodHeld;  // all 3600 entries 0, else the whole sine
        int lastZeroed;   // last spare entry written 0 (3599: none)
    } cases[] = {
        {180.0f, true, 3600},  {500.0f, true, 6800}, {819.9f, true, 9999}, {820.0f, true, 9999},
        {5000.0f, true, 9999}, {1e9f, true, 9999},   {inf, true, 9999},    {-1e9f, false, 3599},
        {-inf, false, 3599},   {nan, false, 3599},
    };
    for (const Case &c : cases) {
        fillWithMarker();
        GenSin(c.angle, 4.5f);
        for (int i = 0; i < 3600; i++)
            ASSERT_EQ(Data.b[i], c.periodHeld ? 0 : expectedEntry(i, -1.0f))
                << "angle " << c.angle << ", entry " << i;
        for (int i = 3600; i < 10000; i++)
            ASSERT_EQ(Data.b[i], i <= c.lastZeroed ? 0 : UNTOUCHED)
                << "angle " << c.angle << ", spare entry " << i;
    }
}

}  // namespace
