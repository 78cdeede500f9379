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
#include <fstream>
#include <string>
#include <vector>

#include "bench_state.h"
#include "generator_harness.h"
#include "generator_ui.h"
#include "panel_operator.h"
#include "socket_instrument_process.h"
#include "userint_testing.h"

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

// The simulated instrument's state file in a folder of the test's own.
struct GeneratorOnSimulatedInstrument : ::testing::Test {
    simtest::TempDir dir;
    const std::string state = dir.file("bench.state");
    simtest::ScopedEnv stateFile{"BENCH_SIM_STATE", state};
};

TEST_F(GeneratorOnSimulatedInstrument, HoldsThePanelsWaveformAfterStartUpAndEachCommit) {
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
}

// The bus carries every byte of a 0 Hz upload, but the instrument refuses the value
// and keeps its old frequency: the status line must say so, in the instrument's words.
// Another program's instrument wrote the bench's state file meanwhile (a second
// generator that has since quit, or the socket instrument): a re-send of the
// same settings puts this generator's output back, so the board never measures
// a stale one.
TEST_F(GeneratorOnSimulatedInstrument, ResendOfUnchangedSettingsReachesTheStateFile) {
    int exitCode = runGeneratorOn(GENERATOR_SIM_INSTRUMENT, [&] {
        QuitAtExit quit;
        expectInstrumentHolds(state, 10000.0, 4.5, 0.0f);
        benchsim::BenchOutput other;
        other.function = "USER";
        other.frequency_hz = 2;
        other.amplitude_vpp = 4.5;
        other.points.assign(3600, 0);
        std::string error;
        ASSERT_TRUE(benchsim::write_bench_state(state, other, error)) << error;
        typeValue(PANEL_AMPL, 4.5, 3);  // the same amplitude, committed again
        expectInstrumentHolds(state, 10000.0, 4.5, 0.0f);
    });
    EXPECT_EQ(exitCode, 0);
}

TEST_F(GeneratorOnSimulatedInstrument, RefusedSettingIsReportedWithTheInstrumentsError) {
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
}

// The bytes of a GPIB_SIM_LOG data field, unescaped.
std::string unescaped(const std::string &field) {
    std::string bytes;
    for (size_t i = 0; i < field.size(); i++) {
        if (field[i] != '\\' || i + 1 >= field.size()) {
            bytes += field[i];
            continue;
        }
        char c = field[++i];
        if (c == 'n')
            bytes += '\n';
        else if (c == 'r')
            bytes += '\r';
        else if (c == 't')
            bytes += '\t';
        else if (c == 'x' && i + 2 < field.size()) {
            bytes += (char)std::stoi(field.substr(i + 1, 2), nullptr, 16);
            i += 2;
        } else
            bytes += c;
    }
    return bytes;
}

// Every message the instrument took, from the Send lines of its log, each
// ended by one newline: a Send with EOI from the library instrument's log
// ends its message; the socket instrument's lines carry the newlines themselves.
std::string messagesInLog(const std::string &path) {
    std::ifstream log(path);
    std::string line, messages;
    while (std::getline(log, line)) {
        if (line.rfind("Send ", 0) != 0) continue;
        size_t start = line.find(" data=\"") + 7;
        size_t end = line.rfind("\" ibsta=");
        messages += unescaped(line.substr(start, end - start));
        if (line.find(" mode=NULLend ") == std::string::npos) messages += '\n';
    }
    return messages;
}

// generator's start-up upload and an angle change, on the instrument in
// `driver`: the messages, each ended by one newline, and the state file.
void uploadAndChangeAngle(const char *driver, const std::string &state, const std::string &log) {
    int exitCode = runGeneratorOn(driver, [&] {
        QuitAtExit quit;
        // Each upload ends with generator's error query, whose reply also
        // proves that the instrument has run every message before it (a
        // socket instrument runs in a process of its own).
        expectInstrumentHolds(state, 10000.0, 4.5, 0.0f);
        typeValue(PANEL_ANGLE, 90.0, 1);
        expectInstrumentHolds(state, 10000.0, 4.5, 90.0f);
        EXPECT_EQ(statusLine(), "Sent all 6 transfers: 10000 Hz, 4.5 Vpp, angle 90\u00b0");
    });
    EXPECT_EQ(exitCode, 0);
    std::string expected;
    for (float angle : {0.0f, 90.0f})
        for (const std::string &text : uploadTexts("freq 10000.000000", "volt 4.500000", angle))
            expected += text + "\n";
    std::string got = messagesInLog(log);
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected)
        << "the messages differ from byte "
        << (std::mismatch(got.begin(), got.end(), expected.begin(), expected.end()).first -
            got.begin());
}

struct GeneratorOnEitherInstrument : GeneratorOnSimulatedInstrument {
    std::string log = dir.file("bus.log");
    simtest::ScopedEnv busLog{"GPIB_SIM_LOG", log};
};

TEST_F(GeneratorOnEitherInstrument, ReachesTheLibraryInstrument) {
    uploadAndChangeAngle(GENERATOR_SIM_INSTRUMENT, state, log);
}

TEST_F(GeneratorOnEitherInstrument,
       ReachesTheSocketInstrumentThroughTheScpiLinkWithTheSameMessages) {
    simtest::SocketInstrumentProcess instrument(GENERATOR_SOCKET_INSTRUMENT);
    simtest::ScopedEnv mapping("LABBENCH_INSTRUMENT_8", instrument.resource());
    uploadAndChangeAngle(GENERATOR_SCPI_LINK, state, log);
    EXPECT_EQ(instrument.stop(SIGTERM), 0);
}

}  // namespace

namespace {

// Started without GPIB_LIBRARY, with only instruments.conf naming the socket
// instrument for address 8, generator takes the SCPI link by itself and drives
// the instrument: its start-up upload and a commit reach it.
TEST(GeneratorOnTheSocketInstrument, IsReachedWithOnlyInstrumentsConfNamingIt) {
    simtest::TempDir dir;
    const std::string state = dir.file("bench.state");
    simtest::ScopedEnv stateFile("BENCH_SIM_STATE", state);
    simtest::SocketInstrumentProcess instrument(GENERATOR_SOCKET_INSTRUMENT);
    const std::string config = dir.file("config");
    std::filesystem::create_directories(config + "/labbench");
    std::ofstream(config + "/labbench/instruments.conf")
        << "# the bench's waveform generator\n8 = " << instrument.resource() << "\n";
    simtest::ScopedEnv configHome("XDG_CONFIG_HOME", config);
    simtest::ScopedEnv noMapping("LABBENCH_INSTRUMENT_8", nullptr);
    simtest::ScopedEnv noLibrary("GPIB_LIBRARY", nullptr);
    testRuntimeDir();
    int exitCode = panel_operator::runProgram(generator_main, "generator", [&] {
        QuitAtExit quit;
        EXPECT_EQ(statusLine(), "Sent all 6 transfers: 10000 Hz, 4.5 Vpp, angle 0\u00b0");
        EXPECT_EQ(userint_testing::panel_widget(PANEL)->windowTitle().toStdString(),
                  "Waveform generator \u2014 " + instrument.resource());
        expectInstrumentHolds(state, 10000.0, 4.5, 0.0f);
        typeValue(PANEL_ANGLE, 90.0, 1);
        expectInstrumentHolds(state, 10000.0, 4.5, 90.0f);
    });
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(instrument.stop(SIGTERM), 0);
}

}  // namespace
