// SPDX-License-Identifier: GPL-3.0-or-later
// The two kinds of connection behind channel.h: a TCP socket (raw SCPI on a
// LAN instrument's port) and a usbtmc device file.
//
// Sockets are non-blocking and every wait is a poll() bounded by the
// deadline, including connecting. Host names are resolved with
// getaddrinfo_a, so a slow name server cannot hold a call past its deadline
// either; numeric addresses never go near the resolver.
//
// A usbtmc device file does all of its waiting inside the kernel driver,
// which offers no readiness for poll(): each read asks the instrument for a
// reply and waits up to the driver's own time-out. So for a real usbtmc file
// that time-out is set to what is left of the deadline before every
// transfer. Any other character device standing in for one (a terminal
// device, a test's pseudo-terminal) is driven non-blocking with poll(), as a
// socket is; a terminal is set to raw mode so bytes pass unchanged.
#include "channel.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/usb/tmc.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace scpilink {
namespace {

// Milliseconds left until the deadline, rounded up, at least 0.
int remaining_ms(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return int(std::clamp<long long>(left, 0, 24LL * 3600 * 1000));
}

// Waits until `fd` is ready for `events` or the deadline passes; false on time-out.
bool wait_ready(int fd, short events, Clock::time_point deadline) {
    while (true) {
        pollfd entry{fd, events, 0};
        int ready = poll(&entry, 1, remaining_ms(deadline));
        if (ready > 0) return true;
        if (ready == 0) return false;
        if (errno != EINTR) return true;  // let the transfer itself report the error
    }
}

class FdChannel : public Channel {
public:
    explicit FdChannel(int fd) : fd_(fd) {}
    ~FdChannel() override {
        if (fd_ >= 0) close(fd_);
    }
    FdChannel(const FdChannel &) = delete;
    FdChannel &operator=(const FdChannel &) = delete;

protected:
    // Any other error of a transfer leaves the connection unusable.
    Io failed(int error) {
        reason_ = std::strerror(error);
        return Io::Closed;
    }
    // Non-blocking write of everything, waiting with poll() between pieces.
    Io write_polled(const char *bytes, std::size_t count, std::size_t &written,
                    Clock::time_point deadline, bool is_socket) {
        written = 0;
        while (written < count) {
            ssize_t n = is_socket ? send(fd_, bytes + written, count - written, MSG_NOSIGNAL)
                                  : ::write(fd_, bytes + written, count - written);
            if (n > 0) {
                written += std::size_t(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return failed(errno);
            if (!wait_ready(fd_, POLLOUT, deadline)) return Io::TimedOut;
        }
        return Io::Done;
    }
    Io read_polled(char *bytes, std::size_t count, std::size_t &got, Clock::time_point deadline) {
        got = 0;
        while (true) {
            ssize_t n = ::read(fd_, bytes, count);
            if (n > 0) {
                got = std::size_t(n);
                return Io::Done;
            }
            if (n == 0) {
                reason_ = "the instrument closed the connection";
                return Io::Closed;
            }
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return failed(errno);
            if (!wait_ready(fd_, POLLIN, deadline)) return Io::TimedOut;
        }
    }
    Io discard_polled() {
        char scratch[4096];
        while (true) {
            ssize_t n = ::read(fd_, scratch, sizeof scratch);
            if (n > 0) continue;
            if (n == 0) {
                reason_ = "the instrument closed the connection";
                return Io::Closed;
            }
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return Io::Done;
            return failed(errno);
        }
    }

    int fd_;
};

class SocketChannel : public FdChannel {
public:
    using FdChannel::FdChannel;
    Io write(const char *bytes, std::size_t count, bool, std::size_t &written,
             Clock::time_point deadline) override {
        return write_polled(bytes, count, written, deadline, true);
    }
    Io read(char *bytes, std::size_t count, std::size_t &got, Clock::time_point deadline) override {
        return read_polled(bytes, count, got, deadline);
    }
    Io discard_input() override { return discard_polled(); }
    // A stream cannot tell the rest of an old reply from a new one, and the
    // instrument may still be working on the old one: only a new connection,
    // on which the instrument starts afresh, is sure to carry none of it.
    Io abandon_reply() override {
        reason_ = "a reply was given up on";
        return Io::Closed;
    }
};

class UsbtmcChannel : public FdChannel {
public:
    UsbtmcChannel(int fd, bool kernel_driver) : FdChannel(fd), kernel_driver_(kernel_driver) {}

    Io write(const char *bytes, std::size_t count, bool message_end, std::size_t &written,
             Clock::time_point deadline) override {
        if (!kernel_driver_) return write_polled(bytes, count, written, deadline, false);
        // The driver marks the end of every write as the end of a message
        // unless told otherwise.
        __u8 end_of_message = message_end ? 1 : 0;
        ioctl(fd_, USBTMC_IOCTL_EOM_ENABLE, &end_of_message);
        written = 0;
        while (written < count) {
            if (!set_driver_timeout(deadline)) return Io::TimedOut;
            ssize_t n = ::write(fd_, bytes + written, count - written);
            if (n > 0) {
                written += std::size_t(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno == ETIMEDOUT) return Io::TimedOut;
            return failed(n < 0 ? errno : EIO);
        }
        return Io::Done;
    }
    Io read(char *bytes, std::size_t count, std::size_t &got, Clock::time_point deadline) override {
        if (!kernel_driver_) return read_polled(bytes, count, got, deadline);
        got = 0;
        while (true) {
            if (!set_driver_timeout(deadline)) return Io::TimedOut;
            ssize_t n = ::read(fd_, bytes, count);
            if (n > 0) {
                got = std::size_t(n);
                return Io::Done;
            }
            if (n < 0 && errno == EINTR) continue;
            // An empty reply: the instrument had nothing to say yet.
            if (n == 0 || errno == ETIMEDOUT) {
                if (n == 0 && remaining_ms(deadline) > 0) continue;
                return Io::TimedOut;
            }
            return failed(errno);
        }
    }
    // The kernel driver keeps no unread input of its own: a reply is only
    // fetched by a read.
    Io discard_input() override { return kernel_driver_ ? Io::Done : discard_polled(); }
    // A real instrument keeps an unread reply in its output queue until the
    // next read request fetches it; a device clear empties that queue (and
    // its input), as on a GPIB bus. A stand-in device has nothing to clear:
    // what it sent is dropped with the unread input at the next message.
    Io abandon_reply() override {
        if (!kernel_driver_) return discard_polled();
        if (ioctl(fd_, USBTMC_IOCTL_CLEAR) != 0) return failed(errno);
        return Io::Done;
    }

private:
    // The driver refuses time-outs under 100 ms, so the last 100 ms of a
    // deadline may be overrun by at most that much.
    bool set_driver_timeout(Clock::time_point deadline) {
        int left = remaining_ms(deadline);
        if (left <= 0) return false;
        __u32 timeout_ms = __u32(std::max(left, 100));
        ioctl(fd_, USBTMC_IOCTL_SET_TIMEOUT, &timeout_ms);
        return true;
    }

    bool kernel_driver_;
};

// Resolves host and port by the deadline; empty with `why` set on failure.
struct AddressList {
    addrinfo *first = nullptr;
    ~AddressList() {
        if (first) freeaddrinfo(first);
    }
};

bool resolve(const Resource &resource, Clock::time_point deadline, AddressList &list,
             std::string &why) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    int result = getaddrinfo(resource.host.c_str(), resource.port.c_str(), &hints, &list.first);
    if (result == 0) return true;
    if (result != EAI_NONAME) {
        why = std::string("cannot use the address: ") + gai_strerror(result);
        return false;
    }
    // A host name: resolved on the C library's own thread, waited for with a
    // bound. The request lives on the heap because the resolver may still
    // write to it after a time-out; it is then left to it on purpose.
    struct Request {
        std::string host, port;
        addrinfo hints{};
        gaicb control{};
    };
    auto *request = new Request{resource.host, resource.port, {}, {}};
    request->hints.ai_family = AF_UNSPEC;
    request->hints.ai_socktype = SOCK_STREAM;
    request->hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
    request->control.ar_name = request->host.c_str();
    request->control.ar_service = request->port.c_str();
    request->control.ar_request = &request->hints;
    gaicb *requests[] = {&request->control};
    if (getaddrinfo_a(GAI_NOWAIT, requests, 1, nullptr) != 0) {
        delete request;
        why = "cannot start resolving the host name";
        return false;
    }
    while (true) {
        int state = gai_error(&request->control);
        if (state != EAI_INPROGRESS) {
            if (state == 0) {
                list.first = request->control.ar_result;
                delete request;
                return true;
            }
            why = std::string("cannot resolve the host name: ") + gai_strerror(state);
            delete request;
            return false;
        }
        int left = remaining_ms(deadline);
        if (left <= 0) break;
        timespec wait{left / 1000, long(left % 1000) * 1000000L};
        const gaicb *waiting[] = {&request->control};
        gai_suspend(waiting, 1, &wait);
    }
    if (gai_cancel(&request->control) == EAI_CANCELED) {
        delete request;
    }  // else the resolver still holds it: it is left allocated
    why = "resolving the host name took longer than the time-out";
    return false;
}

std::unique_ptr<Channel> open_socket(const Resource &resource, Clock::time_point deadline,
                                     std::string &why) {
    AddressList list;
    if (!resolve(resource, deadline, list, why)) return nullptr;
    why = "no address to connect to";
    for (addrinfo *address = list.first; address; address = address->ai_next) {
        int fd = socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                        address->ai_protocol);
        if (fd < 0) {
            why = std::string("cannot create a socket: ") + std::strerror(errno);
            continue;
        }
        int result = connect(fd, address->ai_addr, address->ai_addrlen);
        int error = result == 0 ? 0 : errno;
        if (error == EINPROGRESS) {
            if (!wait_ready(fd, POLLOUT, deadline)) {
                close(fd);
                why = "connecting took longer than the time-out";
                return nullptr;
            }
            socklen_t length = sizeof error;
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
        }
        if (error != 0) {
            close(fd);
            why = std::string("cannot connect: ") + std::strerror(error);
            continue;
        }
        // Commands are small and each waits for the last: send them at once.
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        return std::make_unique<SocketChannel>(fd);
    }
    return nullptr;
}

std::unique_ptr<Channel> open_usbtmc(const Resource &resource, std::string &why) {
    int fd = open(resource.device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        int error = errno;
        why = "cannot open " + resource.device + ": " + std::strerror(error);
        if (error == ENOENT) why += " (is the instrument plugged in and switched on?)";
        if (error == EACCES) why += " (the file's group or a udev rule must let you use it)";
        return nullptr;
    }
    __u32 probe_ms = 0;
    bool kernel_driver = ioctl(fd, USBTMC_IOCTL_GET_TIMEOUT, &probe_ms) == 0;
    if (kernel_driver) {
        int flags = fcntl(fd, F_GETFL);
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    } else if (isatty(fd)) {
        termios mode{};
        if (tcgetattr(fd, &mode) == 0) {
            cfmakeraw(&mode);
            tcsetattr(fd, TCSANOW, &mode);
        }
    }
    return std::make_unique<UsbtmcChannel>(fd, kernel_driver);
}

ChannelOpener channel_opener = nullptr;

}  // namespace

void set_channel_opener(ChannelOpener opener) { channel_opener = opener; }

std::unique_ptr<Channel> open_channel(const Resource &resource, Clock::time_point deadline,
                                      std::string &why) {
    if (channel_opener) return channel_opener(resource, why);
    if (resource.kind == Resource::Kind::Usbtmc) return open_usbtmc(resource, why);
    return open_socket(resource, deadline, why);
}

}  // namespace scpilink
