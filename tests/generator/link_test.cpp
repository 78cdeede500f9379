// SPDX-License-Identifier: GPL-3.0-or-later
// The generator names the link it uses: a failed transfer over the SCPI link is
// told in the link's own words (host, port and the system's reason) with advice
// for a LAN instrument, not for a GPIB bus; a driver library that cannot be
// loaded is named with its path.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QWidget>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "generator_harness.h"
#include "generator_ui.h"
#include "scoped_env.h"
#include "userint_testing.h"

namespace {

using testsupport::ScopedEnv;

// A loopback port on which nothing listens: bound once to find a free one, then closed.
std::string closedLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        ADD_FAILURE() << "no free loopback port";
    if (fd >= 0) close(fd);
    return std::to_string(ntohs(address.sin_port));
}

void expectAllIn(const std::string &status, std::initializer_list<std::string> parts) {
    for (const std::string &part : parts)
        EXPECT_NE(status.find(part), std::string::npos)
            << "'" << part << "' missing in: " << status;
}

void expectNoneIn(const std::string &status, std::initializer_list<std::string> parts) {
    for (const std::string &part : parts)
        EXPECT_EQ(status.find(part), std::string::npos) << "'" << part << "' in: " << status;
}

// The start-up upload to a refused port, then a commit after the mapping names a
// host that cannot be resolved: each failure in the link's words, with LAN advice.
TEST(GeneratorLink, LanFailuresAreToldWithHostPortAndTheSystemsReason) {
    const std::string port = closedLoopbackPort();
    ScopedEnv mapping("LABBENCH_INSTRUMENT_8", "TCPIP::127.0.0.1::" + port + "::SOCKET");
    ScopedEnv timeout("LABBENCH_IO_TIMEOUT_MS", "2000");
    const std::string lanAdvice = "is the instrument on the network and its SCPI socket enabled?";
    int exitCode = runGeneratorOn(GENERATOR_SCPI_LINK, [&] {
        QuitAtExit quit;
        std::string refused = statusLine();
        expectAllIn(refused, {"Upload failed at the frequency command", "ENOL",
                              "TCPIP::127.0.0.1::" + port + "::SOCKET", "Connection refused",
                              "127.0.0.1 port " + port, lanAdvice});
        expectNoneIn(refused, {"no listener at address", "set to address 8"});
        EXPECT_EQ(control(PANEL_STATUS)->accessibleDescription().toStdString(), "Failure");

        setenv("LABBENCH_INSTRUMENT_8", "TCPIP::no-such-host.invalid::5025::SOCKET", 1);
        typeValue(PANEL_AMPL, 4.5, 3);
        std::string unresolved = statusLine();
        expectAllIn(unresolved, {"Upload failed at the frequency command", "ENOL",
                                 "no-such-host.invalid port 5025", lanAdvice});
        expectNoneIn(unresolved, {"no listener at address", "set to address 8"});
    });
    EXPECT_EQ(exitCode, 0);
}

TEST(GeneratorLink, UsbFailureNamesTheDeviceFileAndItsPermissions) {
    ScopedEnv mapping("LABBENCH_INSTRUMENT_8", "USBTMC::/dev/no-such-usbtmc7");
    int exitCode = runGeneratorOn(GENERATOR_SCPI_LINK, [&] {
        QuitAtExit quit;
        std::string status = statusLine();
        expectAllIn(status, {"USBTMC::/dev/no-such-usbtmc7", "No such file or directory",
                             "may you read and write /dev/no-such-usbtmc7"});
        expectNoneIn(status, {"no listener at address", "set to address 8"});
    });
    EXPECT_EQ(exitCode, 0);
}

TEST(GeneratorLink, AMissingDriverLibraryIsNamedWithItsPathInTheWindow) {
    const char missing[] = "/nonexistent/labbench/libgpib-missing.so";
    int exitCode = runGeneratorOn(missing, [&] {
        QuitAtExit quit;
        std::string status = statusLine();
        expectAllIn(status, {"EDVR", std::string("cannot use the GPIB driver library ") + missing,
                             "cannot open shared object file", "GPIB_LIBRARY"});
    });
    EXPECT_EQ(exitCode, 0);
}

}  // namespace

namespace {

struct TitleCase {
    const char *name;
    const char *library;
    const char *mapping;  // LABBENCH_INSTRUMENT_8, or nullptr
    const char *title;
};

void PrintTo(const TitleCase &c, std::ostream *os) { *os << c.name; }

class GeneratorTitle : public ::testing::TestWithParam<TitleCase> {};

// The title names the instrument the driver library reaches.
TEST_P(GeneratorTitle, NamesTheInstrument) {
    const TitleCase &c = GetParam();
    ScopedEnv mapping("LABBENCH_INSTRUMENT_8", c.mapping);
    ScopedEnv timeout("LABBENCH_IO_TIMEOUT_MS", "200");
    userint_testing::answer_popups_with([](const userint_testing::Popup &) {});
    int exitCode = runGeneratorOn(c.library, [&] {
        QuitAtExit quit;
        EXPECT_EQ(userint_testing::panel_widget(PANEL)->windowTitle().toStdString(), c.title);
    });
    EXPECT_EQ(exitCode, 0);
}

const TitleCase titleCases[] = {
    {"GpibBus", RECORDING_GPIB_PATH, nullptr, "Waveform generator \u2014 GPIB address 8"},
    {"SimulatedInstrument", GENERATOR_SIM_INSTRUMENT, nullptr,
     "Waveform generator \u2014 GPIB address 8 (simulated)"},
    {"Lan", GENERATOR_SCPI_LINK, "TCPIP::127.0.0.1::9::SOCKET",
     "Waveform generator \u2014 TCPIP::127.0.0.1::9::SOCKET"},
    {"Usb", GENERATOR_SCPI_LINK, "USBTMC::/dev/usbtmc0",
     "Waveform generator \u2014 USBTMC::/dev/usbtmc0"},
};
INSTANTIATE_TEST_SUITE_P(Links, GeneratorTitle, ::testing::ValuesIn(titleCases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace

namespace {

// The built generator as a process of its own on the recording driver, offscreen,
// with the runtime folder `runtime`; its bus calls go to `log`, one line each.
pid_t startGeneratorProcess(const std::string &runtime, const std::string &log) {
    pid_t child = fork();
    if (child == 0) {
        setenv("GPIB_LIBRARY", RECORDING_GPIB_PATH, 1);
        setenv("RECORDING_GPIB_LOG", log.c_str(), 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        if (!std::freopen("/dev/null", "w", stderr)) _exit(126);
        execl(GENERATOR_PROGRAM, GENERATOR_PROGRAM, static_cast<char *>(nullptr));
        _exit(127);
    }
    EXPECT_GT(child, 0) << "cannot start " << GENERATOR_PROGRAM;
    return child;
}

// Waits (at most 60 s) until `log` shows a whole start-up upload: the interface
// clear, the remote enable, six transfers and the error query with its reply.
bool startedUp(const std::string &log, pid_t child) {
    for (int i = 0; i < 3000; i++) {
        std::ifstream in(log);
        std::stringstream text;
        text << in.rdbuf();
        int lines = 0;
        for (char c : text.str()) lines += c == '\n';
        if (lines >= 10) return true;
        if (waitpid(child, nullptr, WNOHANG) == child) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

void endProcess(pid_t child, int signal) {
    if (child <= 0) return;
    kill(child, signal);
    waitpid(child, nullptr, 0);
}

// A second generator on the instrument of a running one is refused before any
// bus traffic, naming the first one's process; once that one is gone (killed,
// here, the hardest way to end) a generator may start again.
TEST(GeneratorClaim, SecondGeneratorOnTheSameInstrumentIsRefusedUntilTheFirstEnds) {
    const std::string runtime = testRuntimeDir();
    const std::string firstLog = runtime + "/first.log", thirdLog = runtime + "/third.log";
    pid_t first = startGeneratorProcess(runtime, firstLog);
    ASSERT_TRUE(startedUp(firstLog, first)) << "the first generator did not start up";

    userint_testing::answer_popups_with([](const userint_testing::Popup &) {});
    int exitCode = runGenerator([] { ADD_FAILURE() << "the second generator opened its window"; });
    EXPECT_EQ(exitCode, 1);
    EXPECT_EQ(bus().size(), 0u) << "the refused generator put something on the bus";
    ASSERT_EQ(userint_testing::popups().size(), 1u);
    EXPECT_EQ(userint_testing::popups()[0].title, "generator: instrument in use");
    EXPECT_EQ(userint_testing::popups()[0].message,
              "generator is already controlling the instrument at address 8 (process " +
                  std::to_string(first) + "); quit it first");
    userint_testing::answer_popups_with(nullptr);

    endProcess(first, SIGKILL);
    pid_t third = startGeneratorProcess(runtime, thirdLog);
    EXPECT_TRUE(startedUp(thirdLog, third)) << "no generator may start after the first was killed";
    endProcess(third, SIGKILL);
}

}  // namespace
