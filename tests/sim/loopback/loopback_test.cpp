// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated bench end to end: a waveform given to the instrument over the
// bus comes out of the board's converter. Both libraries share one bench
// state file; the board samples what the instrument outputs, and the results
// must match the waveform, phase aside, within one code of quantisation plus
// the configured noise.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bench_state.h"
#include "gpib_driver.h"
#include "sim_test_support.h"

namespace {

constexpr int kPoints = 3600;

double code_for(double volts) {
    return std::clamp(std::floor((volts + 5.0) * 4096.0 / 10.0), 0.0, 4095.0);
}

// One period of a sine whose half-periods are held at zero up to 45 degrees:
// steps, flat stretches and both signs.
std::vector<int> phase_cut_sine() {
    std::vector<int> codes(kPoints);
    for (int i = 0; i < kPoints; ++i) {
        double degrees = i * 0.1;
        bool held = std::fmod(degrees, 180.0) < 45.0;
        codes[i] = held ? 0 : int(2047.0 * std::sin(degrees * M_PI / 180.0));
    }
    return codes;
}

// The 7224-byte upload: header, then the codes least significant byte first.
std::string upload_block(const std::vector<int> &codes) {
    std::string count = std::to_string(codes.size() * 2);
    std::string text = "DATA:DAC VOLATILE,#" + std::to_string(count.size()) + count;
    for (int code : codes) {
        text += char(unsigned(code) & 0xFF);
        text += char((unsigned(code) >> 8) & 0xFF);
    }
    return text;
}

class SimBench : public ::testing::Test {
protected:
    simtest::TempDir dir;
    simtest::ScopedEnv state_env{"BENCH_SIM_STATE", dir.file("bench.state")};
    simtest::ScopedEnv signal_env{"BOARD_SIM_SIGNAL", "dc:0:3"};  // unmistakable if used
    simtest::Library instrument{LABBENCH_SIM_GPIB_PATH};
    simtest::Library board{LABBENCH_SIM_BOARD_PATH};

    void (*SendIFC)(int) = instrument.get<void (*)(int)>("SendIFC");
    void (*Send)(int, GpibDriverAddr, const void *, long, int) =
        instrument.get<void (*)(int, GpibDriverAddr, const void *, long, int)>("Send");
    void (*Receive)(int, GpibDriverAddr, void *, long, int) =
        instrument.get<void (*)(int, GpibDriverAddr, void *, long, int)>("Receive");
    int (*ThreadIbcnt)() = instrument.get<int (*)()>("ThreadIbcnt");
    unsigned char (*inb)(unsigned short) =
        board.get<unsigned char (*)(unsigned short)>("portio_inb");
    void (*outb)(unsigned short,
                 unsigned char) = board.get<void (*)(unsigned short, unsigned char)>("portio_outb");
    unsigned long (*overruns)() = board.get<unsigned long (*)()>("board_sim_overruns");

    void SetUp() override {
        ASSERT_TRUE(instrument.loaded());
        ASSERT_TRUE(board.loaded());
        SendIFC(0);
    }

    void send(const std::string &text) {
        Send(0, 8, text.data(), long(text.size()), GPIB_DRIVER_DABend);
    }

    std::string query(const std::string &text) {
        send(text);
        char reply[256];
        Receive(0, 8, reply, sizeof reply, STOPend);
        return std::string(reply, std::size_t(ThreadIbcnt()));
    }

    // Results by conversion number (see the board tests), at 2 MHz / (c1 x c2).
    std::map<std::int64_t, unsigned> capture(std::size_t count, unsigned c1, unsigned c2,
                                             unsigned char gain) {
        const unsigned char setup[][2] = {{0x03, 0x74},
                                          {0x03, 0xB4},
                                          {0x01, (unsigned char)(c1 & 0xFF)},
                                          {0x01, (unsigned char)(c1 >> 8)},
                                          {0x02, (unsigned char)(c2 & 0xFF)},
                                          {0x02, (unsigned char)(c2 >> 8)},
                                          {0x09, gain},
                                          {0x0A, 0},
                                          {0x0B, 4}};
        for (auto &[offset, value] : setup) outb(0x300 + offset, value);
        std::map<std::int64_t, unsigned> samples;
        for (std::size_t i = 1; i <= count; ++i) {
            std::int64_t deadline = benchsim::monotonic_ns() + 2'000'000'000;
            unsigned char high;
            while ((high = inb(0x305)) & 0x10)
                if (benchsim::monotonic_ns() > deadline) {
                    ADD_FAILURE() << "the board gave no result within 2 s";
                    return samples;
                }
            samples[std::int64_t(i + overruns())] = unsigned(high & 0x0F) << 8 | inb(0x304);
        }
        return samples;
    }
};

TEST_F(SimBench, BoardMeasuresWhatTheInstrumentOutputs) {
    const std::vector<int> table = phase_cut_sine();
    struct Case {
        const char *name;
        const char *function;  // FUNC:SHAP argument
        double frequency_hz, amplitude_vpp;
        unsigned char gain_code;
        double noise_v;
        std::function<double(double)> unit;  // output at a phase 0..1, -1..+1
    } cases[] = {
        {"user waveform, 100 Hz, 8 Vpp", "USER", 100, 8, 0, 0, nullptr},
        {"user waveform, 1 kHz, 2 Vpp at gain x4", "USER", 1000, 2, 2, 0, nullptr},
        {"user waveform with 5 mV noise", "USER", 100, 8, 0, 0.005, nullptr},
        {"sine, 250 Hz, 6 Vpp", "SIN", 250, 6, 0, 0,
         [](double phase) { return std::sin(2 * M_PI * phase); }},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.unit)
            c.unit = [&table](double phase) {
                return table[std::min(kPoints - 1, int(phase * kPoints))] / 2047.0;
            };
        simtest::ScopedEnv noise("BOARD_SIM_NOISE_V", std::to_string(c.noise_v));
        send("*RST;*CLS");
        char settings[96];
        std::snprintf(settings, sizeof settings, "FREQ %.6f;VOLT %.6f", c.frequency_hz,
                      c.amplitude_vpp);
        send(settings);
        send("FORM:BORD SWAP");
        send(upload_block(table));
        send("FUNC:USER VOLATILE");
        send(std::string("FUNC:SHAP ") + c.function);
        ASSERT_EQ(query("SYST:ERR?"), "+0,\"No error\"\n");

        const unsigned c1 = 20, c2 = 10;  // 10 kHz
        const double period_s = c1 * c2 / 2e6;
        std::map<std::int64_t, unsigned> samples = capture(400, c1, c2, c.gain_code);
        ASSERT_GT(samples.size(), 50u);

        // Phase aside: try every starting phase on a grid of 1/36000 period and
        // keep the best; conversion k then lies at phase + k x period x frequency.
        const double gain = double(1 << c.gain_code);
        const double peak_v = c.amplitude_vpp / 2;
        auto expected = [&](double start, std::int64_t k) {
            double phase = start + double(k) * period_s * c.frequency_hz;
            phase -= std::floor(phase);
            return code_for(c.unit(phase) * peak_v * gain);
        };
        const int grid = 36000;
        double best_start = 0, best_error = 1e300;
        for (int j = 0; j < grid; ++j) {
            double start = (j + 0.5) / grid, error = 0;
            for (auto [k, code] : samples) {
                error += std::abs(double(code) - expected(start, k));
                if (error >= best_error) break;
            }
            if (error < best_error) best_error = error, best_start = start;
        }
        // One code of quantisation; the sine also moves by up to half a grid step;
        // noise (at the input, amplified) within five standard deviations.
        double tolerance = 1.0 + 5 * c.noise_v * gain * 409.6;
        if (std::string(c.function) == "SIN") tolerance += M_PI / grid * peak_v * gain * 409.6;
        double worst = 0;
        for (auto [k, code] : samples)
            worst = std::max(worst, std::abs(double(code) - expected(best_start, k)));
        EXPECT_LE(worst, tolerance) << samples.size() << " results compared";
        auto [low, high] = std::minmax_element(
            samples.begin(), samples.end(), [](auto &a, auto &b) { return a.second < b.second; });
        EXPECT_GT(high->second - low->second, 1500u) << "the waveform must be seen swinging";
    }
}

}  // namespace
