// SPDX-License-Identifier: GPL-3.0-or-later
// The instrument without its GPIB front, driven as another host drives it:
// message bytes in pieces, replies read in pieces, the error queue, and the
// output model published to the bench state file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <string>

#include "bench_state.h"
#include "capture_stderr.h"
#include "sim_instrument.h"
#include "sim_test_support.h"
#include "small_tmpfs.h"

namespace {

using siminstrument::Instrument;

std::string read_all(Instrument &instrument, std::size_t piece, int stop_byte, int &pieces) {
    std::string reply;
    pieces = 0;
    bool last = false;
    while (!last && instrument.has_reply()) {
        char buffer[64];
        std::size_t got = instrument.read_reply(buffer, piece, stop_byte, last);
        reply.append(buffer, got);
        ++pieces;
    }
    EXPECT_TRUE(last) << "the reply's final byte was never reported";
    EXPECT_FALSE(instrument.has_reply());
    return reply;
}

TEST(SimInstrumentCore, MessagesAndRepliesCrossInPieces) {
    simtest::TempDir dir;
    simtest::ScopedEnv state("BENCH_SIM_STATE", dir.file("bench.state"));
    Instrument instrument;

    // A message held until its end arrives; a newline ends one as well.
    instrument.take_bytes("FREQ 12", false);
    instrument.take_bytes("34", true);
    instrument.take_bytes("VOLT 2.5\nFREQ?;VOLT?", false);
    EXPECT_FALSE(instrument.has_reply()) << "no reply before the query's message ends";
    instrument.take_bytes("", true);

    int pieces = 0;
    EXPECT_EQ(read_all(instrument, 5, -1, pieces), "1.234000000e+03;2.500000000e+00\n");
    EXPECT_EQ(pieces, 7);

    // A stop byte ends a read early; the rest waits for the next one.
    instrument.take_bytes("*OPC?;*OPC?", true);
    char buffer[16];
    bool last = true;
    EXPECT_EQ(instrument.read_reply(buffer, sizeof buffer, ';', last), 2u);
    EXPECT_FALSE(last);
    EXPECT_EQ(read_all(instrument, sizeof buffer, -1, pieces), "1\n");
}

TEST(SimInstrumentCore, ErrorQueueTakesTheHostsErrorsInOrder) {
    simtest::TempDir dir;
    simtest::ScopedEnv state("BENCH_SIM_STATE", dir.file("bench.state"));
    Instrument instrument;

    instrument.take_bytes("BOGUS", true);
    instrument.push_error(siminstrument::kQueryUnterminated);
    instrument.take_bytes("*IDN?", true);
    instrument.take_bytes("*CLS", true);  // the unread reply is discarded: -410 first
    instrument.take_bytes("FREQ 99E9", true);

    EXPECT_EQ(instrument.next_error(), "-222,\"Data out of range\"");
    instrument.take_bytes("SYST:ERR?", true);
    int pieces = 0;
    EXPECT_EQ(read_all(instrument, 64, -1, pieces), "+0,\"No error\"\n") << "*CLS emptied it";

    instrument.take_bytes("BOGUS", true);
    instrument.push_error(siminstrument::kQueryUnterminated);
    EXPECT_EQ(instrument.next_error(), "-113,\"Undefined header\"");
    EXPECT_EQ(instrument.next_error(), "-420,\"Query UNTERMINATED\"");
    EXPECT_EQ(instrument.next_error(), "+0,\"No error\"");
}

TEST(SimInstrumentCore, PublishesTheOutputModelWhenTheHostAsks) {
    simtest::TempDir dir;
    std::string path = dir.file("bench.state");
    simtest::ScopedEnv state("BENCH_SIM_STATE", path);
    Instrument instrument;
    benchsim::BenchOutput output;
    std::string error;

    instrument.take_bytes("FREQ 5000;FUNC SQU", true);
    EXPECT_FALSE(benchsim::read_bench_state(path, output, error)) << "nothing before publish()";

    instrument.set_remote(true);
    instrument.publish();
    ASSERT_TRUE(benchsim::read_bench_state(path, output, error)) << error;
    EXPECT_EQ(output.function, "SQU");
    EXPECT_EQ(output.frequency_hz, 5000.0);
    EXPECT_TRUE(output.remote);
    EXPECT_TRUE(instrument.remote());
}

// A full disk under the state file: the upload that could not be published
// says so in the error queue, once for each output, with one line on stderr;
// the old state file stays whole, and the file catches up once there is room.
TEST(SimInstrumentCore, AStateFileThatCannotBeWrittenIsAnErrorInTheQueue) {
    SmallTmpfs disk("64k");
    if (!disk.available()) GTEST_SKIP() << disk.reason();
    const std::string path = disk.file("bench.state");
    simtest::ScopedEnv state("BENCH_SIM_STATE", path);
    Instrument instrument;
    instrument.take_bytes("FREQ 1000", true);
    instrument.publish();
    benchsim::BenchOutput output;
    std::string error;
    ASSERT_TRUE(benchsim::read_bench_state(path, output, error)) << error;

    disk.fill();
    StderrCapture err;
    const std::string expected =
        "-300,\"Device-specific error;cannot write " + path + ": No space left on device\"";
    for (const char *upload : {"FREQ 2000", "FREQ 3000"}) {
        SCOPED_TRACE(upload);
        instrument.take_bytes(upload, true);
        instrument.publish();
        instrument.take_bytes("SYST:ERR?", true);
        instrument.publish();  // a retry of the same output: no second entry
        int pieces = 0;
        EXPECT_EQ(read_all(instrument, 64, -1, pieces), expected + "\n");
        EXPECT_EQ(instrument.next_error(), "+0,\"No error\"");
    }
    const std::string said = err.text();
    EXPECT_EQ(line_count(said), 1) << said;
    EXPECT_NE(said.find("No space left on device"), std::string::npos) << said;
    ASSERT_TRUE(benchsim::read_bench_state(path, output, error)) << error;
    EXPECT_EQ(output.frequency_hz, 1000.0) << "the old state, whole";
    for (const auto &entry : std::filesystem::directory_iterator(disk.file("")))
        EXPECT_TRUE(entry.path().filename() == "bench.state" || entry.path().filename() == "filler")
            << "left behind: " << entry.path();

    std::filesystem::remove(disk.file("filler"));
    instrument.publish();
    ASSERT_TRUE(benchsim::read_bench_state(path, output, error)) << error;
    EXPECT_EQ(output.frequency_hz, 3000.0);
}

// BENCH_SIM_STATE naming a FIFO or a device node (made by the test in its own
// folder): it is left as it is, the default state file is used, and one line
// says so.
TEST(SimInstrumentCore, AStatePathThatIsNoRegularFileIsLeftAloneForTheDefault) {
    simtest::TempDir dir;
    simtest::ScopedEnv runtime("XDG_RUNTIME_DIR", dir.path());
    for (const std::string &named : simtest::no_regular_files(dir, "state")) {
        SCOPED_TRACE(named);
        std::filesystem::remove(benchsim::default_bench_state_path());
        simtest::ScopedEnv state("BENCH_SIM_STATE", named);
        StderrCapture err;
        Instrument instrument;
        instrument.take_bytes("FREQ 4000", true);
        instrument.publish();
        instrument.take_bytes("FREQ 5000", true);
        instrument.publish();
        const std::string said = err.text();
        struct stat info;
        ASSERT_EQ(lstat(named.c_str(), &info), 0);
        EXPECT_FALSE(S_ISREG(info.st_mode)) << "replaced by a regular file";
        benchsim::BenchOutput output;
        std::string error;
        ASSERT_TRUE(benchsim::read_bench_state(benchsim::default_bench_state_path(), output, error))
            << error;
        EXPECT_EQ(output.frequency_hz, 5000.0);
        EXPECT_EQ(line_count(said), 1) << said;
        EXPECT_NE(said.find("BENCH_SIM_STATE " + named + " is not a regular file; using " +
                            benchsim::default_bench_state_path()),
                  std::string::npos)
            << said;
    }
}

}  // namespace
