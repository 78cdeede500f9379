// SPDX-License-Identifier: GPL-3.0-or-later
// The deska program in a real X11 window on the simulated bench, operated with
// real key presses. The simulated board measures what the simulated instrument
// outputs, so with the generator program running beside it deska must show the
// RMS of the generator's waveform. Its read-outs are read through the clipboard
// (the operator's copy), the busy indicator from screenshots.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <utility>

#include "real_window_test.h"

namespace e2e {
namespace {

constexpr char kDeskaTitle[] = "^deska: ";
constexpr char kGeneratorTitle[] = "^Waveform generator";
constexpr unsigned kLampOn = 0xe02020;  // the busy indicator's onColour in deska.uir

// RMS of a phase-cut sine of A volts peak to peak whose half-periods are held at
// zero up to the angle alpha (radians).
double phase_cut_sine_rms(double amplitude_vpp, double alpha) {
    return amplitude_vpp / 2 * std::sqrt((M_PI - alpha + std::sin(2 * alpha) / 2) / (2 * M_PI));
}

// The RMS of that waveform sampled `per_period` times a period, the first sample
// `offset` (0 to 1) of a sample step after the period's start: the smallest and the
// largest over every offset. Samples that fall just before or just after a cut edge
// make the figure differ by a sample at the peak.
std::pair<double, double> sampled_phase_cut_sine_rms(double amplitude_vpp, double alpha,
                                                     int per_period) {
    double lowest = INFINITY, highest = 0;
    for (int step = 0; step < 100; ++step) {
        double sum = 0;
        for (int i = 0; i < per_period; ++i) {
            const double theta = 2 * M_PI * (i + step / 100.0) / per_period;
            const double v =
                std::fmod(theta, M_PI) < alpha ? 0.0 : amplitude_vpp / 2 * std::sin(theta);
            sum += v * v;
        }
        const double rms = std::sqrt(sum / per_period);
        lowest = std::min(lowest, rms);
        highest = std::max(highest, rms);
    }
    return {lowest, highest};
}

// Overruns the simulated board reported (BOARD_SIM_TRACE) since the last capture started.
bool last_capture_overran(const std::string &trace) {
    auto start = trace.rfind("conversion started");
    return start != std::string::npos && trace.find("overruns so far", start) != std::string::npos;
}

double number(const std::optional<std::string> &text) {
    return text ? std::strtod(text->c_str(), nullptr) : NAN;
}

class DeskaWindow : public RealWindowTest {
protected:
    std::unique_ptr<Process> generator;
    unsigned long generator_window = 0;

    // Starts the generator program and sets it, through its panel, to the angle-90
    // waveform at `frequency_hz`: the value typed, then the decade chosen with
    // `decade_keys` on the ring (which starts at 10 kHz). Typed as the README says:
    // Alt+letter selects the field's whole text, so the typing replaces it.
    void start_generator(const std::string &value, const std::vector<std::string> &decade_keys,
                         double frequency_hz) {
        generator = start(LABBENCH_GENERATOR_PATH);
        generator_window = window_of(*generator, kGeneratorTitle);
        ASSERT_NE(generator_window, 0u);
        for (const auto &[mnemonic, text] :
             {std::pair{"alt+n", "90"}, std::pair{"alt+f", value.c_str()}}) {
            ASSERT_TRUE(pressed(generator_window, {mnemonic}));
            ASSERT_TRUE(typed(text));
            ASSERT_TRUE(pressed(generator_window, {"Return"}));
        }
        std::vector<std::string> keys{"alt+d"};
        keys.insert(keys.end(), decade_keys.begin(), decade_keys.end());
        ASSERT_TRUE(pressed(generator_window, keys));
        ASSERT_TRUE(wait_until(
            [&] {
                benchsim::BenchOutput out;
                std::string error;
                return benchsim::read_bench_state(state_file().string(), out, error) &&
                       out.frequency_hz == frequency_hz && out.points.size() == 3600 &&
                       out.points[901] == 2046 && out.points[1800] == 0;
            },
            20s))
            << "the instrument did not get the angle-90 waveform at " << frequency_hz
            << " Hz; bus log:\n"
            << read_file(bus_log());
    }
};

TEST_F(DeskaWindow, OneRunShowsTheRmsOfTheGeneratorsPhaseCutSine) {
    // 1.91 in the 100 Hz decade: 191 Hz, 4.5 Vpp (the generator's default amplitude).
    ASSERT_NO_FATAL_FAILURE(start_generator("1.91", {"Home", "Down", "Down"}, 191.0));

    // deska at 0.5 kHz: 1000 samples cover 382 whole periods and fall on 500 phases
    // spread evenly over the period, each 0.382 of a period after the one before, so
    // that a run missing a few samples (a busy machine) still sees the period evenly;
    // a sample is due every 2 ms. Gain x2: the converter sees twice the input.
    auto deska = start(LABBENCH_DESKA_PATH, {{"BOARD_SIM_TRACE", "1"}});
    unsigned long window = window_of(*deska, kDeskaTitle);
    ASSERT_NE(window, 0u);
    ASSERT_TRUE(pressed(window, {"alt+f", "ctrl+a"}));
    ASSERT_TRUE(typed("0.5"));
    ASSERT_TRUE(pressed(window, {"Return", "alt+g", "Home", "Down"}));

    const double expected = phase_cut_sine_rms(4.5, M_PI / 2);
    double at_input = NAN, at_converter = NAN;
    std::string clipboard;
    // A run on a machine too busy to read every sample in time (overruns) samples
    // the period unevenly; the operator would run again, and so does the test.
    for (int attempt = 1; attempt <= 3; ++attempt) {
        // Through the tab order: gain, Run (Space runs), then the converter's read-out.
        ASSERT_TRUE(pressed(window, {"alt+g", "Tab", "space", "Tab"}));
        // The 2 s capture runs with the window alive, so keys reach it meanwhile: the
        // read-outs are copied once the busy lamp, lit for the capture, is out again.
        auto lamp_pixels = [&] {
            const auto png = run_dir / "capture.png";
            return desktop->screenshot(window, png).empty() ? count_pixels(png, kLampOn) : -1;
        };
        (void)wait_until([&] { return lamp_pixels() >= 100; }, 5s);
        ASSERT_TRUE(wait_until([&] { return lamp_pixels() == 0; }, 60s))
            << "the capture did not end within 60 s; deska's output:\n"
            << deska->output();
        auto converter_text = desktop->copy_focused_text(window, clipboard);
        ASSERT_TRUE(converter_text) << "no RMS could be copied; deska's output:\n"
                                    << deska->output();
        clipboard = *converter_text;
        ASSERT_TRUE(pressed(window, {"Tab"}));  // the input read-out
        auto input_text = desktop->copy_focused_text(window, clipboard);
        ASSERT_TRUE(input_text) << "the input RMS could not be copied";
        clipboard = *input_text;
        at_converter = number(converter_text);
        at_input = number(input_text);
        if (std::abs(at_input - expected) <= 0.01 * expected ||
            !last_capture_overran(deska->output()))
            break;
    }
    EXPECT_NEAR(at_input, expected, 0.01 * expected)
        << "RMS at the input for angle 90 and 4.5 Vpp; the board's trace:\n"
        << deska->output();
    EXPECT_NEAR(at_converter, 2 * at_input, 2e-6) << "gain x2: the converter sees twice the input";
    save_screenshot(window, "deska-191Hz.png");

    ASSERT_TRUE(pressed(window, {"alt+q"}));
    auto status = deska->wait_exit(20s);
    ASSERT_TRUE(status) << "Quit did not end deska within 20 s";
    EXPECT_EQ(*status, 0);
}

// The README's walk-through, typed key by key: generator at angle 90 and 2 Hz, deska
// at 0.2 kHz (typed over the freshly started field's 10.000000), Run. Meanwhile the
// busy indicator is lit, and the close box changes nothing. Five seconds later deska
// shows the RMS of a 4.5 Vpp sine cut at 90 degrees over ten periods.
TEST_F(DeskaWindow, ReadmeWalkThroughTypedKeyByKeyShowsTheCutSinesRmsWithTheLampLitMeanwhile) {
    ASSERT_NO_FATAL_FAILURE(start_generator("2", {"Home"}, 2.0));
    auto deska = start(LABBENCH_DESKA_PATH);
    unsigned long window = window_of(*deska, kDeskaTitle);
    ASSERT_NE(window, 0u);
    const auto idle_png = run_dir / "idle.png";
    ASSERT_EQ(desktop->screenshot(window, idle_png), "");
    ASSERT_EQ(count_pixels(idle_png, kLampOn), 0) << "the busy indicator is lit before any run";

    // deska has no close control: a close request leaves the window as it is.
    ASSERT_EQ(desktop->request_close(window), "");

    // 0.2 kHz: 1000 samples take 5 s.
    ASSERT_TRUE(pressed(window, {"alt+f"}));
    ASSERT_TRUE(typed("0.2"));
    ASSERT_TRUE(pressed(window, {"Return", "alt+r"}));
    const auto started = Clock::now();
    long lit = 0;
    int shot = 0;
    bool seen_lit = wait_until(
        [&] {
            const auto png = run_dir / ("measuring-" + std::to_string(++shot) + ".png");
            if (!desktop->screenshot(window, png).empty()) return false;
            lit = count_pixels(png, kLampOn);
            if (lit < 100) return false;
            save_screenshot(window, "deska-measuring.png");
            return true;
        },
        5s);
    EXPECT_TRUE(seen_lit) << "no screenshot during the 5 s capture showed the lit indicator ("
                          << lit << " pixels of its colour)";
    bool seen_off = wait_until(
        [&] {
            const auto png = run_dir / "after.png";
            return desktop->screenshot(window, png).empty() && count_pixels(png, kLampOn) == 0;
        },
        60s);
    ASSERT_TRUE(seen_off) << "the indicator stayed lit after the capture";
    EXPECT_GE(Clock::now() - started, 4s) << "1000 samples at 0.2 kHz take 5 s";
    save_screenshot(window, "deska.png");
    EXPECT_TRUE(deska->running()) << "the close request ended deska:\n" << deska->output();
    EXPECT_TRUE(desktop->window_visible(deska->pid(), kDeskaTitle));

    // The converter's read-out follows gain and Run in the tab order (gain x1: it
    // shows the input's RMS).
    ASSERT_TRUE(pressed(window, {"alt+g", "Tab", "Tab"}));
    const std::optional<std::string> rms = desktop->copy_focused_text(window, "");
    ASSERT_TRUE(rms) << "no RMS could be copied; deska's output:\n" << deska->output();
    // About 1.125 V, as the README says: 100 samples a period, each period's samples at
    // the same phases, so the figure lies between the sampled waveform's extremes.
    EXPECT_NEAR(phase_cut_sine_rms(4.5, M_PI / 2), 1.125, 1e-12) << "the README's figure";
    const auto [lowest, highest] = sampled_phase_cut_sine_rms(4.5, M_PI / 2, 100);
    EXPECT_GT(number(rms), lowest * 0.995) << deska->output();
    EXPECT_LT(number(rms), highest * 1.005) << deska->output();
    // The frequency field says what the board was set to: 0.2 kHz exactly.
    ASSERT_TRUE(pressed(window, {"alt+f"}));
    EXPECT_EQ(desktop->copy_focused_text(window, *rms).value_or("(nothing copied)"), "0.200000");

    // The graph's context menu as the README shows it: a right click on the graph, which
    // fills the right-hand part of the window, and a screenshot with the menu over it.
    const ToolResult geometry =
        desktop->tool({"xdotool", "getwindowgeometry", "--shell", std::to_string(window)});
    ASSERT_EQ(geometry.status, 0) << geometry.describe();
    const std::smatch size = [&] {
        std::smatch match;
        static const std::regex kSize("WIDTH=([0-9]+)\\s+HEIGHT=([0-9]+)");
        std::regex_search(geometry.out, match, kSize);
        return match;
    }();
    ASSERT_EQ(size.size(), 3u) << geometry.out;
    const int width = std::stoi(size[1].str()), height = std::stoi(size[2].str());
    const ToolResult click =
        desktop->tool({"xdotool", "mousemove", "--window", std::to_string(window),
                       std::to_string(width * 6 / 10), std::to_string(height / 3), "click", "3"});
    ASSERT_EQ(click.status, 0) << click.describe();
    // The menu is drawn within a frame or two; a picture taken early only lacks it.
    (void)wait_until([] { return false; }, 1s);
    save_screenshot(window, "deska-graph-menu.png", /*with_popups=*/true);
    ASSERT_TRUE(pressed(window, {"Escape"}));

    ASSERT_TRUE(pressed(window, {"alt+q"}));
    auto status = deska->wait_exit(20s);
    ASSERT_TRUE(status) << "Quit did not end deska within 20 s";
    EXPECT_EQ(*status, 0) << deska->output();
}

// deska as a scope, keyed as the README says: the generator's 100 Hz sine cut at 90
// degrees, deska at 10 kHz (ten periods) triggered on the rising edge through 0.5 V, an
// uncut sine of the same amplitude from its peak opened as the reference (Ctrl+O), and
// the cursors shown on the focused graph (C), the second moved back half the view.
// Triggered, the capture starts at the cut edge of a positive half-period, where the
// signal jumps from 0 to near its peak: the copied data's first sample is near the peak.
TEST_F(DeskaWindow, TriggeredCaptureWithCursorsAndAReference) {
    ASSERT_NO_FATAL_FAILURE(start_generator("1", {"Home", "Down", "Down"}, 100.0));
    const std::filesystem::path reference = run_dir / "uncut-sine.csv";
    {
        std::ofstream csv(reference);
        csv << "time (ms),voltage (V)\n";
        for (int i = 0; i < 1000; ++i)
            csv << i * 0.1 << ',' << 2.25 * std::cos(2 * M_PI * i / 100.0) << '\n';
    }
    auto deska = start(LABBENCH_DESKA_PATH);
    unsigned long window = window_of(*deska, kDeskaTitle);
    ASSERT_NE(window, 0u);
    ASSERT_TRUE(pressed(window, {"alt+f", "ctrl+a"}));
    ASSERT_TRUE(typed("10"));
    // The trigger ring's second item, then the level typed over the field's 0.000.
    ASSERT_TRUE(pressed(window, {"Return", "alt+t", "Home", "Down", "alt+l", "ctrl+a"}));
    ASSERT_TRUE(typed("0.5"));
    ASSERT_TRUE(pressed(window, {"Return", "alt+r"}));

    ASSERT_TRUE(pressed(window, {"ctrl+o"}));
    auto dialog = desktop->find_window(deska->pid(), "^Open reference");
    ASSERT_TRUE(dialog) << "no file dialog opened for Ctrl+O; deska's output:\n" << deska->output();
    // Into the dialog's name field (Alt+N, "File name"), once the dialog has the focus.
    ASSERT_TRUE(pressed(*dialog, {"alt+n", "ctrl+a"}));
    ASSERT_TRUE(typed(reference.string()));
    // A first Return may only close the name field's completion list.
    auto dialog_closed = [&](std::chrono::milliseconds within) {
        return wait_until([&] { return !desktop->window_visible(deska->pid(), "^Open reference"); },
                          within);
    };
    ASSERT_TRUE(pressed(*dialog, {"Return"}));
    if (!dialog_closed(3s)) {
        ASSERT_TRUE(pressed(*dialog, {"Return"}));
    }
    if (!dialog_closed(10s)) {
        (void)desktop->screenshot(window, run_dir / "dialog-left-open.png", /*with_popups=*/true);
        FAIL() << "the file dialog stayed open (see dialog-left-open.png)";
    }

    // The graph precedes the frequency field in the tab order.
    ASSERT_TRUE(pressed(window, {"alt+f", "shift+Tab"}));
    const std::optional<std::string> data = desktop->copy_focused_text(window, "");
    ASSERT_TRUE(data) << "the graph's data could not be copied; deska's output:\n"
                      << deska->output();
    EXPECT_NE(data->find("# Trigger: Rising edge"), std::string::npos) << *data;
    EXPECT_NE(data->find("(reference: uncut-sine.csv)"), std::string::npos) << *data;
    std::istringstream lines(*data);
    std::string line;
    while (std::getline(lines, line) && (line.empty() || line[0] == '#' || !std::isdigit(line[0])))
        ;
    // Sample 1: at most 3.6 degrees past the cut at 90 degrees, within 0.2 % of the
    // 2.25 V peak. Above 2 V allows for the first 7 conversions after the cut missed on
    // a busy machine (27 degrees), where an untriggered capture starts one time in 13;
    // with lost conversions counted in the capture, only above the level.
    const double first = std::strtod(line.substr(line.find('\t') + 1).c_str(), nullptr);
    const bool none_lost = data->find("1000 samples, none lost") != std::string::npos;
    EXPECT_GT(first, none_lost ? 2.0 : 0.5)
        << "the capture does not start at the rising edge: " << line;

    ASSERT_TRUE(pressed(window, {"c", "Tab", "shift+Left", "shift+Left", "shift+Left", "shift+Left",
                                 "shift+Left"}));
    (void)wait_until([] { return false; }, 500ms);  // a frame or two for the cursors
    save_screenshot(window, "deska-scope.png");

    ASSERT_TRUE(pressed(window, {"alt+q"}));
    auto status = deska->wait_exit(20s);
    ASSERT_TRUE(status) << "Quit did not end deska within 20 s";
    EXPECT_EQ(*status, 0) << deska->output();
}

}  // namespace
}  // namespace e2e
