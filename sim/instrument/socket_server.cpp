// SPDX-License-Identifier: GPL-3.0-or-later
// labbench-sim-instrument: the simulated waveform generator served as a raw
// SCPI socket, the way a LAN instrument serves itself, so that any
// instrument-control client (a Python script with pyvisa, generator through
// the SCPI link library) can drive it.
//
// It hosts the same instrument as the GPIB driver library (sim_instrument.h),
// with the same error queue, state file, GPIB_SIM_LOG lines and
// GPIB_SIM_BYTES_PER_S pace, so the simulated board measures what a socket
// client uploaded. Messages end with a newline outside a definite-length
// block (block bytes are binary and need no escaping); each message is run
// as soon as its newline arrives and its reply, ended by a newline, is sent
// before the next message is read, so a client may also send several queries
// at once. One client is served at a time; others wait in the listen queue
// until it closes. A client that closes ends its unfinished message and
// unread reply (a device clear), not the instrument's settings. While a
// client is connected the instrument is in remote state.
//
// The log shows what crossed the socket: each piece of bytes read from the
// client as a Send line (mode NULLend: a socket has no EOI; the newlines in
// the data end the messages) and each reply sent as a Receive line.
//
// SIGINT and SIGTERM end it cleanly, within a second whatever it is doing
// (a slow GPIB_SIM_BYTES_PER_S pace, a client that takes no reply): the
// client is closed, the instrument returns to local state and the program
// exits with status 0. A standard error nobody reads any more (a closed
// pipe) costs only the log lines, never the instrument.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>

#define GPIB_DRIVER_CONSTANTS_ONLY
#include "bus_log.h"
#include "gpib_driver.h"
#include "sim_instrument.h"

namespace {

constexpr const char *kProgram = "labbench-sim-instrument";
constexpr const char *kDefaultListen = "127.0.0.1:5025";
constexpr int kInstrumentAddress = 8;  // as the log names it, the same as on the GPIB bus
// A client that takes no reply bytes for this long is dropped, so that one
// stuck client cannot keep the instrument from the next.
constexpr int kReplyTimeoutMs = 10000;
constexpr std::size_t kReadChunk = 65536;
// Connections the system completes while a client is served, waiting for
// their turn: a burst of clients never waits for a refused handshake's retry.
constexpr int kListenQueue = 128;

void usage(FILE *out) {
    std::fprintf(out,
                 "Usage: %s [--listen HOST:PORT]\n"
                 "Serves the simulated waveform generator as a raw SCPI socket (newline-ended\n"
                 "messages, definite-length blocks in binary), as a LAN instrument does.\n"
                 "\n"
                 "  --listen HOST:PORT  where to listen (default %s, this computer only);\n"
                 "                      an IPv6 address goes in brackets, [::1]:5025; port 0\n"
                 "                      picks a free port. The address and port are printed.\n"
                 "  -h, --help          this text\n"
                 "  --version           the version\n"
                 "\n"
                 "One client at a time: others (up to %d at once) wait until it disconnects.\n"
                 "Ctrl+C or SIGTERM ends the program. Environment, as for the simulated instrument "
                 "library:\n"
                 "BENCH_SIM_STATE (state file shared with the simulated board), GPIB_SIM_LOG\n"
                 "(log of every transfer), GPIB_SIM_BYTES_PER_S (bus speed).\n"
                 "Example: LABBENCH_INSTRUMENT_8=TCPIP::127.0.0.1::5025::SOCKET with the SCPI\n"
                 "link library as GPIB_LIBRARY lets generator drive it.\n",
                 kProgram, kDefaultListen, kListenQueue);
}

// "HOST:PORT" or "[IPv6]:PORT" split at the last colon; false when malformed.
bool split_listen(const std::string &text, std::string &host, std::string &port) {
    std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.front() == '[') {
        if (host.back() != ']') return false;
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string::npos) {
        return false;  // a bare IPv6 address is ambiguous
    }
    for (char c : port)
        if (c < '0' || c > '9') return false;
    return !host.empty() && port.size() <= 5 && std::stol(port) <= 65535;
}

// The listening socket, or -1 after saying why.
int listen_on(const std::string &host, const std::string &port, std::string &shown) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    int result = getaddrinfo(host.c_str(), port.c_str(), &hints, &found);
    if (result != 0) {
        std::fprintf(stderr, "%s: cannot listen on %s:%s: %s\n", kProgram, host.c_str(),
                     port.c_str(), gai_strerror(result));
        return -1;
    }
    int fd = socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
    int error = fd < 0 ? errno : 0;
    if (fd >= 0) {
        // A restarted server may take its port back at once; a port another
        // program listens on is still refused.
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (bind(fd, found->ai_addr, found->ai_addrlen) != 0 || listen(fd, kListenQueue) != 0)
            error = errno;
    }
    freeaddrinfo(found);
    if (error != 0) {
        std::fprintf(stderr, "%s: cannot listen on %s:%s: %s", kProgram, host.c_str(), port.c_str(),
                     std::strerror(error));
        if (error == EADDRINUSE)
            std::fprintf(
                stderr,
                " (another program, perhaps another simulated instrument, uses the "
                "port; end it, or choose another port with --listen %s:<port>, or 0 "
                "for a free one)",
                host.find(':') != std::string::npos ? ("[" + host + "]").c_str() : host.c_str());
        std::fputc('\n', stderr);
        if (fd >= 0) close(fd);
        return -1;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &length);
    char numeric[NI_MAXHOST], service[NI_MAXSERV];
    getnameinfo(reinterpret_cast<sockaddr *>(&bound), length, numeric, sizeof numeric, service,
                sizeof service, NI_NUMERICHOST | NI_NUMERICSERV);
    shown = bound.ss_family == AF_INET6 ? "[" + std::string(numeric) + "]:" + service
                                        : std::string(numeric) + ":" + service;
    return fd;
}

std::string peer_text(int fd) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    char numeric[NI_MAXHOST], service[NI_MAXSERV];
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) != 0 ||
        getnameinfo(reinterpret_cast<sockaddr *>(&peer), length, numeric, sizeof numeric, service,
                    sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return "a client";
    return std::string(numeric) + ":" + service;
}

// Writes all of `bytes` to the client within kReplyTimeoutMs; false when it
// closed or took nothing for that long, or `signals` became readable.
bool send_to_client(int fd, std::string_view bytes, int signals) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += std::size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
        pollfd entries[2] = {{fd, POLLOUT, 0}, {signals, POLLIN, 0}};
        if (poll(entries, 2, kReplyTimeoutMs) <= 0 || entries[1].revents) return false;
    }
    return true;
}

class Server {
public:
    Server(int listener, int signals) : listener_(listener), signals_(signals) {
        instrument_.publish();
    }

    // Serves until a signal arrives on the signals' descriptor.
    void run() {
        while (!stopping()) {
            pollfd entries[2] = {{signals_, POLLIN, 0},
                                 {client_ >= 0 ? client_ : listener_, POLLIN, 0}};
            if (poll(entries, 2, -1) < 0) {
                if (errno == EINTR) continue;
                std::fprintf(stderr, "%s: poll failed: %s\n", kProgram, std::strerror(errno));
                break;
            }
            if (entries[0].revents) break;
            if (!entries[1].revents) continue;
            // Nothing that goes wrong while serving one client may end the
            // instrument for the next: that client is dropped, with the reason.
            try {
                if (client_ < 0) {
                    accept_client();
                } else if (!serve_client()) {
                    drop_client("disconnected");
                }
            } catch (const std::exception &e) {
                std::fprintf(stderr, "%s: serving %s failed inside the instrument (%s)\n", kProgram,
                             peer_.c_str(), e.what());
                if (client_ >= 0) drop_client("dropped");
            }
        }
        if (client_ >= 0) drop_client("disconnected: the instrument is stopping");
    }

private:
    void accept_client() {
        client_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (client_ < 0) return;
        int on = 1;
        setsockopt(client_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        peer_ = peer_text(client_);
        std::fprintf(stderr, "%s: %s connected\n", kProgram, peer_.c_str());
        instrument_.set_remote(true);
        instrument_.publish();
    }

    void drop_client(const char *why) {
        std::fprintf(stderr, "%s: %s %s\n", kProgram, peer_.c_str(), why);
        close(client_);
        client_ = -1;
        instrument_.clear_io();
        instrument_.set_remote(false);
        instrument_.publish();
    }

    // Reads what the client sent and runs it; false when the client is gone.
    bool serve_client() {
        ssize_t n = read(client_, chunk_, sizeof chunk_);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        if (n <= 0) return false;
        std::string_view bytes(chunk_, std::size_t(n));
        siminstrument::BusCall call{"Send", 0, std::to_string(kInstrumentAddress)};
        call.mode = "NULLend";
        call.count = std::to_string(n);
        call.data = std::string(bytes);
        // A signal ends the pace and the program: the bytes are not run.
        if (!siminstrument::spend_bus_time(bytes.size(), signals_)) return true;
        siminstrument::log_bus_call(call, CMPL, 0, n);
        // Up to each newline at a time, so that every message's reply goes
        // out before the next message can discard it. (A newline inside a
        // block only hands the instrument part of the block.)
        while (!bytes.empty()) {
            std::size_t piece = bytes.find('\n');
            piece = piece == std::string_view::npos ? bytes.size() : piece + 1;
            instrument_.take_bytes(bytes.substr(0, piece), false);
            bytes.remove_prefix(piece);
            // The state file shows a setting before its reply goes out, so a
            // client that has its reply finds the setting there.
            instrument_.publish();
            if (!send_replies()) return false;
            if (stopping()) return true;
        }
        return true;
    }

    bool send_replies() {
        while (instrument_.has_reply()) {
            bool last = false;
            std::size_t n = instrument_.read_reply(reply_, sizeof reply_, -1, last);
            std::string_view reply(reply_, n);
            siminstrument::BusCall call{"Receive", 0, std::to_string(kInstrumentAddress)};
            call.mode = "STOPend";
            call.count = std::to_string(sizeof reply_);
            call.data = std::string(reply);
            if (!siminstrument::spend_bus_time(n, signals_)) return true;
            bool sent = send_to_client(client_, reply, signals_);
            if (stopping()) return true;
            siminstrument::log_bus_call(call, sent ? (CMPL | (last ? END : 0)) : (ERR | TIMO),
                                        sent ? 0 : EABO, long(n));
            if (!sent) return false;
        }
        return true;
    }

    // True once SIGINT, SIGTERM or SIGHUP has arrived (and is left unread).
    bool stopping() const {
        pollfd entry{signals_, POLLIN, 0};
        return poll(&entry, 1, 0) > 0;
    }

    siminstrument::Instrument instrument_;
    int listener_;
    int signals_;
    int client_ = -1;
    std::string peer_;
    char chunk_[kReadChunk];  // bytes read from the client, run piece by piece
    char reply_[kReadChunk];  // a reply on its way out
};

}  // namespace

int main(int argc, char *argv[]) {
    std::string listen = kDefaultListen;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            usage(stdout);
            return 0;
        }
        if (arg == "--version") {
            std::printf("%s (LabBench) %s\n", kProgram, LABBENCH_VERSION);
            return 0;
        }
        if (arg == "--listen" && i + 1 < argc) {
            listen = argv[++i];
        } else if (arg.rfind("--listen=", 0) == 0) {
            listen = arg.substr(9);
        } else {
            std::fprintf(stderr, "%s: unknown argument '%s' (see %s --help)\n", kProgram,
                         arg.c_str(), kProgram);
            return 2;
        }
    }
    std::string host, port;
    if (!split_listen(listen, host, port)) {
        std::fprintf(stderr,
                     "%s: --listen '%s' is not HOST:PORT (e.g. 127.0.0.1:5025, [::1]:5025, "
                     "0.0.0.0:5025 for every interface; port 0 for a free one)\n",
                     kProgram, listen.c_str());
        return 2;
    }

    // The signals that end the program arrive as readable data, between
    // transfers, never in the middle of one.
    sigset_t ending;
    sigemptyset(&ending);
    sigaddset(&ending, SIGINT);
    sigaddset(&ending, SIGTERM);
    sigaddset(&ending, SIGHUP);
    sigprocmask(SIG_BLOCK, &ending, nullptr);
    int signals = signalfd(-1, &ending, SFD_CLOEXEC);
    // A closed standard error (its reader gone) fails the write of a log
    // line with EPIPE instead of ending the program.
    signal(SIGPIPE, SIG_IGN);

    std::string shown;
    int listener = listen_on(host, port, shown);
    if (listener < 0) return 1;
    std::printf("%s: listening on %s\n", kProgram, shown.c_str());
    std::fflush(stdout);

    Server server(listener, signals);
    server.run();
    close(listener);
    std::fprintf(stderr, "%s: stopped\n", kProgram);
    return 0;
}
