// SPDX-License-Identifier: GPL-3.0-or-later
// The log, pace and environment numbers shared by the simulated instrument's
// hosts (see bus_log.h).
#include "bus_log.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#define GPIB_DRIVER_CONSTANTS_ONLY
#include "environment.h"
#include "gpib_codes.h"
#include "gpib_driver.h"
#include "sim_instrument.h"

namespace siminstrument {

void log_bus_call(const BusCall &call, int status, int error, long count) {
    const char *log_path = std::getenv("GPIB_SIM_LOG");
    if (!log_path || !*log_path) return;
    char status_hex[8];
    std::snprintf(status_hex, sizeof status_hex, "0x%04x", unsigned(status) & 0xFFFF);
    std::string names = gpib_status_names(status, "|");
    std::string line = std::string(call.routine) + " board=" + std::to_string(call.board) +
                       " addr=" + call.address + " mode=" + call.mode + " count=" + call.count +
                       " data=\"" + gpib_escaped_bytes(call.data) + "\" ibsta=" + status_hex +
                       " status=" + (names.empty() ? "-" : names) +
                       " iberr=" + ((status & ERR) ? gpib_error_name(error) : "-") +
                       " ibcnt=" + std::to_string(count) + "\n";
    static std::string last_warning;
    // Without blocking, so that a FIFO nobody reads cannot hold the bus; and
    // only into a regular file, so that a FIFO or a device never takes the log.
    int fd =
        open(log_path, O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    struct stat info;
    const char *refusal = nullptr;
    if (fd < 0 && errno == ENXIO) {
        refusal = "a FIFO or socket, not a regular file";
    } else if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
        refusal = "not a regular file";
    }
    if (refusal) {
        warn_once(last_warning, std::string("GPIB_SIM_LOG ") + log_path + " is " + refusal +
                                    "; no log is written");
    } else if (fd < 0 || write(fd, line.data(), line.size()) != ssize_t(line.size())) {
        warn_once(last_warning, std::string("cannot append to GPIB_SIM_LOG file ") + log_path +
                                    ": " + std::strerror(errno));
    }
    if (fd >= 0) close(fd);
}

bool spend_bus_time(std::size_t bytes, int wake_fd) {
    static std::string last_warning;
    long rate = environment_number("GPIB_SIM_BYTES_PER_S", 0, 0, 1000000000L, last_warning);
    if (rate <= 0 || bytes == 0) return true;
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                         std::chrono::duration<double>(double(bytes) / double(rate)));
    if (wake_fd < 0) {
        std::this_thread::sleep_until(end);
        return true;
    }
    while (true) {
        auto left =
            std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return true;
        pollfd entry{wake_fd, POLLIN, 0};
        int ready = poll(&entry, 1, int(std::min<long long>(left.count(), 1000)));
        if (ready > 0) return false;
    }
}

long environment_number(const char *name, long fallback, long low, long high,
                        std::string &last_warning) {
    long value = fallback;
    if (labbench::env_number(name, low, high, value) == labbench::EnvNumber::Invalid) {
        warn_once(last_warning, std::string(name) + "='" + labbench::env_text(name) +
                                    "' is not a number from " + std::to_string(low) + " to " +
                                    std::to_string(high) + "; using " + std::to_string(fallback));
        return fallback;
    }
    return value;
}

}  // namespace siminstrument
