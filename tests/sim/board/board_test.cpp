// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated board seen through its ports: timer loading and the rate it
// gives (measured against the monotonic clock), the ready flag, gain and
// clipping, overruns, the input it measures, and the absent board. Each test
// loads the library afresh. Rate checks compare tick counts with clock
// readings taken around each port access, so a loaded machine cannot make
// them fail; captures that must be gap-free are retried when the test itself
// was too slow to keep up.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bench_state.h"
#include "capture_stderr.h"
#include "sim_test_support.h"

namespace {

constexpr unsigned short kBase = 0x300;
constexpr unsigned short kControl = kBase + 3, kCounter1 = kBase + 1, kCounter2 = kBase + 2;
constexpr unsigned short kLow = kBase + 4, kStatus = kBase + 5;
constexpr unsigned short kGain = kBase + 9, kChannel = kBase + 10, kMode = kBase + 11;
constexpr unsigned char kNotReady = 0x10;

// Code the board gives for a converter input of `volts` (already amplified).
unsigned code_for(double volts) {
    double code = std::floor((volts + 5.0) * 4096.0 / 10.0);
    return unsigned(std::clamp(code, 0.0, 4095.0));
}

class SimBoard : public ::testing::Test {
protected:
    simtest::TempDir dir;
    std::string state_path = dir.file("bench.state");  // absent unless a test writes it
    simtest::ScopedEnv state_env{"BENCH_SIM_STATE", state_path};
    simtest::Library library{LABBENCH_SIM_BOARD_PATH};
    unsigned char (*inb)(unsigned short) =
        library.get<unsigned char (*)(unsigned short)>("portio_inb");
    void (*outb)(unsigned short, unsigned char) =
        library.get<void (*)(unsigned short, unsigned char)>("portio_outb");
    unsigned long (*overruns)() = library.get<unsigned long (*)()>("board_sim_overruns");

    void SetUp() override { ASSERT_TRUE(library.loaded()); }

    // Control words for mode 2 and counts 1..65536 (written as 0), or in BCD
    // counting 1..10000 (written as 0) when `bcd_counts` is set.
    bool bcd_counts = false;
    void load_counts(unsigned c1, unsigned c2) {
        auto bcd = [](unsigned count) {
            unsigned packed = 0;
            for (int shift = 0; shift < 16; shift += 4, count /= 10)
                packed |= (count % 10) << shift;
            return packed;
        };
        if (bcd_counts) c1 = bcd(c1), c2 = bcd(c2);
        outb(kControl, bcd_counts ? 0x75 : 0x74);
        outb(kControl, bcd_counts ? 0xB5 : 0xB4);
        outb(kCounter1, c1 & 0xFF);
        outb(kCounter1, (c1 >> 8) & 0xFF);
        outb(kCounter2, c2 & 0xFF);
        outb(kCounter2, (c2 >> 8) & 0xFF);
    }

    void program(unsigned c1, unsigned c2, unsigned char gain = 0, unsigned char channel = 0) {
        load_counts(c1, c2);
        outb(kGain, gain);
        outb(kChannel, channel);
        outb(kMode, 4);
    }

    // The next result, or nothing if none comes within `timeout_s`.
    std::optional<unsigned> next_sample(double timeout_s = 2.0) {
        std::int64_t deadline = benchsim::monotonic_ns() + std::int64_t(timeout_s * 1e9);
        unsigned char high;
        while ((high = inb(kStatus)) & kNotReady)
            if (benchsim::monotonic_ns() > deadline) return std::nullopt;
        EXPECT_EQ(high & 0xE0, 0) << "bits 5 to 7 of the high byte must read 0";
        return unsigned(high & 0x0F) << 8 | inb(kLow);
    }

    // Programs the board and reads `count` results, each with its conversion
    // number k (conversion k falls at t0 + k x period): the results read so
    // far plus the overruns. Results this process was too slow to read are
    // simply missing, so a busy machine cannot upset the checks built on k.
    std::map<std::int64_t, unsigned> capture(std::size_t count, unsigned c1, unsigned c2,
                                             unsigned char gain = 0) {
        std::map<std::int64_t, unsigned> samples;
        program(c1, c2, gain);
        for (std::size_t i = 1; i <= count; ++i) {
            std::optional<unsigned> sample = next_sample();
            if (!sample) {
                ADD_FAILURE() << "no result within 2 s (counts " << c1 << " x " << c2 << ")";
                break;
            }
            samples[std::int64_t(i + overruns())] = *sample;
        }
        return samples;
    }

    // Polls for `duration_s` and says whether any result became ready.
    bool any_result_within(double duration_s) {
        std::int64_t end = benchsim::monotonic_ns() + std::int64_t(duration_s * 1e9);
        while (benchsim::monotonic_ns() < end)
            if (!(inb(kStatus) & kNotReady)) return true;
        return false;
    }

    void write_state(const benchsim::BenchOutput &output) {
        std::string error;
        ASSERT_TRUE(benchsim::write_bench_state(state_path, output, error)) << error;
    }
};

TEST_F(SimBoard, RateIsTimerClockOverBothCounts) {
    // A sine sampled at 2 MHz / (c1 x c2) repeats every `per_period` conversions
    // and is inverted half a period later: that holds only at exactly that rate.
    struct Case {
        unsigned c1, c2;
        double signal_hz;
        std::int64_t per_period;
        std::size_t results;
        bool bcd = false;
    } cases[] = {
        {20, 10, 1000, 10, 300},  // 10 kHz: a 1 kHz input gives 10 samples per period
        {10, 20, 1000, 10, 300},
        {2, 100, 1000, 10, 300},
        {40, 10, 500, 10, 300},              // 5 kHz
        {100, 2, 1250, 8, 300},              // 10 kHz, 8 per period
        {65536, 2, 1e9 / 262144000, 4, 12},  // count 0 loads 65536: 15.26 Hz
        {20, 10, 1000, 10, 300, true},       // BCD counts
        {10000, 2, 25, 4, 12, true},         // BCD count 0 loads 10000: 100 Hz
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("counts " + std::to_string(c.c1) + " x " + std::to_string(c.c2) +
                     (c.bcd ? " BCD" : ""));
        simtest::ScopedEnv signal("BOARD_SIM_SIGNAL", "sine:" + std::to_string(c.signal_hz) + ":4");
        bcd_counts = c.bcd;
        std::map<std::int64_t, unsigned> s = capture(c.results, c.c1, c.c2);
        ASSERT_FALSE(s.empty());
        auto [low, high] = std::minmax_element(
            s.begin(), s.end(), [](auto &a, auto &b) { return a.second < b.second; });
        EXPECT_GT(high->second - low->second, 1000u) << "the sine must be seen swinging";
        int periods = 0, halves = 0;
        for (auto [k, code] : s) {
            if (auto later = s.find(k + c.per_period); later != s.end()) {
                ++periods;
                EXPECT_NEAR(double(later->second), double(code), 1.0) << "conversion " << k;
            }
            if (auto later = s.find(k + c.per_period / 2); later != s.end()) {
                ++halves;
                EXPECT_NEAR(double(later->second), 4095.0 - code, 2.0) << "conversion " << k;
            }
        }
        EXPECT_GE(periods, 1);
        EXPECT_GE(halves, 1);
    }
}

TEST_F(SimBoard, ResultsAppearWhenTheirTimeHasComeAndNeverBefore) {
    // At every status read, the results delivered plus the overruns (the
    // conversions the board has accounted for) must equal the conversions due
    // by the clock: at least those due before the read began, at most those
    // due when it ended.
    const std::int64_t period_ns = 20 * 50 * 500;  // counts 20 x 50: 2 kHz
    std::int64_t written_from = benchsim::monotonic_ns();
    program(20, 50);
    std::int64_t written_by = benchsim::monotonic_ns();
    unsigned long delivered = 0;
    int reads = 0, violations = 0;
    std::string first_violation;
    while (benchsim::monotonic_ns() - written_by < 100'000'000) {
        std::int64_t before = benchsim::monotonic_ns();
        unsigned char high = inb(kStatus);
        if (!(high & kNotReady)) {
            inb(kLow);
            ++delivered;
        }
        std::int64_t after = benchsim::monotonic_ns();
        std::int64_t accounted = std::int64_t(delivered + overruns());
        std::int64_t due_at_least = (before - written_by) / period_ns;
        std::int64_t due_at_most = (after - written_from) / period_ns;
        ++reads;
        if (accounted < due_at_least || accounted > due_at_most) {
            if (!violations++)
                first_violation = "read " + std::to_string(reads) + ": " +
                                  std::to_string(accounted) + " conversions accounted, " +
                                  std::to_string(due_at_least) + " to " +
                                  std::to_string(due_at_most) + " due";
        }
    }
    EXPECT_EQ(violations, 0) << first_violation;
    EXPECT_GT(delivered, 0u);
}

TEST_F(SimBoard, TimerThatDoesNotRunGivesNoResults) {
    struct Case {
        const char *name;
        std::vector<std::pair<unsigned short, unsigned char>> writes;
    } cases[] = {
        {"counter 2 loaded with 1 (illegal in mode 2)",
         {{kControl, 0x74},
          {kControl, 0xB4},
          {kCounter1, 200},
          {kCounter1, 0},
          {kCounter2, 1},
          {kCounter2, 0},
          {kMode, 4}}},
        {"counter 1 loaded with 1",
         {{kControl, 0x74},
          {kControl, 0xB4},
          {kCounter1, 1},
          {kCounter1, 0},
          {kCounter2, 200},
          {kCounter2, 0},
          {kMode, 4}}},
        {"counter 2 given only its low byte",
         {{kControl, 0x74},
          {kControl, 0xB4},
          {kCounter1, 20},
          {kCounter1, 0},
          {kCounter2, 10},
          {kMode, 4}}},
        {"counter 1 in mode 0 (one-shot)",
         {{kControl, 0x70},
          {kControl, 0xB4},
          {kCounter1, 20},
          {kCounter1, 0},
          {kCounter2, 10},
          {kCounter2, 0},
          {kMode, 4}}},
        {"counts loaded, mode 4 never written",
         {{kControl, 0x74},
          {kControl, 0xB4},
          {kCounter1, 20},
          {kCounter1, 0},
          {kCounter2, 10},
          {kCounter2, 0},
          {kMode, 0}}},
        {"conversion stopped by mode 0",
         {{kControl, 0x74},
          {kControl, 0xB4},
          {kCounter1, 20},
          {kCounter1, 0},
          {kCounter2, 10},
          {kCounter2, 0},
          {kMode, 4},
          {kMode, 0}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        for (auto [port, value] : c.writes) outb(port, value);
        EXPECT_FALSE(any_result_within(0.05)) << "no result may come from a stopped timer";
    }
    // A legal count makes the stopped counter run.
    program(20, 1);
    EXPECT_FALSE(any_result_within(0.02));
    outb(kCounter2, 10);
    outb(kCounter2, 0);
    EXPECT_TRUE(next_sample().has_value());
}

TEST_F(SimBoard, GainChannelAndClipping) {
    struct Case {
        double input_v;
        unsigned char gain_code, channel;
        unsigned code;
    } cases[] = {
        {0.3, 0, 0, code_for(0.3)},
        {0.3, 1, 0, code_for(0.6)},
        {0.3, 2, 0, code_for(1.2)},
        {0.3, 3, 0, code_for(2.4)},
        {0.3, 4, 0, code_for(4.8)},
        {0.4, 4, 0, 4095},           // 6.4 V clipped at +5 V
        {-0.4, 4, 0, 0},             // -6.4 V clipped at -5 V
        {0.3, 5, 0, code_for(0.3)},  // codes above 4 amplify x1
        {0.3, 255, 0, code_for(0.3)},
        {0.0, 0, 0, 2048},
        {-5.0, 0, 0, 0},
        {4.99, 0, 0, 4091},
        {3.0, 0, 1, 2048},  // other channels read 0 V
        {3.0, 4, 7, 2048},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("input " + std::to_string(c.input_v) + " V, gain code " +
                     std::to_string(c.gain_code) + ", channel " + std::to_string(c.channel));
        simtest::ScopedEnv signal("BOARD_SIM_SIGNAL", "dc:0:" + std::to_string(c.input_v));
        program(20, 10, c.gain_code, c.channel);
        std::optional<unsigned> sample = next_sample();
        ASSERT_TRUE(sample.has_value());
        EXPECT_EQ(*sample, c.code);
    }
}

TEST_F(SimBoard, SlowReaderGetsOverrunsNotASlowerClock) {
    StderrCapture capture;
    simtest::ScopedEnv trace("BOARD_SIM_TRACE", "1");
    const double ramp_hz = 0.1, ramp_peak_v = 4.0;
    simtest::ScopedEnv signal("BOARD_SIM_SIGNAL", "ramp:0.1:4");
    const std::int64_t period_ns = 100'000;  // 10 kHz
    std::int64_t written_from = benchsim::monotonic_ns();
    program(20, 10);
    std::int64_t written_by = benchsim::monotonic_ns();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::int64_t before = benchsim::monotonic_ns();
    std::optional<unsigned> sample = next_sample();
    std::int64_t after = benchsim::monotonic_ns();
    ASSERT_TRUE(sample.has_value());
    // Everything due while nobody read was overwritten; the result read is the latest.
    EXPECT_GE(std::int64_t(overruns()), (before - written_by) / period_ns - 1);
    EXPECT_LE(std::int64_t(overruns()), (after - written_from) / period_ns - 1);
    // It was converted within one period before the read: the ramp stands there.
    auto ramp_code = [&](std::int64_t t_ns) {
        double phase = std::fmod(double(t_ns) * 1e-9 * ramp_hz, 1.0);
        return code_for((2 * phase - 1) * ramp_peak_v);
    };
    unsigned earliest = ramp_code(before - period_ns), latest = ramp_code(after);
    if (earliest <= latest) {  // else the ramp wrapped meanwhile: no bound to check
        EXPECT_GE(*sample + 1, earliest);
        EXPECT_LE(*sample, latest + 1);
    }
    std::string trace_text = capture.text();
    EXPECT_NE(trace_text.find("overruns"), std::string::npos) << trace_text;
    EXPECT_NE(trace_text.find("10000 Hz"), std::string::npos) << trace_text;
}

TEST_F(SimBoard, PortsWithoutDataReadAsAnEmptyBus) {
    program(20, 10);
    for (unsigned short port :
         {0x2FF, 0x300, 0x301, 0x302, 0x303, 0x306, 0x307, 0x308, 0x309, 0x30A, 0x30B, 0x30C}) {
        EXPECT_EQ(inb(port), 0xFF) << "port 0x" << std::hex << port;
    }
}

TEST_F(SimBoard, AbsentBoardReadsFFEverywhere) {
    simtest::ScopedEnv absent("BOARD_SIM_ABSENT", "1");
    program(20, 10);
    std::int64_t end = benchsim::monotonic_ns() + 20'000'000;
    int other = 0;
    while (benchsim::monotonic_ns() < end)
        for (unsigned short port = 0x300; port <= 0x30B; ++port) other += inb(port) != 0xFF;
    EXPECT_EQ(other, 0);
}

TEST_F(SimBoard, MeasuresTheInstrumentOutputWhenPublished) {
    simtest::ScopedEnv signal("BOARD_SIM_SIGNAL", "dc:0:1.0");
    benchsim::BenchOutput user;
    user.function = "USER";
    user.amplitude_vpp = 4.0;
    user.points.assign(8, 2047);  // +2 V
    benchsim::BenchOutput low = user;
    low.points.assign(8, -2047);  // -2 V
    benchsim::BenchOutput dc = user;
    dc.function = "DC";
    struct Step {
        const char *name;
        std::optional<benchsim::BenchOutput> state;  // nothing: remove the file
        const char *raw;                             // else: write this text
        unsigned code;
    } steps[] = {
        {"no state file: default signal", std::nullopt, nullptr, code_for(1.0)},
        {"user waveform at +2 V", user, nullptr, code_for(2.0)},
        {"file replaced: -2 V", low, nullptr, code_for(-2.0)},
        {"DC function: 0 V", dc, nullptr, 2048},
        {"unreadable state file: default signal", std::nullopt, "labbench-bench-state 99\n",
         code_for(1.0)},
        {"file removed: default signal", std::nullopt, nullptr, code_for(1.0)},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.name);
        std::filesystem::remove(state_path);
        if (step.state) write_state(*step.state);
        if (step.raw) {
            FILE *file = std::fopen(state_path.c_str(), "w");
            ASSERT_TRUE(file);
            std::fputs(step.raw, file);
            std::fclose(file);
        }
        StderrCapture capture;
        program(20, 10);
        std::optional<unsigned> sample = next_sample();
        std::string warnings = capture.text();
        ASSERT_TRUE(sample.has_value());
        EXPECT_EQ(*sample, step.code);
        if (step.raw) {
            EXPECT_NE(warnings.find("version 99"), std::string::npos) << warnings;
        }
    }
}

TEST_F(SimBoard, InstrumentChangeSeenDuringACapture) {
    benchsim::BenchOutput output;
    output.function = "USER";
    output.amplitude_vpp = 4.0;
    output.points.assign(8, 2047);  // +2 V
    write_state(output);
    program(2000, 10);  // 100 Hz
    std::optional<unsigned> sample = next_sample();
    ASSERT_TRUE(sample.has_value());
    EXPECT_EQ(*sample, code_for(2.0));

    output.points.assign(8, -2047);  // the generator now outputs -2 V
    write_state(output);
    std::int64_t deadline = benchsim::monotonic_ns() + 3'000'000'000;
    while (sample && *sample != code_for(-2.0) && benchsim::monotonic_ns() < deadline)
        sample = next_sample();
    ASSERT_TRUE(sample.has_value());
    EXPECT_EQ(*sample, code_for(-2.0)) << "the new output must reach the running capture";
}

TEST_F(SimBoard, DefaultSignalIsA50HzSineOf1VPeak) {
    unsetenv("BOARD_SIM_SIGNAL");
    // Fit a sine of 50 Hz to the results by their conversion times (10 kHz: 200
    // conversions per period); the phase is free, the amplitude must be 1 V.
    std::map<std::int64_t, unsigned> samples = capture(1000, 20, 10);
    ASSERT_GT(samples.size(), 100u);
    const double step = 2 * M_PI / 200;
    double ss = 0, sc = 0, cc = 0, sv = 0, cv = 0;
    for (auto [k, code] : samples) {
        double volts = 10.0 * (code + 0.5) / 4096.0 - 5.0;  // mid-step: no quantisation bias
        double sine = std::sin(step * double(k)), cosine = std::cos(step * double(k));
        ss += sine * sine, sc += sine * cosine, cc += cosine * cosine;
        sv += sine * volts, cv += cosine * volts;
    }
    double det = ss * cc - sc * sc;
    double a = (sv * cc - cv * sc) / det, b = (cv * ss - sv * sc) / det;
    EXPECT_NEAR(std::hypot(a, b), 1.0, 0.005);
    for (auto [k, code] : samples) {
        double expected = a * std::sin(step * double(k)) + b * std::cos(step * double(k));
        EXPECT_NEAR(double(code), double(code_for(expected)), 2.0) << "conversion " << k;
    }
}

TEST_F(SimBoard, ConfiguredSignalShapeAndNoise) {
    struct Case {
        const char *signal, *noise_v;
        std::vector<unsigned> levels;  // the only codes allowed; empty: any
        double rms_v, tolerance_v;     // about the mean
    } cases[] = {
        {"square:50:1.0", "0", {code_for(-1.0), code_for(1.0)}, 1.0, 0.1},
        {"dc:0:0.25", "0", {code_for(0.25)}, 0.0, 0.002},
        {"dc:0:0", "0.02", {}, 0.02, 0.003},  // Gaussian noise of 20 mV rms
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.signal) + " noise " + c.noise_v);
        simtest::ScopedEnv signal("BOARD_SIM_SIGNAL", c.signal);
        simtest::ScopedEnv noise("BOARD_SIM_NOISE_V", c.noise_v);
        std::map<std::int64_t, unsigned> samples = capture(1000, 20, 10);
        ASSERT_FALSE(samples.empty());
        std::set<unsigned> seen;
        double sum = 0, sum_squares = 0;
        for (auto [k, code] : samples) {
            seen.insert(code);
            double volts = 10.0 * (code + 0.5) / 4096.0 - 5.0;
            sum += volts;
            sum_squares += volts * volts;
        }
        if (!c.levels.empty()) {
            EXPECT_EQ(seen, std::set<unsigned>(c.levels.begin(), c.levels.end()));
        }
        double n = double(samples.size()), mean = sum / n;
        EXPECT_NEAR(std::sqrt(std::max(0.0, sum_squares / n - mean * mean)), c.rms_v,
                    c.tolerance_v);
    }
}

}  // namespace
