// SPDX-License-Identifier: GPL-3.0-or-later
// The generator program in a real X11 window on the simulated bench, operated
// with real key presses through its mnemonics and tab order. What it did is read
// from the simulated instrument (its published output and its bus log), what it
// shows from the clipboard and from screenshots.
#include <gtest/gtest.h>

#include <string>

#include "real_window_test.h"

namespace e2e {
namespace {

constexpr char kTitle[] = "^Waveform generator";

class GeneratorWindow : public RealWindowTest {
protected:
    std::unique_ptr<Process> generator;
    unsigned long window = 0;

    // Starts the program and waits for its window and its start-up upload.
    void start_generator() {
        generator = start(LABBENCH_GENERATOR_PATH);
        window = window_of(*generator, kTitle);
        ASSERT_NE(window, 0u);
        ASSERT_TRUE(wait_until([&] { return uploads() >= 1; }, 20s))
            << "the start-up upload did not reach the simulated instrument; bus log:\n"
            << read_file(bus_log());
    }

    // Types `text` into the control reached by `mnemonic` and commits it with
    // Return, then waits for the upload that the commit starts.
    void commit_text(const std::string &mnemonic, const std::string &text) {
        const int before = uploads();
        ASSERT_TRUE(pressed(window, {mnemonic, "ctrl+a"}));
        ASSERT_TRUE(typed(text));
        ASSERT_TRUE(pressed(window, {"Return"}));
        ASSERT_TRUE(wait_until([&] { return uploads() > before; }, 20s))
            << "committing " << text << " (" << mnemonic << ") started no upload; bus log:\n"
            << read_file(bus_log());
    }

    // Chooses a decade with keys on the closed ring (e.g. "End" = the last) and
    // waits for the upload that choosing it starts.
    void choose_decade(const std::vector<std::string> &moves) {
        const int before = uploads();
        std::vector<std::string> keys{"alt+d"};
        keys.insert(keys.end(), moves.begin(), moves.end());
        ASSERT_TRUE(pressed(window, keys));
        ASSERT_TRUE(wait_until([&] { return uploads() > before; }, 20s))
            << "choosing a decade started no upload; bus log:\n"
            << read_file(bus_log());
    }
};

// Entries of the table the instrument must hold, for angles 0 and 90 (codes from
// 2047 sin(0.001745 i) truncated; zero runs of 10 entries per degree).
struct TableEntry {
    int index;
    int angle_0;
    int angle_90;
};
constexpr TableEntry kTableEntries[] = {
    // clang-format off
    {   0,     0,     0},
    {   1,     3,     0},
    { 450,  1447,     0},
    { 900,  2046,     0},
    { 901,  2046,  2046},
    {1000,  2016,  2016},
    {1799,     4,     4},
    {1800,     0,     0},
    {1801,    -2,     0},
    {2700, -2046,     0},
    {2701, -2046, -2046},
    {3599,    -5,    -5},
    // clang-format on
};

TEST_F(GeneratorWindow, StartUpUploadReachesTheInstrumentAndAngle90ReplacesTheWaveform) {
    ASSERT_NO_FATAL_FAILURE(start_generator());
    benchsim::BenchOutput output = instrument();
    EXPECT_EQ(output.function, "USER");
    EXPECT_DOUBLE_EQ(output.frequency_hz, 10000.0);
    EXPECT_DOUBLE_EQ(output.amplitude_vpp, 4.5);
    EXPECT_TRUE(output.remote)
        << "the instrument should be in remote control while the program runs";
    ASSERT_EQ(output.points.size(), 3600u);
    for (const auto &entry : kTableEntries)
        EXPECT_EQ(output.points[entry.index], entry.angle_0)
            << "entry " << entry.index << " after start-up";

    ASSERT_NO_FATAL_FAILURE(commit_text("alt+n", "90"));
    output = instrument();
    ASSERT_EQ(output.points.size(), 3600u);
    for (const auto &entry : kTableEntries)
        EXPECT_EQ(output.points[entry.index], entry.angle_90)
            << "entry " << entry.index << " at angle 90";
    EXPECT_DOUBLE_EQ(output.frequency_hz, 10000.0);
    save_screenshot(window, "generator.png");
}

TEST_F(GeneratorWindow, FrequencyOneAndAHalfAtTheTopDecadeIsClampedToOneMegahertz) {
    ASSERT_NO_FATAL_FAILURE(start_generator());
    ASSERT_NO_FATAL_FAILURE(choose_decade({"End"}));
    EXPECT_EQ(last_sent("freq "), "freq 1000000.000000");

    ASSERT_NO_FATAL_FAILURE(commit_text("alt+f", "1.5"));
    EXPECT_EQ(last_sent("freq "), "freq 1000000.000000")
        << "1.5 in the 1 MHz decade must be clamped";
    EXPECT_DOUBLE_EQ(instrument().frequency_hz, 1e6);
    // The panel corrects the value to 1 (shown with the control's 3 decimals).
    ASSERT_TRUE(pressed(window, {"alt+f"}));
    EXPECT_EQ(desktop->copy_focused_text(window).value_or("(nothing copied)"), "1.000");
    // And the decade shows 6: committing the value unchanged recomputes the
    // frequency from both controls.
    const int before = uploads();
    ASSERT_TRUE(pressed(window, {"Return"}));
    ASSERT_TRUE(wait_until([&] { return uploads() > before; }, 20s)) << "Return started no upload";
    EXPECT_EQ(last_sent("freq "), "freq 1000000.000000") << "the decade no longer shows 1 MHz";
    save_screenshot(window, "generator-1MHz.png");
}

TEST_F(GeneratorWindow, IdentifyShowsTheInstrumentsAnswerUntilDismissed) {
    ASSERT_NO_FATAL_FAILURE(start_generator());
    ASSERT_TRUE(pressed(window, {"alt+i"}));
    auto popup = desktop->find_window(generator->pid(), "^IDN$");
    ASSERT_TRUE(popup) << "no popup titled IDN appeared; bus log:\n" << read_file(bus_log());
    EXPECT_EQ(last_sent("*idn?"), "*idn?");
    EXPECT_EQ(bus().back().routine, "Receive");
    save_screenshot(window, "generator-identify.png", /*with_popups=*/true);

    ASSERT_TRUE(pressed(*popup, {"Return"}));
    EXPECT_TRUE(
        wait_until([&] { return !desktop->window_visible(generator->pid(), "^IDN$"); }, 20s))
        << "Return did not dismiss the popup";
    EXPECT_TRUE(generator->running());
    EXPECT_TRUE(desktop->window_visible(generator->pid(), kTitle));
}

TEST_F(GeneratorWindow, CloseBoxEndsTheProgramWithTheInstrumentBackInLocal) {
    ASSERT_NO_FATAL_FAILURE(start_generator());
    ASSERT_EQ(desktop->request_close(window), "");
    auto status = generator->wait_exit(20s);
    ASSERT_TRUE(status) << "the program did not end within 20 s of the close request";
    EXPECT_EQ(*status, 0) << generator->output();
    ASSERT_FALSE(bus().empty());
    EXPECT_EQ(bus().back().routine, "EnableLocal") << bus().back().line;
    EXPECT_NE(bus().back().line.find(" addr=8 "), std::string::npos) << bus().back().line;
    EXPECT_FALSE(instrument().remote) << "the instrument should be back in local control";
}

}  // namespace
}  // namespace e2e
