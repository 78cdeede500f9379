// SPDX-License-Identifier: GPL-3.0-or-later
// The SCPI link driver library against scripted instruments on the loopback
// interface (127.0.0.1 and ::1 only) and a pseudo-terminal standing in for a
// usbtmc device file: address mapping, message framing, replies, and every
// way a link fails. Each test loads the library afresh; every wait of a
// scripted instrument is bounded, so a broken library fails a test rather
// than hanging it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture_stderr.h"
#include "sim_test_support.h"

#define GPIB_DRIVER_CONSTANTS_ONLY
#include "gpib_driver.h"

namespace {

using simtest::ScopedEnv;
using Clock = std::chrono::steady_clock;
constexpr int kPeerWaitMs = 5000;  // the longest any scripted instrument waits for anything

// ---- The library -------------------------------------------------------------------

struct ScpiLink {
    simtest::Library library{LABBENCH_SCPI_LINK_PATH};
    void (*sendIfc)(int) = library.get<void (*)(int)>("SendIFC");
    void (*enableRemote)(int, const GpibDriverAddr *) =
        library.get<void (*)(int, const GpibDriverAddr *)>("EnableRemote");
    void (*send)(int, GpibDriverAddr, const void *, long,
                 int) = library.get<void (*)(int, GpibDriverAddr, const void *, long, int)>("Send");
    void (*receive)(int, GpibDriverAddr, void *, long,
                    int) = library.get<void (*)(int, GpibDriverAddr, void *, long, int)>("Receive");
    int (*threadIbsta)() = library.get<int (*)()>("ThreadIbsta");
    int (*threadIberr)() = library.get<int (*)()>("ThreadIberr");
    long (*threadIbcntl)() = library.get<long (*)()>("ThreadIbcntl");
    const char *(*errorString)(int) = library.get<const char *(*)(int)>("gpib_error_string");

    void sendText(const std::string &text, int mode = GPIB_DRIVER_DABend, GpibDriverAddr to = 8) {
        send(0, to, text.data(), long(text.size()), mode);
    }
    // Receives into a buffer of `count` bytes; the bytes received.
    std::string receiveText(long count = 256, int termination = STOPend) {
        std::string buffer(std::size_t(count), '\0');
        receive(0, 8, buffer.data(), count, termination);
        return buffer.substr(0, std::size_t(std::max(0L, threadIbcntl())));
    }
    int status() const { return threadIbsta(); }
    int error() const { return threadIberr(); }
    long count() const { return threadIbcntl(); }
    std::string why() const { return errorString(threadIberr()); }
};

// ---- Scripted instruments on the loopback interface --------------------------------------

// Waits for `events` on `fd` at most kPeerWaitMs, or until `stop` is set;
// false when nothing came.
bool ready(int fd, short events, const std::atomic<bool> *stop = nullptr) {
    for (int waited = 0; waited < kPeerWaitMs; waited += 20) {
        if (stop && *stop) return false;
        pollfd entry{fd, events, 0};
        if (poll(&entry, 1, 20) > 0) return true;
    }
    return false;
}

// Reads until `text` ends with `end`, the peer closes, or the wait runs out.
std::string read_until(int fd, const std::string &end) {
    std::string text;
    char c;
    while (!(text.size() >= end.size() &&
             text.compare(text.size() - end.size(), end.size(), end) == 0)) {
        if (!ready(fd, POLLIN) || read(fd, &c, 1) != 1) break;
        text += c;
    }
    return text;
}

void write_all(int fd, const std::string &bytes) {
    std::size_t done = 0;
    while (done < bytes.size() && ready(fd, POLLOUT)) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) break;
        done += std::size_t(n);
    }
}

// A listening socket on 127.0.0.1 (or ::1) with a port of its own; each
// accepted connection is handed to the script, in order, on one thread.
class LoopbackInstrument {
public:
    using Script = std::function<void(int fd, int connection)>;

    LoopbackInstrument(int connections, Script script, bool ipv6 = false) : ipv6_(ipv6) {
        listener_ = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_storage address{};
        socklen_t length = bind_loopback(address);
        if (bind(listener_, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
            listen(listener_, 4) != 0 ||
            getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            ADD_FAILURE() << "cannot listen on the loopback interface: " << std::strerror(errno);
        port_ = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6 *>(&address)->sin6_port
                           : reinterpret_cast<sockaddr_in *>(&address)->sin_port);
        thread_ = std::thread([this, connections, script] {
            for (int i = 0; i < connections && !stop_; ++i) {
                if (!ready(listener_, POLLIN, &stop_)) return;
                int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0) return;
                accepted_++;
                script(fd, i);
                close(fd);
            }
        });
    }
    ~LoopbackInstrument() { stopListening(); }
    std::string resource() const {
        return std::string("TCPIP::") + (ipv6_ ? "::1" : "127.0.0.1") +
               "::" + std::to_string(port_) + "::SOCKET";
    }
    int port() const { return port_; }
    int accepted() const { return accepted_; }
    // Waits for the script thread to finish its connections.
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    // Waits for the script, then closes the port: nothing listens any more.
    void stopListening() {
        stop_ = true;
        join();
        if (listener_ >= 0) close(listener_);
        listener_ = -1;
    }

private:
    socklen_t bind_loopback(sockaddr_storage &address) const {
        if (ipv6_) {
            auto *in6 = reinterpret_cast<sockaddr_in6 *>(&address);
            in6->sin6_family = AF_INET6;
            in6->sin6_addr = in6addr_loopback;
            return sizeof *in6;
        }
        auto *in = reinterpret_cast<sockaddr_in *>(&address);
        in->sin_family = AF_INET;
        in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return sizeof *in;
    }

    bool ipv6_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::thread thread_;
};

// A loopback port on which nothing listens: bound, then released.
int closed_port() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr *>(&address), length);
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

// A private configuration folder, and no mapping from the environment of the test run.
struct CleanMapping {
    simtest::TempDir config;
    ScopedEnv xdg{"XDG_CONFIG_HOME", config.file("config")};
    ScopedEnv noEnvironment{"LABBENCH_INSTRUMENT_8", ""};
    CleanMapping() { unsetenv("LABBENCH_INSTRUMENT_8"); }
    void writeConf(const std::string &text) {
        std::filesystem::create_directories(config.file("config/labbench"));
        std::ofstream(config.file("config/labbench/instruments.conf")) << text;
    }
};

long ms_since(Clock::time_point start) {
    return long(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// ---- Mapping ---------------------------------------------------------------------------

TEST(ScpiLinkMapping, AnUnmappedAddressGetsEnolAndAnInstructionAndNothingIsSent) {
    CleanMapping clean;
    LoopbackInstrument instrument(1, [](int, int) {});
    ScopedEnv other("LABBENCH_INSTRUMENT_9", instrument.resource());
    ScpiLink link;
    link.sendText("*IDN?");
    EXPECT_EQ(link.status(), ERR);
    EXPECT_EQ(link.error(), ENOL);
    EXPECT_EQ(link.count(), 0);
    std::string why = link.why();
    EXPECT_NE(why.find("ENOL: address 8"), std::string::npos) << why;
    EXPECT_NE(why.find("LABBENCH_INSTRUMENT_8"), std::string::npos) << why;
    EXPECT_NE(why.find(clean.config.file("config/labbench/instruments.conf")), std::string::npos)
        << why;
    link.receiveText();
    EXPECT_EQ(link.error(), ENOL);
    EXPECT_EQ(instrument.accepted(), 0) << "an unmapped address must reach no instrument";
}

TEST(ScpiLinkMapping, AMalformedResourceIsOneClearEnolNamingAddressAndText) {
    struct Case {
        const char *resource;
        const char *says;
        const char *shown = nullptr;  // as the message shows it, when not as written
    };
    const Case cases[] = {
        {"TCPIP::127.0.0.1", "not a socket resource"},
        {"TCPIP::127.0.0.1::5025", "not a socket resource"},
        {"TCPIP::127.0.0.1::5025::INSTR", "not a socket resource"},
        {"TCPIP::::5025::SOCKET", "names no host"},
        {"TCPIP::127.0.0.1::0::SOCKET", "not a number from 1 to 65535"},
        {"TCPIP::127.0.0.1::65536::SOCKET", "not a number from 1 to 65535"},
        {"TCPIP::127.0.0.1::50x::SOCKET", "not a number from 1 to 65535"},
        {"TCPIP::bad host::5025::SOCKET", "character ' '"},
        {"USBTMC::", "names no device file"},
        {"USBTMC::usbtmc0", "names no device file"},
        {"GPIB0::8::INSTR", "not understood"},
        {"\xff\xfe::\x01", "not understood", "\xff\xfe::\\x01"},
    };
    CleanMapping clean;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.resource);
        ScopedEnv mapping("LABBENCH_INSTRUMENT_8", c.resource);
        ScpiLink link;
        link.sendText("*IDN?");
        EXPECT_EQ(link.status(), ERR);
        EXPECT_EQ(link.error(), ENOL);
        std::string why = link.why();
        EXPECT_NE(why.find("address 8"), std::string::npos) << why;
        EXPECT_NE(why.find(std::string("LABBENCH_INSTRUMENT_8: '") +
                           (c.shown ? c.shown : c.resource) + "'"),
                  std::string::npos)
            << why;
        EXPECT_NE(why.find(c.says), std::string::npos) << why;
        EXPECT_NE(why.find("TCPIP::<host>::<port>::SOCKET"), std::string::npos) << why;
    }
}

TEST(ScpiLinkMapping, TheConfigurationFileMapsAndTheEnvironmentWins) {
    CleanMapping clean;
    LoopbackInstrument fromFile(1, [](int fd, int) { write_all(fd, read_until(fd, "\n")); });
    LoopbackInstrument fromEnvironment(1, [](int fd, int) {
        read_until(fd, "\n");
        write_all(fd, "environment\n");
    });
    clean.writeConf(
        "# bench instruments\n"
        "\n"
        "not a mapping line\n"
        " 8 =  " +
        fromFile.resource() +
        "  # the generator\n"
        "8 = TCPIP::127.0.0.1::1::SOCKET\n");
    {
        ScpiLink link;
        link.sendText("file");
        EXPECT_EQ(link.receiveText(), "file\n");
        EXPECT_EQ(link.status(), CMPL | END) << link.why();
    }
    ScopedEnv mapping("LABBENCH_INSTRUMENT_8", fromEnvironment.resource());
    ScpiLink link;
    link.sendText("which");
    EXPECT_EQ(link.receiveText(), "environment\n") << link.why();
}

// instruments.conf as anything but a small regular file: a FIFO (nobody
// writing), a link to a device node, a file far larger than any mapping, a
// 10 KB line. Each is refused or skipped at once with one short line on
// stderr, and the address is simply unmapped.
TEST(ScpiLinkMapping, AConfigurationFileThatIsNoSmallRegularFileIsRefusedAtOnce) {
    CleanMapping clean;
    std::filesystem::create_directories(clean.config.file("config/labbench"));
    const std::string conf = clean.config.file("config/labbench/instruments.conf");
    const std::string zero = clean.config.file("zero");
    const bool haveDevice = mknod(zero.c_str(), S_IFCHR | 0600, makedev(1, 5)) == 0;
    struct Case {
        const char *name;
        std::function<void()> make;
        const char *says;
    };
    const Case cases[] = {
        {"a FIFO", [&] { ASSERT_EQ(mkfifo(conf.c_str(), 0600), 0); }, "not a regular file"},
        {"a link to a device node",
         [&] { ASSERT_EQ(symlink(haveDevice ? zero.c_str() : "/dev/null", conf.c_str()), 0); },
         "not a regular file"},
        {"a 50 MB file",
         [&] {
             int fd = open(conf.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
             ASSERT_EQ(ftruncate(fd, 50 << 20), 0);
             close(fd);
         },
         "52428800 bytes"},
        {"a 10 KB line", [&] { clean.writeConf("8 " + std::string(10000, 'x') + "\n"); },
         "(10002 bytes)' is not"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(conf);
        c.make();
        // Should the library block on the FIFO after all, a writer ends the wait.
        std::atomic<bool> done{false};
        std::thread unblock([&] {
            for (int waited = 0; waited < 10000 && !done; waited += 20)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (done) return;
            int fd = open(conf.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) close(fd);
        });
        StderrCapture err;
        auto start = Clock::now();
        {
            ScpiLink link;
            link.sendText("*IDN?");
            EXPECT_EQ(link.error(), ENOL) << link.why();
            EXPECT_NE(link.why().find("no instrument is mapped"), std::string::npos) << link.why();
        }
        const long elapsed = ms_since(start);
        done = true;
        unblock.join();
        const std::string said = err.text();
        EXPECT_LT(elapsed, 5000) << "the first Send waited for the configuration file";
        EXPECT_NE(said.find(c.says), std::string::npos) << said;
        EXPECT_EQ(line_count(said), 2) << said;  // the file's line, the ENOL's line
        EXPECT_LT(said.size(), 800u) << said;
    }
}

// ---- Messages and replies -------------------------------------------------------------------

TEST(ScpiLinkSocket, EachMessageEndedWithEoiArrivesEndedByOneNewline) {
    CleanMapping clean;
    std::string block = "DATA:DAC VOLATILE,#18\x01\x0a\x02\x0a\x0a\x00\x03\x0a";
    block.resize(26);
    std::mutex mutex;
    std::string received;
    LoopbackInstrument instrument(1, [&](int fd, int) {
        char chunk[256];
        while (ready(fd, POLLIN)) {
            ssize_t n = read(fd, chunk, sizeof chunk);
            if (n <= 0) break;
            std::lock_guard lock(mutex);
            received.append(chunk, std::size_t(n));
        }
    });
    ScopedEnv mapping("LABBENCH_INSTRUMENT_8", instrument.resource());
    {
        ScpiLink link;
        struct Step {
            std::string bytes;
            int mode;
        };
        const Step steps[] = {
            {"FREQ 1000", GPIB_DRIVER_DABend},  // EOI with the last byte
            {"VOLT 1", GPIB_DRIVER_NLend},      // newline appended by the mode
            {"*CLS\n", GPIB_DRIVER_DABend},     // already ends with its newline
            {"FUNC:", GPIB_DRIVER_NULLend},     // a message in two parts
            {"SHAP SIN", GPIB_DRIVER_DABend},
            {block, GPIB_DRIVER_DABend},  // the block's last byte is a newline byte
            {"DATA:DAC VOLATILE,", GPIB_DRIVER_NULLend},
            {"#14\x01\x02\x03\n", GPIB_DRIVER_DABend},
        };
        for (const Step &step : steps) {
            link.sendText(step.bytes, step.mode);
            EXPECT_EQ(link.status(), CMPL) << link.why();
            EXPECT_EQ(link.count(), long(step.bytes.size()));
        }
    }  // unloading the library closes the connection
    instrument.join();
    EXPECT_EQ(received, "FREQ 1000\nVOLT 1\n*CLS\nFUNC:SHAP SIN\n" + block +
                            "\nDATA:DAC VOLATILE,#14\x01\x02\x03\n\n");
}

TEST(ScpiLinkSocket, ReceiveEndsAtNewlineCountOrTerminationByteAndKeepsTheRest) {
    CleanMapping clean;
    LoopbackInstrument instrument(1, [](int fd, int) {
        read_until(fd, "?\n");
        // Two replies and a part of a third in one write, the rest later.
        write_all(fd, "+1.0E+03\nLabBench,SimWave;x");
        read_until(fd, "go\n");
        write_all(fd, "yz\n");
        read_until(fd, "end\n");
    });
    ScopedEnv mapping("LABBENCH_INSTRUMENT_8", instrument.resource());
    ScpiLink link;
    link.sendText("FREQ?");
    EXPECT_EQ(link.receiveText(), "+1.0E+03\n");
    EXPECT_EQ(link.status(), CMPL | END);
    EXPECT_EQ(link.receiveText(4), "LabB");
    EXPECT_EQ(link.status(), CMPL) << "a full buffer is no end of the reply";
    EXPECT_EQ(link.receiveText(256, ';'), "ench,SimWave;");
    EXPECT_EQ(link.status(), CMPL | END);
    // A new message drops what is left of the last reply, as an instrument
    // drops an unread reply when a new message comes.
    link.sendText("go", GPIB_DRIVER_NULLend);
    link.sendText("", GPIB_DRIVER_DABend);
    EXPECT_EQ(link.receiveText(), "yz\n");
    EXPECT_EQ(link.status(), CMPL | END);
    link.sendText("end");
}

// Whether this machine has an IPv6 loopback address (containers may lack one).
bool has_ipv6_loopback() {
    int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    bool bound = fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    if (fd >= 0) close(fd);
    return bound;
}

TEST(ScpiLinkSocket, WorksOverIpv6Loopback) {
    if (!has_ipv6_loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback address (::1)";
    CleanMapping clean;
    LoopbackInstrument instrument(
        1, [](int fd, int) { write_all(fd, read_until(fd, "\n")); }, true);
    ScopedEnv mapping("LABBENCH_INSTRUMENT_8", instrument.resource());
    ScpiLink link;
    link.sendText("*IDN?");
    EXPECT_EQ(link.receiveText(), "*IDN?\n") << link.why();
}

TEST(ScpiLinkSocket, BusLineRoutinesSucceedAndSendNothing) {
    CleanMapping clean;
    LoopbackInstrument instrument(1, [](int, int) {});
    ScopedEnv mapping("LABBENCH_INSTRUMENT_8", instrument.resource());
    ScpiLink link;
    const GpibDriverAddr list[] = {8, GPIB_DRIVER_NOADDR};
    link.sendIfc(0);
    EXPECT_EQ(link.status(), CMPL);
    link.enableRemote(0, list);
    EXPECT_EQ(link.status(), CMPL);
    EXPECT_EQ(instrument.accepted(), 0);

    struct Case {
        int board;
        GpibDriverAddr address;
        int error;
    };
    for (Case c : {Case{1, 8, ENEB}, Case{0, 31, EARG}, Case{0, 8 | 0x6000, EARG}}) {
        link.send(c.board, c.address, "*IDN?", 5, GPIB_DRIVER_DABend);
        EXPECT_EQ(link.status(), ERR);
        EXPECT_EQ(link.error(), c.error) << link.why();
    }
    link.send(0, 8, "x", 1, 7);
    EXPECT_EQ(link.error(), EARG);
    EXPECT_EQ(instrument.accepted(), 0);
}

// ---- Failures --------------------------------------------------------------------------------

TEST(ScpiLinkFailure, NothingListeningIsEnolNamingAddressAndResource) {
    CleanMapping clean;
    std::string resource = "TCPIP::127.0.0.1::" + std::to_string(closed_port()) + "::SOCKET";
    ScopedEnv mapping("LABBENCH_INSTRUMENT_8", resource);
    ScpiLink link;
    link.sendText("*IDN?");
    EXPECT_EQ(link.status(), ERR);
    EXPECT_EQ(link.error(), ENOL);
    EXPECT_EQ(link.why(), "ENOL: address 8 (" + resource + "): cannot connect: Connection refused");
}

TEST(ScpiLinkFailure, AnInstrumentThatNeverAnswersTimesOutWithEaboWithinTheTimeOut) {
    CleanMapping clean;
    std::atomic<bool> done{false};
    LoopbackInstrument instrument(1, [&](int fd, int) {
        read_until(fd, "\n");
        write_all(fd, "+1.0");  // a reply without its newline, then silence
        while (ready(fd, POLLIN, &done)) {
            char c;
            if (read(fd, &c, 1) <= 0) break;
        }
    });
    ScopedEnv mapping("LABBENCH_INSTRUMENT_8", instrument.resource());
    ScopedEnv timeout("LABBENCH_IO_TIMEOUT_MS", "300");
    ScpiLink link;
    link.sendText("FREQ?");
    auto start = Clock::now();
    std::string partial = link.receiveText();
    long elapsed = ms_since(start);
    done = true;
    EXPECT_EQ(link.status(), ERR | TIMO);
    EXPECT_EQ(link.error(), EABO);
    EXPECT_EQ(partial, "+1.0") << "what arrived is handed out with the failure";
    EXPECT_GE(elapsed, 290);
    EXPECT_LT(elapsed, 2000) << "Receive must give up at the time-out";
    EXPECT_NE(link.why().find("no reply within the time-out"), std::string::npos) << link.why();
}

// An instrument that answers a query 0.5 s after the link's time-out, and the
// next query at once: the late reply must not be taken for the next one.
TEST(ScpiLinkFailure, AReplyAfterItsTimeOutIsNeverTakenForTheNextQuery) {
    CleanMapping clean;
    constexpr int kTimeoutMs = 2000, kLateMs = 500;
    std::atomic<bool> lateReplySent{false};
    LoopbackInstrument instrument(2, [&](int fd, int) {
        while (true) {
            std::string query = read_until(fd, "?\n");
            if (query.empty() || query.back() != '\n') return;
            query.pop_back();
            if (query == "FREQ?") {
                std::this_thread::sleep_for(std::chrono::milliseconds(kTimeoutMs + kLateMs));
                write_all(fd, "the reply to FREQ?\n");
                lateReplySent = true;
            } else {
                write_all(fd, "the reply to " + query + "\n");
            }
        }
    });
    ScopedEnv mapping("LABBENCH_INSTRUMENT_8", instrument.resource());
    ScopedEnv timeout("LABBENCH_IO_TIMEOUT_MS", std::to_string(kTimeoutMs));
    ScpiLink link;
    link.sendText("FREQ?");
    EXPECT_EQ(link.receiveText(), "");
    EXPECT_EQ(link.status(), ERR | TIMO);

    // The next query goes out before the late reply comes.
    link.sendText("VOLT?");
    EXPECT_EQ(link.status(), CMPL) << link.why();
    std::string reply = link.receiveText();
    EXPECT_EQ(reply, "the reply to VOLT?\n") << link.why();
    EXPECT_EQ(link.status(), CMPL | END) << link.why();
    EXPECT_TRUE(lateReplySent) << "the instrument answered VOLT? before its late reply";

    // And again later, when the late reply would long be waiting.
    link.sendText("*IDN?");
    EXPECT_EQ(link.receiveText(), "the reply to *IDN?\n") << link.why();
}

TEST(ScpiLinkFailure, ADropInTheMiddleOfAReplyBlockIsEaboAndTheNextTransferReconnectsOnce) {
    CleanMapping clean;
    LoopbackInstrument instrument(2, [](int fd, int connection) {
        read_until(fd, "\n");
        if (connection == 0) {
            write_all(fd, "#41000\x01\x02\x03");  // a block cut short: the instrument goes away
            return;
        }
        write_all(fd, "again\n");
    });
    ScopedEnv mapping("LABBENCH_INSTRUMENT_8", instrument.resource());
    ScpiLink link;
    link.sendText("DATA:DAC?");
    auto start = Clock::now();
    std::string partial = link.receiveText(2000);
    EXPECT_LT(ms_since(start), 2000) << "a closed connection is no time-out";
    EXPECT_EQ(link.status(), ERR);
    EXPECT_EQ(link.error(), EABO);
    EXPECT_EQ(partial, std::string("#41000\x01\x02\x03"));
    EXPECT_NE(link.why().find("address 8 (" + instrument.resource() + "): receiving failed"),
              std::string::npos)
        << link.why();

    link.sendText("*IDN?");
    EXPECT_EQ(link.status(), CMPL) << link.why();
    EXPECT_EQ(link.receiveText(), "again\n");
    EXPECT_EQ(instrument.accepted(), 2);
}

TEST(ScpiLinkFailure, AnInstrumentClosingWhileABlockIsSentEndsThatSendWithEabo) {
    CleanMapping clean;
    LoopbackInstrument instrument(1, [](int fd, int) {
        char head[64];
        if (ready(fd, POLLIN)) [[maybe_unused]]
            ssize_t n = read(fd, head, sizeof head);
        linger reset{1, 0};  // close with a reset, as an instrument that is switched off
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    });
    ScopedEnv mapping("LABBENCH_INSTRUMENT_8", instrument.resource());
    // More than the loopback's socket buffers hold, so the drop is seen while sending.
    std::string block = "DATA:DAC VOLATILE,#8" + std::to_string(32000000);
    block.resize(block.size() + 32000000, '\x11');
    ScpiLink link;
    link.sendText(block);
    EXPECT_EQ(link.status(), ERR);
    EXPECT_EQ(link.error(), EABO);
    EXPECT_LT(link.count(), long(block.size()));
    EXPECT_NE(link.why().find("sending failed"), std::string::npos) << link.why();
    instrument.stopListening();
    link.sendText("*IDN?");  // the one reconnection finds nothing listening
    EXPECT_EQ(link.error(), ENOL) << link.why();
}

// ---- USB ----------------------------------------------------------------------------------

// A pseudo-terminal standing in for /dev/usbtmc0: the test holds the
// instrument's side (the master), the library opens the device file (the slave).
struct PseudoUsbtmc {
    int instrument = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    std::string device;
    PseudoUsbtmc() {
        if (instrument >= 0 && grantpt(instrument) == 0 && unlockpt(instrument) == 0)
            device = ptsname(instrument);
    }
    // False where the machine offers no pseudo-terminals (some containers).
    bool available() const { return !device.empty(); }
    ~PseudoUsbtmc() {
        if (instrument >= 0) close(instrument);
    }
    std::string resource() const { return "USBTMC::" + device; }
};

TEST(ScpiLinkUsbtmc, MessagesAndRepliesPassThroughTheDeviceFileUnchanged) {
    CleanMapping clean;
    PseudoUsbtmc usb;
    if (!usb.available()) GTEST_SKIP() << "no pseudo-terminal: " << std::strerror(errno);
    ScopedEnv mapping("LABBENCH_INSTRUMENT_8", usb.resource());
    ScopedEnv timeout("LABBENCH_IO_TIMEOUT_MS", "300");
    ScpiLink link;
    std::string block("DATA:DAC VOLATILE,#14\r\n\x00\x7f", 25);
    link.sendText(block);
    EXPECT_EQ(link.status(), CMPL) << link.why();
    EXPECT_EQ(read_until(usb.instrument, "\x7f\n"), block + "\n") << "raw mode: no CR/NL mapping";
    link.sendText("*IDN?");
    EXPECT_EQ(read_until(usb.instrument, "\n"), "*IDN?\n");
    ASSERT_EQ(write(usb.instrument, "LabBench,SimWave\r\n", 18), 18);
    EXPECT_EQ(link.receiveText(), "LabBench,SimWave\r\n");
    EXPECT_EQ(link.status(), CMPL | END);

    auto start = Clock::now();
    link.receiveText();
    EXPECT_EQ(link.status(), ERR | TIMO);
    EXPECT_EQ(link.error(), EABO);
    EXPECT_LT(ms_since(start), 2000);

    close(usb.instrument);  // unplugged
    usb.instrument = -1;
    link.receiveText();
    EXPECT_EQ(link.status(), ERR);
    EXPECT_EQ(link.error(), EABO) << link.why();
}

TEST(ScpiLinkUsbtmc, AMissingDeviceFileIsEnolNamingIt) {
    CleanMapping clean;
    ScopedEnv mapping("LABBENCH_INSTRUMENT_8", "USBTMC::" + clean.config.file("usbtmc0"));
    ScpiLink link;
    link.sendText("*IDN?");
    EXPECT_EQ(link.error(), ENOL);
    EXPECT_NE(
        link.why().find("address 8 (USBTMC::" + clean.config.file("usbtmc0") + "): cannot open"),
        std::string::npos)
        << link.why();
    EXPECT_NE(link.why().find("plugged in"), std::string::npos) << link.why();
}

}  // namespace
