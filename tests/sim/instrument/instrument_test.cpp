// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated waveform generator seen from the bus: command parsing, byte
// order, the error queue, block checks, message assembly, bus errors, replies
// and time-outs, the log and the published output model. Each test loads the
// library afresh, so it starts from a powered-on instrument.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "bench_state.h"
#include "gpib_driver.h"
#include "sim_test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

// A definite-length block of 16-bit codes, most significant byte first unless `swapped`.
std::string block(const std::vector<int> &codes, bool swapped = false) {
    std::string bytes;
    for (int code : codes) {
        unsigned char high = (unsigned(code) >> 8) & 0xFF, low = unsigned(code) & 0xFF;
        bytes += char(swapped ? low : high);
        bytes += char(swapped ? high : low);
    }
    std::string count = std::to_string(bytes.size());
    return "#" + std::to_string(count.size()) + count + bytes;
}

std::string dac(const std::string &block_text) { return "DATA:DAC VOLATILE," + block_text; }

const std::vector<int> kEightCodes{0, 1, -1, 2047, -2047, 256, -256, 100};

class SimInstrument : public ::testing::Test {
protected:
    simtest::TempDir dir;
    std::string state_path = dir.file("bench.state");
    std::string log_path = dir.file("gpib.log");
    simtest::ScopedEnv state_env{"BENCH_SIM_STATE", state_path};
    simtest::ScopedEnv log_env{"GPIB_SIM_LOG", log_path};
    simtest::ScopedEnv timeout_env{"GPIB_SIM_TIMEOUT_MS", "20"};
    simtest::Library library{LABBENCH_SIM_GPIB_PATH};

    void (*SendIFC)(int) = library.get<void (*)(int)>("SendIFC");
    void (*EnableRemote)(int, const GpibDriverAddr *) =
        library.get<void (*)(int, const GpibDriverAddr *)>("EnableRemote");
    void (*EnableLocal)(int, const GpibDriverAddr *) =
        library.get<void (*)(int, const GpibDriverAddr *)>("EnableLocal");
    void (*Send)(int, GpibDriverAddr, const void *, long,
                 int) = library.get<void (*)(int, GpibDriverAddr, const void *, long, int)>("Send");
    void (*Receive)(int, GpibDriverAddr, void *, long,
                    int) = library.get<void (*)(int, GpibDriverAddr, void *, long, int)>("Receive");
    int (*ThreadIbsta)() = library.get<int (*)()>("ThreadIbsta");
    int (*ThreadIberr)() = library.get<int (*)()>("ThreadIberr");
    int (*ThreadIbcnt)() = library.get<int (*)()>("ThreadIbcnt");
    volatile int *ibsta = library.get<volatile int *>("ibsta");
    volatile int *iberr = library.get<volatile int *>("iberr");
    volatile int *ibcnt = library.get<volatile int *>("ibcnt");

    void SetUp() override {
        ASSERT_TRUE(library.loaded());
        SendIFC(0);
    }

    void send(std::string_view bytes, int mode = GPIB_DRIVER_DABend) {
        Send(0, 8, bytes.data(), long(bytes.size()), mode);
        ASSERT_FALSE(ThreadIbsta() & ERR) << "Send of '" << bytes << "' failed";
    }

    std::string receive(long count = 4096, int termination = STOPend) {
        std::string buffer(std::size_t(count), '\0');
        Receive(0, 8, buffer.data(), count, termination);
        buffer.resize(std::size_t(ThreadIbcnt()));
        return buffer;
    }

    std::string query(std::string_view text) {
        send(text);
        return receive();
    }

    // Reads the error queue until it is empty; the numbers in order.
    std::vector<int> errors() {
        std::vector<int> numbers;
        for (int i = 0; i < 30; ++i) {
            std::string reply = query("SYST:ERR?");
            int number = std::atoi(reply.c_str());
            if (number == 0) {
                EXPECT_EQ(reply, "+0,\"No error\"\n");
                break;
            }
            numbers.push_back(number);
        }
        return numbers;
    }

    benchsim::BenchOutput output() {
        benchsim::BenchOutput out;
        std::string error;
        EXPECT_TRUE(benchsim::read_bench_state(state_path, out, error)) << error;
        return out;
    }

    std::vector<std::string> log_lines() {
        std::ifstream in(log_path);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
};

TEST_F(SimInstrument, KeywordsInShortOrLongFormAndAnyCase) {
    struct Case {
        const char *command;
        double frequency_hz, amplitude_vpp;
    } cases[] = {
        {"FREQ 1500", 1500, 0.1},         {"frequency 2500.5", 2500.5, 0.1},
        {":FrEqUeNcY +3E3", 3000, 0.1},   {"VOLT 2", 1000, 2},
        {"voltage 0.5", 1000, 0.5},       {"freq 10000.000000;volt 4.500000", 10000, 4.5},
        {"FREQ 1e-4\nVOLT 10", 1e-4, 10},  // newline ends a message, EOI the next
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.command);
        send("*RST");
        send(c.command);
        EXPECT_EQ(errors(), std::vector<int>{});
        benchsim::BenchOutput out = output();
        EXPECT_DOUBLE_EQ(out.frequency_hz, c.frequency_hz);
        EXPECT_DOUBLE_EQ(out.amplitude_vpp, c.amplitude_vpp);
        EXPECT_DOUBLE_EQ(std::stod(query("FREQ?")), c.frequency_hz);
    }
}

TEST_F(SimInstrument, FunctionSelection) {
    send(dac(block(kEightCodes)));
    struct Case {
        const char *command;
        const char *function;
    } cases[] = {
        {"FUNC:USER VOLATILE", "SIN"},  {"function:user volatile", "SIN"},
        {"FUNC:SHAP USER", "USER"},     {"FUNCtion:SHAPe squ", "SQU"},
        {"func:shape TRIANGLE", "TRI"}, {"FUNC RAMP", "RAMP"},
        {"FUNC:SHAP NOIS", "NOIS"},     {"FUNC:SHAP dc", "DC"},
        {"FUNC:SHAP sinusoid", "SIN"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.command);
        send(c.command);
        EXPECT_EQ(errors(), std::vector<int>{});
        EXPECT_EQ(output().function, c.function);
        EXPECT_EQ(query("FUNC:SHAP?"), std::string(c.function) + "\n");
    }
    EXPECT_EQ(output().points, std::vector<std::int16_t>(kEightCodes.begin(), kEightCodes.end()));
}

TEST_F(SimInstrument, IdentificationHasFourFields) {
    std::string reply = query("*idn?");
    ASSERT_FALSE(reply.empty());
    EXPECT_EQ(reply.back(), '\n');
    EXPECT_TRUE(ThreadIbsta() & END) << "a reply ends with EOI";
    EXPECT_EQ(std::count(reply.begin(), reply.end(), ','), 3) << reply;
    EXPECT_EQ(query("*IDN?;*OPC?"), reply.substr(0, reply.size() - 1) + ";1\n");
}

TEST_F(SimInstrument, BlockDecodedInTheByteOrderInForce) {
    // Power-on order is NORM; each block is decoded in the order in force when it arrives.
    struct Case {
        const char *before;  // command sent before the block, if any
        bool block_swapped;  // byte order the block is written in
        const char *order_reply;
    } cases[] = {
        {nullptr, false, "NORM"},
        {"FORM:BORD SWAP", true, "SWAP"},
        {"format:border swapped", true, "SWAP"},
        {"FORMat:BORDer NORMal", false, "NORM"},
        {"FORM:BORD SWAP;*RST", false, "NORM"},
    };
    const std::vector<std::int16_t> expected(kEightCodes.begin(), kEightCodes.end());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.before ? c.before : "power-on");
        if (c.before) send(c.before);
        send(dac(block(kEightCodes, c.block_swapped)));
        EXPECT_EQ(errors(), std::vector<int>{});
        EXPECT_EQ(output().points, expected);
        EXPECT_EQ(query("FORM:BORD?"), std::string(c.order_reply) + "\n");
    }
    // A block in the other order reads as other codes: 0x0100 is 1 byte-swapped.
    send("FORM:BORD SWAP");
    send(dac(block({0x100, 0x100, 0x100, 0x100, 0x100, 0x100, 0x100, 0x100})));
    EXPECT_EQ(output().points, std::vector<std::int16_t>(8, 1));
    // Code 48 byte-swapped starts with the byte '0': data, not a count digit.
    send(dac(block(std::vector<int>(8, 48), true)));
    EXPECT_EQ(errors(), std::vector<int>{});
    EXPECT_EQ(output().points, std::vector<std::int16_t>(8, 48));
}

TEST_F(SimInstrument, ErrorsQueuedAndRejectedSettingsKept) {
    struct Case {
        std::string message;
        std::vector<int> errors;
    } cases[] = {
        {"BOGUS 1", {-113}},
        {"FREQU 5", {-113}},  // neither the short nor the long form
        {"*IDN", {-113}},
        {"SYST:ERR", {-113}},
        {"FREQ::X 1", {-102}},
        {"FREQ=5", {-102}},
        {"FREQ abc", {-102}},
        {"FREQ 1 2", {-102}},
        {"FREQ", {-109}},
        {"FREQ? 5", {-108}},
        {"*RST 1", {-108}},
        {"FREQ 15000001", {-222}},
        {"FREQ 0.00009", {-222}},
        {"VOLT 0.049", {-222}},
        {"VOLT 10.01", {-222}},
        {"FREQ 1e400", {-222}},  // a number, if beyond what a double holds
        {"VOLT -1e400", {-222}},
        {"FREQ 1e-400", {-222}},
        {"FORM:BORD MIDDLE", {-224}},
        {"FUNC:SHAP BLOB", {-224}},
        {"FUNC:USER NONVOL", {-224}},
        {"FUNC:SHAP USER", {-221}},  // nothing loaded yet
        {"FUNC:USER VOLATILE", {-221}},
        {"DATA:DAC VOLATILE", {-109}},
        {"DATA:DAC FLASH," + block(kEightCodes), {-224}},
        {"BOGUS;FREQ 15000001;VOLT 11", {-113, -222, -222}},
    };
    send("FREQ 1234;VOLT 1.5");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        send(c.message);
        EXPECT_EQ(errors(), c.errors);
        benchsim::BenchOutput out = output();
        EXPECT_EQ(out.frequency_hz, 1234);
        EXPECT_EQ(out.amplitude_vpp, 1.5);
        EXPECT_EQ(out.function, "SIN");
        EXPECT_TRUE(out.points.empty());
    }
}

TEST_F(SimInstrument, ErrorQueueOverflowAndClear) {
    for (int i = 0; i < 25; ++i) send("BOGUS");
    std::vector<int> expected(19, -113);
    expected.push_back(-350);
    EXPECT_EQ(errors(), expected);

    send("BOGUS;*CLS");
    EXPECT_EQ(errors(), std::vector<int>{});
}

TEST_F(SimInstrument, UnreadReplyInterruptedByNextMessage) {
    send("*IDN?");
    send("FREQ 5");
    EXPECT_EQ(errors(), std::vector<int>{-410});
    EXPECT_EQ(output().frequency_hz, 5);
}

TEST_F(SimInstrument, BlockHeaderAndDataChecks) {
    std::string sixteen_bytes = block(kEightCodes).substr(4);  // after "#216"
    std::vector<int> too_high = kEightCodes, too_low = kEightCodes;
    too_high[3] = 2048;
    too_low[4] = -2048;
    struct Case {
        const char *name;
        std::string block_text;
        int error;  // 0: accepted
    } cases[] = {
        {"eight points", block(kEightCodes), 0},
        {"16000 points", block(std::vector<int>(16000, 7)), 0},
        {"newline and semicolon bytes inside", block({10, 59, 10, 59, 10, 59, 10, 59}), 0},
        {"odd count", "#215" + sixteen_bytes.substr(0, 15), -160},
        {"fewer bytes than counted", "#216" + sixteen_bytes.substr(0, 14), -160},
        {"more bytes than counted", "#214" + sixteen_bytes, -160},
        {"indefinite length", "#0" + sixteen_bytes, -160},
        {"no digit count", "#A" + sixteen_bytes, -160},
        {"count digits cut short", "#4720", -160},
        {"empty block", "#10", -222},
        {"data that are ASCII digits", "#216" + std::string("0123456789012345"), -222},
        {"count with leading zeros", "#3016" + sixteen_bytes, 0},
        {"not a block", "1,2,3,4,5,6,7,8", -160},
        {"seven points", block({1, 2, 3, 4, 5, 6, 7}), -222},
        {"16001 points", block(std::vector<int>(16001, 7)), -222},
        {"code 2048", block(too_high), -222},
        {"code -2048", block(too_low), -222},
    };
    const std::vector<std::int16_t> held{9, 9, 9, 9, 9, 9, 9, 9};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        send(dac(block(std::vector<int>(8, 9))));
        send(dac(c.block_text));
        if (c.error) {
            EXPECT_EQ(errors(), std::vector<int>{c.error});
            EXPECT_EQ(output().points, held) << "a rejected block keeps the old waveform";
        } else {
            EXPECT_EQ(errors(), std::vector<int>{});
            EXPECT_NE(output().points, held);
        }
    }
}

TEST_F(SimInstrument, MessageHeldUntilItsEnd) {
    send("FREQ 12", GPIB_DRIVER_NULLend);
    EXPECT_EQ(output().frequency_hz, 1000) << "no EOI yet: nothing executed";
    send("34", GPIB_DRIVER_DABend);
    EXPECT_EQ(output().frequency_hz, 1234);

    send("VOLT 3", GPIB_DRIVER_NLend);
    EXPECT_EQ(output().amplitude_vpp, 3);

    // A block split over several transfers, the last with EOI.
    std::string message = dac(block(kEightCodes));
    send(message.substr(0, 20), GPIB_DRIVER_NULLend);
    send(message.substr(20, 5), GPIB_DRIVER_NULLend);
    EXPECT_TRUE(output().points.empty());
    send(message.substr(25), GPIB_DRIVER_DABend);
    EXPECT_EQ(output().points.size(), 8u);
    EXPECT_EQ(errors(), std::vector<int>{});

    // A message that never ends is not held without bound.
    for (int i = 0; i < 70; ++i) send(std::string(1024, ' '), GPIB_DRIVER_NULLend);
    send("FREQ 99");
    EXPECT_EQ(errors(), std::vector<int>{-363});
    EXPECT_EQ(output().frequency_hz, 99);
}

TEST_F(SimInstrument, BusErrors) {
    const GpibDriverAddr nine[] = {9, GPIB_DRIVER_NOADDR};
    const char text[] = "FREQ 5";
    char reply[16];
    struct Case {
        const char *name;
        std::function<void()> call;
        int error;
    } cases[] = {
        {"Send on board 1", [&] { Send(1, 8, text, 6, GPIB_DRIVER_DABend); }, ENEB},
        {"SendIFC on board 1", [&] { SendIFC(1); }, ENEB},
        {"Send to address 9", [&] { Send(0, 9, text, 6, GPIB_DRIVER_DABend); }, ENOL},
        {"Send to 8 with a secondary", [&] { Send(0, 8 | 0x6000, text, 6, 1); }, ENOL},
        {"Receive from address 9", [&] { Receive(0, 9, reply, 16, STOPend); }, ENOL},
        {"EnableRemote listing 9", [&] { EnableRemote(0, nine); }, ENOL},
        {"Send to address 31", [&] { Send(0, 31, text, 6, GPIB_DRIVER_DABend); }, EARG},
        {"Send with end mode 3", [&] { Send(0, 8, text, 6, 3); }, EARG},
        {"Send of a negative count", [&] { Send(0, 8, text, -1, GPIB_DRIVER_DABend); }, EARG},
        {"Receive with termination 0x101", [&] { Receive(0, 8, reply, 16, 0x101); }, EARG},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        c.call();
        EXPECT_TRUE(ThreadIbsta() & ERR);
        EXPECT_EQ(ThreadIberr(), c.error);
        EXPECT_EQ(ThreadIbcnt(), 0);
        EXPECT_EQ(*ibsta, ThreadIbsta());
        EXPECT_EQ(*iberr, ThreadIberr());
        EXPECT_EQ(*ibcnt, 0);
    }
    EXPECT_EQ(output().frequency_hz, 1000) << "a failed transfer delivers nothing";
}

TEST(SimInstrumentPowerOn, TransferBeforeInterfaceClearFailsWithEcic) {
    simtest::TempDir dir;
    simtest::ScopedEnv state("BENCH_SIM_STATE", dir.file("bench.state"));
    simtest::Library library(LABBENCH_SIM_GPIB_PATH);
    auto send = library.get<void (*)(int, GpibDriverAddr, const void *, long, int)>("Send");
    auto send_ifc = library.get<void (*)(int)>("SendIFC");
    auto status = library.get<int (*)()>("ThreadIbsta");
    auto error = library.get<int (*)()>("ThreadIberr");
    send(0, 8, "*RST", 4, GPIB_DRIVER_DABend);
    EXPECT_EQ(status() & (ERR | CIC), ERR);
    EXPECT_EQ(error(), ECIC);
    send_ifc(0);
    send(0, 8, "*RST", 4, GPIB_DRIVER_DABend);
    EXPECT_EQ(status(), CMPL | CIC);
}

TEST_F(SimInstrument, ReplyReadInPartsAndAtTerminationByte) {
    send("*IDN?");
    std::string first = receive(5);
    EXPECT_EQ(first.size(), 5u);
    EXPECT_FALSE(ThreadIbsta() & END) << "count reached before the reply's end";
    std::string rest = receive();
    EXPECT_TRUE(ThreadIbsta() & END);
    EXPECT_EQ(first + rest, query("*IDN?"));

    send("*IDN?");
    std::string field = receive(4096, ',');
    EXPECT_EQ(field.back(), ',');
    EXPECT_EQ(std::count(field.begin(), field.end(), ','), 1);
    EXPECT_TRUE(ThreadIbsta() & END);
}

TEST_F(SimInstrument, IdleReceiveTimesOut) {
    struct Case {
        const char *timeout_ms;  // nullptr: the default
        long at_least_ms;
    } cases[] = {{"20", 20}, {"150", 150}, {nullptr, 100}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.timeout_ms ? c.timeout_ms : "default");
        if (c.timeout_ms) {
            setenv("GPIB_SIM_TIMEOUT_MS", c.timeout_ms, 1);
        } else {
            unsetenv("GPIB_SIM_TIMEOUT_MS");
        }
        char buffer[64];
        auto start = Clock::now();
        Receive(0, 8, buffer, sizeof buffer, STOPend);
        auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
        EXPECT_EQ(ThreadIbsta() & (ERR | TIMO), ERR | TIMO);
        EXPECT_EQ(ThreadIberr(), EABO);
        EXPECT_EQ(ThreadIbcnt(), 0);
        EXPECT_GE(waited.count(), c.at_least_ms);
        EXPECT_EQ(errors(), std::vector<int>{-420});
    }
}

TEST_F(SimInstrument, RemoteStatePublished) {
    const GpibDriverAddr list[] = {8, GPIB_DRIVER_NOADDR};
    const GpibDriverAddr none[] = {GPIB_DRIVER_NOADDR};
    EXPECT_FALSE(output().remote);
    EnableRemote(0, list);
    EXPECT_TRUE(output().remote);
    EnableLocal(0, list);
    EXPECT_FALSE(output().remote);
    send("FREQ 2");  // REN still asserted: addressed again, it goes remote
    EXPECT_TRUE(output().remote);
    EnableLocal(0, none);
    EXPECT_FALSE(output().remote);
    send("FREQ 3");
    EXPECT_FALSE(output().remote) << "without REN the instrument stays local";
}

TEST_F(SimInstrument, OutputPublishedAtOnceToANewStateFile) {
    send("FREQ 777");
    std::string moved = dir.file("moved.state");
    simtest::ScopedEnv state("BENCH_SIM_STATE", moved);
    send("FREQ 777");  // no change, but a new file to publish to
    benchsim::BenchOutput out;
    std::string error;
    ASSERT_TRUE(benchsim::read_bench_state(moved, out, error)) << error;
    EXPECT_EQ(out.frequency_hz, 777);
}

// Another instrument on the bench (a second program) may have written the state
// file since: an upload or a selection of the output publishes again, unchanged
// or not, so the board measures what was selected last.
TEST_F(SimInstrument, UploadAndOutputSelectionRepublishTheOutputUnchangedOrNot) {
    const std::vector<int> codes = {0, 100, 200, 300, 400, 500, 600, 700};
    send(dac(block(codes)));
    send("FUNC:USER VOLATILE");
    send("FUNC:SHAP USER");
    send("FREQ 2");
    ASSERT_EQ(output().function, "USER");
    const std::string commands[] = {dac(block(codes)), "FUNC:USER VOLATILE", "FUNC:SHAP USER"};
    for (const std::string &command : commands) {
        SCOPED_TRACE(command.substr(0, 18));
        benchsim::BenchOutput other;
        other.function = "SIN";
        other.frequency_hz = 50;
        other.amplitude_vpp = 1;
        std::string error;
        ASSERT_TRUE(benchsim::write_bench_state(state_path, other, error)) << error;
        send(command);
        benchsim::BenchOutput out = output();
        EXPECT_EQ(out.function, "USER");
        EXPECT_EQ(out.frequency_hz, 2);
        EXPECT_EQ(out.points.size(), codes.size());
    }
}

TEST_F(SimInstrument, LogLineForEachCall) {
    const GpibDriverAddr list[] = {8, GPIB_DRIVER_NOADDR};
    EnableRemote(0, list);
    send(std::string("a\"b\\\x01\n", 6), GPIB_DRIVER_NULLend);
    send("*IDN?", GPIB_DRIVER_NLend);
    std::string reply = receive(255);
    Send(0, 9, "x", 1, GPIB_DRIVER_DABend);
    std::vector<std::string> lines = log_lines();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0],
              "SendIFC board=0 addr=- mode=- count=- data=\"\" ibsta=0x0120 status=CMPL|CIC "
              "iberr=- ibcnt=0");
    EXPECT_EQ(lines[1],
              "EnableRemote board=0 addr=8 mode=- count=1 data=\"\" ibsta=0x0120 "
              "status=CMPL|CIC iberr=- ibcnt=0");
    EXPECT_EQ(lines[2],
              "Send board=0 addr=8 mode=NULLend count=6 data=\"a\\\"b\\\\\\x01\\n\" ibsta=0x0120 "
              "status=CMPL|CIC iberr=- ibcnt=6");
    EXPECT_EQ(lines[3],
              "Send board=0 addr=8 mode=NLend count=5 data=\"*IDN?\\n\" ibsta=0x0120 "
              "status=CMPL|CIC iberr=- ibcnt=5");
    EXPECT_EQ(lines[4], "Receive board=0 addr=8 mode=STOPend count=255 data=\"" +
                            reply.substr(0, reply.size() - 1) + "\\n\" ibsta=0x2120 " +
                            "status=END|CMPL|CIC iberr=- ibcnt=" + std::to_string(reply.size()));
    EXPECT_EQ(lines[5],
              "Send board=0 addr=9 mode=DABend count=1 data=\"\" ibsta=0x8020 status=ERR|CIC "
              "iberr=ENOL ibcnt=0");
}

TEST_F(SimInstrument, BusSpeedSetsTransferTime) {
    simtest::ScopedEnv speed("GPIB_SIM_BYTES_PER_S", "10000");
    std::string message = dac(block(std::vector<int>(500, 1)));  // about 1000 bytes
    auto start = Clock::now();
    send(message);
    auto took = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_GE(took, double(message.size()) / 10000);
}

TEST_F(SimInstrument, NumbersAndKeywordsIgnoreTheLocale) {
    const char *previous = std::setlocale(LC_ALL, nullptr);
    std::string saved = previous ? previous : "C";
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8") && !std::setlocale(LC_ALL, "cs_CZ.UTF-8"))
        GTEST_SKIP() << "no comma-decimal locale installed (scripts/deps.sh makes one)";
    send("freq 1.5;volt 0.25;func:shap sin");
    std::string frequency = query("FREQ?");
    std::setlocale(LC_ALL, saved.c_str());
    EXPECT_EQ(errors(), std::vector<int>{});
    EXPECT_EQ(output().frequency_hz, 1.5);
    EXPECT_EQ(frequency.find(','), std::string::npos) << frequency;
    std::ifstream in(state_path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("frequency_hz 1.5\n"), std::string::npos) << text;
}

}  // namespace
