// SPDX-License-Identifier: GPL-3.0-or-later
// labbench-sim-instrument, the simulated instrument served as a raw SCPI
// socket, driven by plain socket clients on 127.0.0.1: replies in order,
// binary blocks, clients in turn, the state file and log, a clean end on
// SIGINT and SIGTERM, and the messages for a port in use or a bad argument.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_state.h"
#include "sim_test_support.h"
#include "socket_instrument_process.h"

namespace {

using simtest::ScopedEnv;
using simtest::SocketInstrumentProcess;

// A client connection to 127.0.0.1:<port>; every read waits at most 5 s.
class Client {
public:
    explicit Client(const std::string &port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(std::uint16_t(std::stoi(port)));
        if (connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
            ADD_FAILURE() << "cannot connect to 127.0.0.1:" << port;
    }
    ~Client() { close(fd_); }
    void send(const std::string &bytes) {
        ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
    }
    // The next `lines` newline-ended lines, as they came.
    std::string receive(int lines = 1) {
        std::string text;
        char c;
        while (lines > 0) {
            pollfd entry{fd_, POLLIN, 0};
            if (poll(&entry, 1, 5000) <= 0 || read(fd_, &c, 1) != 1) break;
            text += c;
            if (c == '\n') --lines;
        }
        return text;
    }

private:
    int fd_ = -1;
};

benchsim::BenchOutput state(const std::string &path) {
    benchsim::BenchOutput out;
    std::string error;
    EXPECT_TRUE(benchsim::read_bench_state(path, out, error)) << error;
    return out;
}

struct ServedInstrument : ::testing::Test {
    simtest::TempDir dir;
    ScopedEnv stateFile{"BENCH_SIM_STATE", dir.file("bench.state")};
    ScopedEnv log{"GPIB_SIM_LOG", dir.file("bus.log")};
};

TEST_F(ServedInstrument, AnswersEachQueryInTurnTakesBlocksAndServesClientsOneAfterAnother) {
    SocketInstrumentProcess server(LABBENCH_SIM_INSTRUMENT);
    {
        Client first(server.port());
        // Several messages in one piece: every query gets its reply, in order.
        first.send("FREQ 2000\nFREQ?\n*IDN?\n");
        EXPECT_EQ(first.receive(2), "2.000000000e+03\nLabBench,SimWave 3600,SIM0001,1.0\n");
        EXPECT_TRUE(state(dir.file("bench.state")).remote) << "remote while a client is connected";
        // A block whose bytes hold newlines, low byte first.
        first.send("FORM:BORD SWAP\nDATA:DAC VOLATILE,#216");
        first.send(
            std::string("\x0a\x00\x0a\x01\xf6\xff\x01\x00\x0a\x02\x02\x00\x03\x00\x04\x00", 16) +
            "\nFUNC:USER VOLATILE;:FUNC USER\nSYST:ERR?\n");
        EXPECT_EQ(first.receive(), "+0,\"No error\"\n");
        // An empty block is refused (too few points), and the instrument serves on.
        first.send("DATA:DAC VOLATILE,#10\nSYST:ERR?\n");
        EXPECT_EQ(first.receive(), "-222,\"Data out of range\"\n");
        first.send("VOLT 1");  // no end: dropped when the client goes
    }
    benchsim::BenchOutput out = state(dir.file("bench.state"));
    EXPECT_EQ(out.function, "USER");
    EXPECT_EQ(out.points, (std::vector<std::int16_t>{10, 266, -10, 1, 522, 2, 3, 4}));

    Client second(server.port());
    second.send("VOLT?;FREQ?\nSYST:ERR?\n");
    EXPECT_EQ(second.receive(2), "1.000000000e-01;2.000000000e+03\n+0,\"No error\"\n");

    std::string log = simtest::file_text(dir.file("bus.log"));
    EXPECT_NE(log.find("Send board=0 addr=8 mode=NULLend count=22 "
                       "data=\"FREQ 2000\\nFREQ?\\n*IDN?\\n\" ibsta=0x0100 status=CMPL iberr=- "
                       "ibcnt=22\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Receive board=0 addr=8 mode=STOPend count=65536 "
                       "data=\"2.000000000e+03\\n\" ibsta=0x2100 status=END|CMPL"),
              std::string::npos)
        << log;
}

TEST_F(ServedInstrument, EndsCleanlyOnInterruptAndTerminate) {
    for (int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(signal));
        SocketInstrumentProcess server(LABBENCH_SIM_INSTRUMENT);
        Client client(server.port());
        client.send("*OPC?\n");
        EXPECT_EQ(client.receive(), "1\n");
        EXPECT_EQ(server.stop(signal), 0);
        EXPECT_FALSE(state(dir.file("bench.state")).remote) << "back to local at the end";
        EXPECT_NE(server.errors().find("labbench-sim-instrument: stopped"), std::string::npos)
            << server.errors();
    }
}

long ms_since(std::chrono::steady_clock::time_point start) {
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - start)
                    .count());
}

// SIGTERM ends the instrument at once while it paces a slow bus, whether it
// is taking a message (1 byte/s: 100 s of it) or sending a reply.
TEST_F(ServedInstrument, EndsOnTerminateWhilePacingASlowBus) {
    struct Case {
        const char *bytesPerSecond;
        std::string message;
    };
    const Case cases[] = {
        {"1",
         "FREQ 1000;VOLT 1;FUNC SIN;FREQ?;VOLT?;FUNC?;SYST:ERR?;*IDN?;*OPC?;FREQ 2000;"
         "VOLT 2;FUNC SQU\n"},
        {"40", "*IDN?;*IDN?;*IDN?;*IDN?\n"},  // 0.6 s in, then 3.5 s of reply
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.bytesPerSecond);
        ScopedEnv pace("GPIB_SIM_BYTES_PER_S", c.bytesPerSecond);
        SocketInstrumentProcess server(LABBENCH_SIM_INSTRUMENT);
        Client client(server.port());
        client.send(c.message);
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(server.stop(SIGTERM), 0) << server.errors();
        EXPECT_LT(ms_since(start), 5000) << "SIGTERM must end the instrument within a second";
    }
}

// A standard error nobody reads any more costs the log lines, not the
// instrument (which would die of SIGPIPE, status 141).
TEST_F(ServedInstrument, KeepsServingWhenNobodyReadsItsStandardError) {
    SocketInstrumentProcess server(LABBENCH_SIM_INSTRUMENT, {"--listen", "127.0.0.1:0"}, true,
                                   true);
    server.closeErrors();
    for (int round = 0; round < 3; ++round) {  // each client's arrival and leaving is a log line
        Client client(server.port());
        client.send("*OPC?\n");
        EXPECT_EQ(client.receive(), "1\n") << "round " << round;
    }
    EXPECT_TRUE(server.alive());
    EXPECT_EQ(server.stop(SIGTERM), 0);
}

// GPIB_SIM_LOG naming a FIFO nobody reads, or a device node (both made by the
// test in its own folder): refused with one line; the instrument serves on
// without a log and ends on SIGTERM.
TEST_F(ServedInstrument, ALogPathThatIsNoRegularFileIsRefusedAndTheInstrumentServesOn) {
    for (const std::string &named : simtest::no_regular_files(dir, "log")) {
        SCOPED_TRACE(named);
        ScopedEnv logPath("GPIB_SIM_LOG", named);
        SocketInstrumentProcess server(LABBENCH_SIM_INSTRUMENT);
        {
            Client client(server.port());
            client.send("*OPC?\n*OPC?\n");
            EXPECT_EQ(client.receive(2), "1\n1\n");
        }
        EXPECT_EQ(server.stop(SIGTERM), 0);
        const std::string said = server.errors();
        const std::string refusal = "GPIB_SIM_LOG " + named + " is ";
        EXPECT_NE(said.find(refusal), std::string::npos) << said;
        EXPECT_EQ(said.find(refusal), said.rfind(refusal)) << "said more than once: " << said;
        struct stat info;
        ASSERT_EQ(lstat(named.c_str(), &info), 0);
        EXPECT_FALSE(S_ISREG(info.st_mode));
    }
}

// Clients arriving in a burst while one is served all get their connection
// at once and wait for their turn (a listen queue of 8 left the tenth to the
// handshake's retry, a second or more later).
TEST_F(ServedInstrument, ABurstOfClientsWaitsConnectedForItsTurn) {
    SocketInstrumentProcess server(LABBENCH_SIM_INSTRUMENT);
    Client served(server.port());
    served.send("*OPC?\n");
    ASSERT_EQ(served.receive(), "1\n");
    std::vector<int> waiting;
    for (int i = 0; i < 24; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(std::uint16_t(std::stoi(server.port())));
        connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
        waiting.push_back(fd);
    }
    // The instrument serves `served` meanwhile, so only the system's queue
    // can complete these; a client left out would not complete for seconds.
    int connected = 0;
    for (int fd : waiting) {
        pollfd entry{fd, POLLOUT, 0};
        int error = -1;
        socklen_t length = sizeof error;
        if (poll(&entry, 1, 3000) > 0 &&
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0)
            ++connected;
        close(fd);
    }
    EXPECT_EQ(connected, 24);
}

TEST_F(ServedInstrument, RefusesAPortInUseAndABadListenAddressWithAClearMessage) {
    SocketInstrumentProcess first(LABBENCH_SIM_INSTRUMENT);
    SocketInstrumentProcess second(LABBENCH_SIM_INSTRUMENT,
                                   {"--listen", "127.0.0.1:" + first.port()}, false);
    EXPECT_EQ(second.wait(), 1);
    EXPECT_EQ(second.errors(),
              "labbench-sim-instrument: cannot listen on 127.0.0.1:" + first.port() +
                  ": Address already in use (another program, perhaps another "
                  "simulated instrument, uses the port; end it, or choose "
                  "another port with --listen 127.0.0.1:<port>, or 0 for a "
                  "free one)\n");

    for (const char *listen : {"5025", "127.0.0.1:", "::1:5025", "127.0.0.1:65536", "host:x"}) {
        SCOPED_TRACE(listen);
        SocketInstrumentProcess bad(LABBENCH_SIM_INSTRUMENT, {"--listen", listen}, false);
        EXPECT_EQ(bad.wait(), 2);
        EXPECT_NE(bad.errors().find("is not HOST:PORT"), std::string::npos) << bad.errors();
    }
}

TEST(SocketInstrumentCommandLine, HelpVersionAndUnknownArguments) {
    struct Case {
        const char *argument;
        int status;
        std::string output, errors;  // texts each must contain
    };
    const Case cases[] = {
        {"--help", 0, "One client at a time", ""},
        {"-h", 0, "--listen HOST:PORT", ""},
        {"--version", 0, "labbench-sim-instrument (LabBench) ", ""},
        {"--bogus", 2, "", "unknown argument '--bogus' (see labbench-sim-instrument --help)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.argument);
        SocketInstrumentProcess run(LABBENCH_SIM_INSTRUMENT, {c.argument}, false);
        EXPECT_EQ(run.wait(), c.status);
        EXPECT_NE(run.output().find(c.output), std::string::npos) << run.output();
        EXPECT_NE(run.errors().find(c.errors), std::string::npos) << run.errors();
    }
    SocketInstrumentProcess help(LABBENCH_SIM_INSTRUMENT, {"--help"}, false);
    EXPECT_EQ(help.wait(), 0);
    EXPECT_NE(help.output().find("Ctrl+C or SIGTERM"), std::string::npos) << help.output();
}

}  // namespace
