// SPDX-License-Identifier: GPL-3.0-or-later
// Tests of the GPIB binding against the test driver library (test_driver.cpp):
// what reaches the driver (end modes, addresses, bytes), what comes back
// (status, error, count), and how a missing or incomplete driver library and
// GPIB_TRACE show on stderr.
#include "gpib.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "capture_stderr.h"
#include "gpib_link.h"
#include "gpib_testing.h"
#include "recording_gpib.h"
#include "scoped_env.h"
#include "temp_fifo.h"

namespace {

// Binds the binding to one recording driver and opens the same library for control.
class Driver : public RecordingGpib {
public:
    explicit Driver(const char *path) : RecordingGpib(path), library_("GPIB_LIBRARY", path) {
        gpib_unbind_for_testing();
    }
    ~Driver() {
        gpib_unbind_for_testing();
        unsetenv("GPIB_TRACE");
    }

private:
    testsupport::ScopedEnv library_;
};

const Addr4882_t kInstrument[] = {8, NOADDR};

TEST(GpibSend, EndModeAndAddressReachTheDriverInItsNumbering) {
    struct Case {
        Addr4882_t address;
        int programEndMode;
        std::uint16_t driverAddress;
        int driverEndMode;
    } cases[] = {
        {8, DABend, 8, 1},  // a command: EOI on its last byte, no newline appended
        {8, NLend, 8, 2},
        {8, NULLend, 8, 0},
        {static_cast<Addr4882_t>(0x6008), DABend, 0x6008, 1},  // secondary address in the high byte
        {static_cast<Addr4882_t>(0x8008), DABend, 0x8008, 1},  // negative as signed 16 bits
    };
    Driver driver(RECORDING_GPIB_PATH);
    for (const Case &c : cases) {
        SCOPED_TRACE("program end mode " + std::to_string(c.programEndMode) + ", address " +
                     std::to_string(c.driverAddress));
        const char command[] = "freq 1000.000000";
        Send(0, c.address, command, std::strlen(command), c.programEndMode);
        const BusCall &call = driver.last();
        EXPECT_EQ(call.routine, "Send");
        EXPECT_EQ(call.board, 0);
        EXPECT_EQ(call.address, c.driverAddress);
        EXPECT_EQ(call.mode, c.driverEndMode);
        EXPECT_EQ(call.count, static_cast<long>(std::strlen(command)));
        EXPECT_EQ(call.bytes, command);
        EXPECT_EQ(ibcnt, static_cast<int>(std::strlen(command)));
        EXPECT_EQ(ibsta, CMPL);
    }
}

TEST(GpibSend, BinaryBlockPassesUnchanged) {
    Driver driver(RECORDING_GPIB_PATH);
    std::vector<unsigned char> block = {'#', '4', 0x00, 0xFF, 0x0A, 0x80, 0x7F};
    Send(0, 8, block.data(), static_cast<long>(block.size()), DABend);
    const BusCall &call = driver.last();
    ASSERT_EQ(call.count, static_cast<long>(block.size()));
    EXPECT_EQ(call.bytes, std::string(block.begin(), block.end()));
}

TEST(GpibRemote, AddressListReachesTheDriverEndedByNoaddr) {
    Driver driver(RECORDING_GPIB_PATH);
    const Addr4882_t two[] = {8, 12, NOADDR};
    struct Case {
        void (*routine)(int, const Addr4882_t[]);
        const char *name;
        const Addr4882_t *list;
        std::vector<int> expected;  // up to the NOADDR that ends the list
    } cases[] = {
        {EnableRemote, "EnableRemote", kInstrument, {8}},
        {EnableLocal, "EnableLocal", kInstrument, {8}},
        {EnableRemote, "EnableRemote", two, {8, 12}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        c.routine(0, c.list);
        const BusCall &call = driver.last();
        EXPECT_EQ(call.routine, c.name);
        EXPECT_EQ(call.addresses, c.expected);
        EXPECT_EQ(ibsta, CMPL);
    }
    SendIFC(0);
    EXPECT_EQ(driver.last().routine, "SendIFC");
}

TEST(GpibReceive, CountOfBytesReceivedLandsInIbcnt) {
    struct Case {
        const char *what;
        std::string reply;
        long max;
        int expectedCount;
        bool endSeen;
    } cases[] = {
        {"short reply ended by EOI", "HP,33120A,0,1.0\n", 255, 16, true},
        {"reply of exactly the maximum", std::string(255, 'x'), 255, 255, true},
        {"reply longer than the maximum is cut", std::string(300, 'y'), 255, 255, false},
        {"nothing answered: the driver times out", "", 255, 0, false},
    };
    Driver driver(RECORDING_GPIB_PATH);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        driver.reply(c.reply.data(), static_cast<long>(c.reply.size()));
        std::vector<char> buffer(c.max + 1, '\x55');
        Receive(0, 8, buffer.data(), c.max, STOPend);
        const BusCall &call = driver.last();
        EXPECT_EQ(call.mode, STOPend);
        EXPECT_EQ(call.count, c.max);
        EXPECT_EQ(ibcnt, c.expectedCount);
        EXPECT_EQ(std::string(buffer.data(), ibcnt), c.reply.substr(0, c.expectedCount));
        EXPECT_EQ(buffer[c.max], '\x55') << "written past the count";
        EXPECT_EQ((ibsta & END) != 0, c.endSeen) << gpib_status_names(ibsta);
        driver.reply("", 0);
    }
}

TEST(GpibReceive, CountReportedByTheDriverIsKeptInsideTheBuffer) {
    struct Case {
        long reported;
        int expected;
    } cases[] = {{9999, 255}, {256, 255}, {-5, 0}, {17, 17}};
    Driver driver(RECORDING_GPIB_PATH);
    for (const Case &c : cases) {
        SCOPED_TRACE("driver reports " + std::to_string(c.reported));
        driver.scriptCount(c.reported);
        char buffer[256];
        Receive(0, 8, buffer, 255, STOPend);
        EXPECT_EQ(ibcnt, c.expected);
    }
}

// The same status must arrive whether the driver offers Thread* functions
// (whose variables then hold a decoy) or only the variables.
class GpibStatus : public testing::TestWithParam<const char *> {};

TEST_P(GpibStatus, DriverStatusReachesIbstaIberrIbcnt) {
    struct Case {
        int status;
        int error;
        long count;
    } cases[] = {
        {CMPL | CIC | TACS, 0, 5},
        {ERR | TIMO | CMPL, EABO, 0},
        {ERR | CMPL, ENOL, 0},
        {ERR, ECIC, 3},
    };
    Driver driver(GetParam());
    for (const Case &c : cases) {
        SCOPED_TRACE(gpib_status_names(c.status) + " " + gpib_error_name(c.error));
        driver.scriptStatus(c.status, c.error);
        driver.scriptCount(c.count);
        Send(0, 8, "*idn?", 5, DABend);
        EXPECT_EQ(ibsta, c.status);
        EXPECT_EQ(iberr, c.error);
        EXPECT_EQ(ibcnt, c.count);
    }
}

// The benchmarks' mode: every routine succeeds at once, every Receive gets an
// empty error queue's answer, and nothing is kept, until a reset.
TEST_P(GpibStatus, InstantModeSucceedsAtOnceAndKeepsNothing) {
    const std::string noError = "+0,\"No error\"\n";
    struct Case {
        const char *what;
        long max;  // asked of a Receive; 0: a Send of 7 bytes
        int status;
        int count;
    } cases[] = {
        {"Send", 0, CMPL, 7},
        {"Receive with room for the answer", 255, CMPL | END, 14},
        {"Receive cut short", 5, CMPL, 5},
    };
    Driver driver(GetParam());
    driver.scriptStatus(ERR, EBUS);  // a script the mode passes over
    driver.instant(true);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        char buffer[256] = {};
        if (c.max == 0)
            Send(0, 8, "*RST;*W", 7, DABend);
        else
            Receive(0, 8, buffer, c.max, STOPend);
        EXPECT_EQ(ibsta, c.status) << gpib_status_names(ibsta);
        EXPECT_EQ(iberr, 0);
        EXPECT_EQ(ibcnt, c.count);
        if (c.max != 0) {
            EXPECT_EQ(std::string(buffer), noError.substr(0, c.count));
        }
    }
    SendIFC(0);
    EnableRemote(0, kInstrument);
    EXPECT_EQ(ibsta, CMPL);
    EXPECT_EQ(driver.size(), 0u) << "calls kept in instant mode";

    driver.reset();
    Send(0, 8, "*RST", 4, DABend);
    EXPECT_EQ(driver.size(), 1u) << "a reset ends instant mode";
}

INSTANTIATE_TEST_SUITE_P(Driver, GpibStatus,
                         testing::Values(RECORDING_GPIB_PATH, RECORDING_GPIB_VARIABLES_ONLY_PATH),
                         [](const testing::TestParamInfo<const char *> &info) {
                             return std::string(info.index == 0 ? "ThreadFunctions"
                                                                : "VariablesOnly");
                         });

TEST(GpibStatus, ProgramVariablesAreNotTheDriversOwn) {
    Driver driver(RECORDING_GPIB_VARIABLES_ONLY_PATH);
    SendIFC(0);
    for (const char *name : {"ibsta", "iberr", "ibcnt"}) {
        void *driverVariable = dlsym(driver.handle(), name);
        ASSERT_NE(driverVariable, nullptr) << name;
        EXPECT_NE(driverVariable, static_cast<void *>(&ibsta)) << name;
        EXPECT_NE(driverVariable, static_cast<void *>(&iberr)) << name;
        EXPECT_NE(driverVariable, static_cast<void *>(&ibcnt)) << name;
    }
}

TEST(GpibArguments, MalformedCallsAreRefusedWithEargAndReachNoDriver) {
    Addr4882_t unterminated[40];
    for (Addr4882_t &a : unterminated) a = 8;
    char buffer[16];
    struct Case {
        const char *what;
        void (*call)(Addr4882_t *, char *);
    } cases[] = {
        {"EnableRemote without a list", [](Addr4882_t *, char *) { EnableRemote(0, nullptr); }},
        {"EnableLocal with no NOADDR", [](Addr4882_t *l, char *) { EnableLocal(0, l); }},
        {"Send from no buffer", [](Addr4882_t *, char *) { Send(0, 8, nullptr, 5, DABend); }},
        {"Send a negative count", [](Addr4882_t *, char *b) { Send(0, 8, b, -1, DABend); }},
        {"Send with an unknown end mode", [](Addr4882_t *, char *b) { Send(0, 8, b, 1, 7); }},
        {"Receive into no buffer",
         [](Addr4882_t *, char *) { Receive(0, 8, nullptr, 255, STOPend); }},
        {"Receive a negative count", [](Addr4882_t *, char *b) { Receive(0, 8, b, -3, STOPend); }},
    };
    Driver driver(RECORDING_GPIB_PATH);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        c.call(unterminated, buffer);
        EXPECT_EQ(ibsta, ERR);
        EXPECT_EQ(iberr, EARG);
        EXPECT_EQ(ibcnt, 0);
        EXPECT_EQ(static_cast<int>(driver.size()), 0);
    }
}

// Every routine once, as generator calls them; returns the receive buffer.
std::string call_every_routine() {
    char reply[256];
    std::memset(reply, '\x55', sizeof reply);
    struct Step {
        const char *name;
        void (*run)(char *);
    } steps[] = {
        {"SendIFC", [](char *) { SendIFC(0); }},
        {"EnableRemote", [](char *) { EnableRemote(0, kInstrument); }},
        {"Send", [](char *) { Send(0, 8, "*idn?", 5, DABend); }},
        {"Receive", [](char *r) { Receive(0, 8, r, 255, STOPend); }},
        {"EnableLocal", [](char *) { EnableLocal(0, kInstrument); }},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.name);
        ibsta = 0;
        iberr = -1;
        ibcnt = 77;
        step.run(reply);
        EXPECT_EQ(ibsta, ERR);
        EXPECT_EQ(iberr, EDVR);
        EXPECT_EQ(ibcnt, 0);
    }
    return std::string(reply, sizeof reply);
}

TEST(GpibUnbound, MissingLibraryFailsEveryRoutineAndSaysSoOnce) {
    const char *missing = "/nonexistent/libgpib-missing.so";
    setenv("GPIB_LIBRARY", missing, 1);
    gpib_unbind_for_testing();
    StderrCapture capture;
    std::string reply = call_every_routine();
    call_every_routine();
    std::string err = capture.text();
    const std::string problem = gpib_driver_problem();
    unsetenv("GPIB_LIBRARY");
    gpib_unbind_for_testing();

    // What a program shows in its window is the terminal's line, path and reason.
    EXPECT_EQ(problem.rfind(std::string("cannot use the GPIB driver library ") + missing + ": ", 0),
              0u)
        << problem;
    EXPECT_NE(err.find(problem), std::string::npos) << err;
    EXPECT_EQ(reply, std::string(256, '\x55')) << "Receive wrote into the buffer";
    EXPECT_EQ(line_count(err), 1) << err;
    EXPECT_NE(err.find(missing), std::string::npos) << err;
    EXPECT_NE(err.find("No such file"), std::string::npos) << err;
    EXPECT_NE(err.find("set GPIB_LIBRARY"), std::string::npos) << err;
    EXPECT_NE(err.find("install the Linux GPIB library"), std::string::npos) << err;
}

// The instrument dialog's note names the library every choice goes through: the
// whole path, however deep the folder (a package build's tree is), and escaped.
TEST(GpibChoiceNote, NamesTheDriverLibraryByItsWholePath) {
    const std::string folder = "/srv/" + std::string(200, 'd');
    testsupport::ScopedEnv library("GPIB_LIBRARY", folder + "/lib\x1b[2Jgpib.so");
    const std::string note = gpib_choice_note(8);
    EXPECT_NE(note.find("through its driver library " + folder + "/lib\\x1b[2Jgpib.so."),
              std::string::npos)
        << note;
}

TEST(GpibUnbound, DefaultLibraryIsTheLinuxGpibLibrary) {
    void *installed = dlopen("libgpib.so.0", RTLD_NOW | RTLD_LOCAL);
    if (installed != nullptr) {
        dlclose(installed);
        GTEST_SKIP() << "libgpib.so.0 is installed here; its absence cannot be shown";
    }
    unsetenv("GPIB_LIBRARY");
    gpib_unbind_for_testing();
    StderrCapture capture;
    SendIFC(0);
    std::string err = capture.text();
    gpib_unbind_for_testing();
    EXPECT_EQ(iberr, EDVR);
    EXPECT_NE(err.find("libgpib.so.0"), std::string::npos) << err;
}

TEST(GpibUnbound, LibraryLackingARoutineIsNotUsedAtAll) {
    Driver driver(RECORDING_GPIB_WITHOUT_RECEIVE_PATH);
    StderrCapture capture;
    call_every_routine();
    call_every_routine();
    std::string err = capture.text();

    EXPECT_EQ(static_cast<int>(driver.size()), 0) << "a routine reached a driver that was refused";
    EXPECT_EQ(line_count(err), 1) << err;
    EXPECT_NE(err.find(RECORDING_GPIB_WITHOUT_RECEIVE_PATH), std::string::npos) << err;
    EXPECT_NE(err.find("lacks the routine Receive"), std::string::npos) << err;
}

TEST(GpibUnbound, LibraryOfTheWrongKindIsRefusedWithAMessage) {
    // A library exporting the routine names as data would be called into its data
    // (SIGSEGV); a FIFO named as the library would hold the program before its window.
    const testsupport::TempFifo fifo("libgpib.so");
    ASSERT_FALSE(fifo.path().empty());
    const struct {
        std::string library;
        const char *says;
    } cases[] = {
        {GPIB_DATA_DRIVER_PATH, "SendIFC is a data object, not a routine"},
        {fifo.path(), "it is not a regular file"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.library);
        setenv("GPIB_LIBRARY", c.library.c_str(), 1);
        gpib_unbind_for_testing();
        StderrCapture capture;
        std::string reply = call_every_routine();
        std::string err = capture.text();
        EXPECT_EQ(iberr, EDVR);
        EXPECT_EQ(reply, std::string(256, '\x55')) << "Receive wrote into the buffer";
        EXPECT_EQ(line_count(err), 1) << err;
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
    }
    unsetenv("GPIB_LIBRARY");
    gpib_unbind_for_testing();
}

TEST(GpibTrace, EachCallIsPrintedWithAddressBytesAndDecodedStatus) {
    struct Case {
        const char *what;
        int status;
        int error;
        const char *reply;
        void (*call)();
        std::vector<std::string> expected;
    } cases[] = {
        {"command",
         CMPL,
         0,
         "",
         [] { Send(0, 8, "*idn?", 5, DABend); },
         {"gpib: Send(board 0, address 8, 5 bytes \"*idn?\", DABend) -> ibsta 0x0100 <CMPL>, "
          "ibcnt 5\n"}},
        {"reply with control characters",
         CMPL,
         0,
         "A,\"b\"\r\n\x01",
         [] {
             char buffer[255];
             Receive(0, 8, buffer, 255, STOPend);
         },
         {"gpib: Receive(board 0, address 8, max 255 bytes, STOPend) -> ibsta 0x2100 <END CMPL>, "
          "ibcnt 8: \"A,\\\"b\\\"\\r\\n\\x01\"\n"}},
        {"time-out",
         ERR | TIMO | CMPL,
         EABO,
         "",
         [] { Send(0, 8, "volt 4.500000", 13, DABend); },
         {"ibsta 0xC100 <ERR TIMO CMPL>, iberr EABO, ibcnt 13"}},
        {"remote",
         CMPL | REM,
         0,
         "",
         [] { EnableRemote(0, kInstrument); },
         {"gpib: EnableRemote(board 0, addresses 8) -> ibsta 0x0140 <CMPL REM>"}},
        {"long data is cut in the trace",
         CMPL,
         0,
         "",
         [] {
             std::string block(100, 'z');
             Send(0, 8, block.data(), 100, DABend);
         },
         {"100 bytes \"" + std::string(40, 'z') + "\"...,"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        setenv("GPIB_TRACE", "1", 1);
        Driver driver(RECORDING_GPIB_PATH);
        driver.scriptStatus(c.status, c.error);
        driver.reply(c.reply, static_cast<long>(std::strlen(c.reply)));
        StderrCapture capture;
        c.call();
        std::string err = capture.text();
        EXPECT_EQ(line_count(err), 1) << err;
        for (const std::string &part : c.expected)
            EXPECT_NE(err.find(part), std::string::npos) << "expected " << part << "\nin " << err;
    }
}

TEST(GpibTrace, SilentUnlessAsked) {
    for (const char *value : {"", "0"}) {
        setenv("GPIB_TRACE", value, 1);
        Driver driver(RECORDING_GPIB_PATH);
        StderrCapture capture;
        Send(0, 8, "*idn?", 5, DABend);
        EXPECT_EQ(capture.text(), "") << "GPIB_TRACE=" << value;
    }
}

TEST(GpibTrace, UnboundDriverStillTracesEachCall) {
    setenv("GPIB_TRACE", "1", 1);
    setenv("GPIB_LIBRARY", "/nonexistent/libgpib-missing.so", 1);
    gpib_unbind_for_testing();
    StderrCapture capture;
    Send(0, 8, "*idn?", 5, DABend);
    Send(0, 8, "*idn?", 5, DABend);
    std::string err = capture.text();
    unsetenv("GPIB_TRACE");
    unsetenv("GPIB_LIBRARY");
    gpib_unbind_for_testing();
    EXPECT_EQ(line_count(err), 3) << err;  // the binding failure once, then each call
    EXPECT_NE(err.find("<ERR>, iberr EDVR, ibcnt 0"), std::string::npos) << err;
}

TEST(GpibNames, ErrorNamesStatusNamesAndHints) {
    struct NameCase {
        int error;
        const char *name;
    } names[] = {
        {EDVR, "EDVR"}, {ECIC, "ECIC"}, {ENOL, "ENOL"}, {EADR, "EADR"}, {EARG, "EARG"},
        {ESAC, "ESAC"}, {EABO, "EABO"}, {ENEB, "ENEB"}, {EDMA, "EDMA"}, {EOIP, "EOIP"},
        {ECAP, "ECAP"}, {EFSO, "EFSO"}, {EBUS, "EBUS"}, {ESTB, "ESTB"}, {ESRQ, "ESRQ"},
        {ETAB, "ETAB"}, {9, "E?9"},     {-1, "E?-1"},
    };
    for (const NameCase &c : names) {
        EXPECT_STREQ(gpib_error_name(c.error), c.name);
        EXPECT_FALSE(gpib_error_hint(c.error, 8).empty()) << c.name;
    }

    struct HintCase {
        int error;
        int address;
        const char *part;
    } hints[] = {
        {ENOL, 8, "no listener at address 8: is the instrument on and set to address 8?"},
        {ENOL, 17, "no listener at address 17: is the instrument on and set to address 17?"},
        {EABO, 8, "time-out: the instrument at address 8 is busy or not answering"},
        {EDVR, 8, "GPIB_LIBRARY"},
        {ECIC, 8, "SendIFC"},
        {ENEB, 8, "board 0"},
        {EARG, 8, "invalid argument"},
    };
    for (const HintCase &c : hints)
        EXPECT_NE(gpib_error_hint(c.error, c.address).find(c.part), std::string::npos)
            << gpib_error_hint(c.error, c.address);

    struct StatusCase {
        int status;
        const char *names;
    } statuses[] = {
        {0, ""},
        {ERR | TIMO | CMPL, "ERR TIMO CMPL"},
        {END | CMPL | CIC | LACS, "END CMPL CIC LACS"},
        {0xFFFF, "ERR TIMO END SRQI RQS SPOLL EVENT CMPL LOK REM CIC ATN TACS LACS DTAS DCAS"},
    };
    for (const StatusCase &c : statuses) EXPECT_EQ(gpib_status_names(c.status), c.names);
}

// The one table of codes: every code's text begins with its name, the sim's
// log separator joins the same names, and bus bytes escape alike everywhere.
TEST(GpibNames, ErrorTextsSeparatorsAndEscaping) {
    for (const GpibCode &entry : gpib_error_codes())
        EXPECT_EQ(gpib_error_text(entry.code), std::string(entry.name) + ": " + entry.meaning);
    EXPECT_STREQ(gpib_error_text(ENOL), "ENOL: no listeners on the bus");
    EXPECT_STREQ(gpib_error_text(9), "unknown error");
    EXPECT_EQ(gpib_status_names(ERR | TIMO | CIC, "|"), "ERR|TIMO|CIC");

    struct EscapeCase {
        std::string bytes;
        const char *text;
    } escapes[] = {
        {"*IDN?", "*IDN?"},
        {"a\"b\\c", "a\\\"b\\\\c"},
        {"\n\r\t", "\\n\\r\\t"},
        {std::string("\0\x01\x7F\xFF", 4), "\\x00\\x01\\x7f\\xff"},
    };
    for (const EscapeCase &c : escapes) EXPECT_EQ(gpib_escaped_bytes(c.bytes), c.text);
}

}  // namespace
