// SPDX-License-Identifier: GPL-3.0-or-later
// The generator on the simulated instrument: after start-up and after each commit
// the instrument holds, and outputs, the waveform and settings the panel shows.
// The instrument decodes a block in the byte order in force when it arrives
// (most significant byte first after power-on), so this also proves that the
// byte order is sent before the very first block.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QWidget>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench_state.h"
#include "generator_harness.h"
#include "generator_ui.h"

namespace {

void expectInstrumentHolds(const std::string &path, double hz, double vpp, float angle) {
    benchsim::BenchOutput out;
    std::string error;
    ASSERT_TRUE(benchsim::read_bench_state(path, out, error)) << error;
    EXPECT_EQ(out.function, "USER");
    EXPECT_EQ(out.user_waveform, "VOLATILE");
    EXPECT_DOUBLE_EQ(out.frequency_hz, hz);
    EXPECT_NEAR(out.amplitude_vpp, vpp, 1e-6);
    EXPECT_TRUE(out.remote);
    ASSERT_EQ(out.points.size(), 3600u);
    int wrong = 0, first = -1;
    for (int i = 0; i < 3600; i++)
        if (out.points[i] != (std::int16_t)expectedEntry(i, angle) && wrong++ == 0) first = i;
    EXPECT_EQ(wrong, 0) << "the instrument's waveform differs from the table of angle " << angle
                        << " at " << wrong << " points, first " << first << " ("
                        << (first >= 0 ? out.points[first] : 0) << " instead of "
                        << (first >= 0 ? (std::int16_t)expectedEntry(first, angle) : 0) << ")";
}

std::string instrumentErrors() {
    Query(8, "SYST:ERR?");
    return data;
}

TEST(GeneratorOnSimulatedInstrument, HoldsThePanelsWaveformAfterStartUpAndEachCommit) {
    std::string state = (std::filesystem::temp_directory_path() /
                         ("generator-bench-" + std::to_string(getpid()) + ".state"))
                            .string();
    setenv("BENCH_SIM_STATE", state.c_str(), 1);
    int exitCode = runGeneratorOn(GENERATOR_SIM_INSTRUMENT, [&] {
        QuitAtExit quit;
        expectInstrumentHolds(state, 10000.0, 4.5, 0.0f);
        EXPECT_EQ(instrumentErrors(), "+0,\"No error\"\n");

        typeValue(PANEL_ANGLE, 90.0, 1);
        expectInstrumentHolds(state, 10000.0, 4.5, 90.0f);
        typeValue(PANEL_AMPL, 2.5, 3);
        typeValue(PANEL_FREQ, 1.5, 3);
        expectInstrumentHolds(state, 15000.0, 2.5, 90.0f);
        typeValue(PANEL_ANGLE, 180.0, 1);
        expectInstrumentHolds(state, 15000.0, 2.5, 180.0f);
        EXPECT_EQ(instrumentErrors(), "+0,\"No error\"\n");
        EXPECT_EQ(statusLine(), "Sent all 6 transfers: 15000 Hz, 2.5 Vpp, angle 180\u00b0");
    });
    EXPECT_EQ(exitCode, 0);
    benchsim::BenchOutput out;
    std::string error;
    ASSERT_TRUE(benchsim::read_bench_state(state, out, error)) << error;
    EXPECT_FALSE(out.remote) << "quitting returns the instrument to local control";
    std::filesystem::remove(state);
}

// The bus carries every byte of a 0 Hz upload, but the instrument refuses the value
// and keeps its old frequency: the status line must say so, in the instrument's words.
TEST(GeneratorOnSimulatedInstrument, RefusedSettingIsReportedWithTheInstrumentsError) {
    std::string state = (std::filesystem::temp_directory_path() /
                         ("generator-refused-" + std::to_string(getpid()) + ".state"))
                            .string();
    setenv("BENCH_SIM_STATE", state.c_str(), 1);
    int exitCode = runGeneratorOn(GENERATOR_SIM_INSTRUMENT, [&] {
        QuitAtExit quit;
        QWidget *status = control(PANEL_STATUS);
        typeValue(PANEL_FREQ, 0.0, 3);
        EXPECT_EQ(statusLine(), "Instrument refused the settings: -222,\"Data out of range\"");
        EXPECT_EQ(status->accessibleDescription().toStdString(), "Failure");
        expectInstrumentHolds(state, 10000.0, 4.5, 0.0f);
        EXPECT_EQ(instrumentErrors(), "+0,\"No error\"\n") << "the upload read the queue empty";

        typeValue(PANEL_FREQ, 1.5, 3);
        EXPECT_EQ(statusLine(), "Sent all 6 transfers: 15000 Hz, 4.5 Vpp, angle 0\u00b0");
        EXPECT_EQ(status->accessibleDescription().toStdString(), "");
        expectInstrumentHolds(state, 15000.0, 4.5, 0.0f);
    });
    EXPECT_EQ(exitCode, 0);
    std::filesystem::remove(state);
}

}  // namespace
