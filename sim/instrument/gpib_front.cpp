// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated arbitrary-waveform generator's GPIB front: the driver library.
//
// A program binds this library exactly as it binds the Linux GPIB library
// (same routines, status functions and variables, same end-mode numbers), and
// finds on "the bus" one instrument: an arbitrary-waveform generator at
// primary address 8 behind board 0. The instrument parses SCPI messages,
// keeps an error queue, holds a volatile user waveform and publishes its
// output model (function, frequency, amplitude, selected user waveform) to
// the bench state file after every change, so the simulated board can
// measure what it outputs.
//
// Bus behaviour:
//  - board 0 is the only board (others: ERR, ENEB). A transfer before
//    SendIFC fails with ECIC (the board is not controller-in-charge).
//  - only address 8 answers (others: ENOL); a primary address above
//    GPIB_DRIVER_MAX_PRIMARY_ADDRESS or a malformed secondary address is EARG.
//  - EnableRemote asserts REN and puts the listed instrument in remote;
//    EnableLocal with the instrument in its list returns it to local, with
//    an empty list unasserts REN (everything local).
//  - A message ends at EOI, or at a newline outside a binary block (the
//    IEEE 488.2 terminators); bytes sent without either are held until the
//    terminating part arrives. NLend appends that newline. After a Send,
//    ibcnt is the caller's byte count (the appended newline not included).
//  - Receive with nothing to say waits the time-out, then ends with
//    ERR|TIMO, iberr EABO, ibcnt 0, and queues -420 Query UNTERMINATED.
//    A reply ends with a newline sent with EOI (END in ibsta); a reply longer
//    than the buffer is left for the next Receive. A new message arriving
//    before a reply is read discards the reply and queues -410.
//
// This file is the bus and the driver's interface (gpib_driver.h); the
// instrument itself (commands, error queue, output model) is
// sim_instrument.h, which other hosts put on other transports.
//
// Environment:
//   BENCH_SIM_STATE=<file>      the bench state file (shared with the
//                               simulated board); default
//                               $XDG_RUNTIME_DIR/labbench-bench.state, or
//                               that name in the user's private folder
//                               labbench-<uid> in $TMPDIR or /tmp.
//   GPIB_SIM_LOG=<file>         append one line per routine call (bus_log.h).
//   GPIB_SIM_TIMEOUT_MS=<ms>    Receive time-out with nothing to say
//                               (default 100 ms, 0..600000).
//   GPIB_SIM_BYTES_PER_S=<n>    bus speed: each transfer sleeps bytes/n
//                               seconds (default: instant).
// All are read at every call, so a test may change them between calls.
//
// Log line format (GPIB_SIM_LOG): bus_log.h, shared with the other hosts.
//
// Threads: every routine takes one lock; status is kept per thread
// (Thread* functions) and in the global variables (gpib_driver_status.h).
// Every routine first has the instrument publish its output model: the first
// call switches the instrument on, and a changed BENCH_SIM_STATE gets the
// output at once; otherwise that costs a comparison.
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "bus_log.h"
#include "gpib_codes.h"
#include "gpib_driver.h"
#include "gpib_driver_status.h"
#include "sim_instrument.h"

namespace {

using siminstrument::BusCall;
using siminstrument::environment_number;
using siminstrument::spend_bus_time;

constexpr int kInstrumentAddress = 8;
constexpr long kDefaultTimeoutMs = 100;

// The bus as board 0 sees it.
struct Bus {
    bool controller_in_charge = false;  // this board, after SendIFC
    bool remote_enable = false;         // the REN line
};

std::mutex bus_mutex;
Bus bus;
siminstrument::Instrument instrument;

// ---- Status, logging, bus time ------------------------------------------------

std::string address_text(GpibDriverAddr address) {
    std::string text = std::to_string(address & 0xFF);
    if (address >> 8) text.append("+").append(std::to_string(address >> 8));
    return text;
}

void finish(const BusCall &call, int status, int error, long count) {
    if (bus.controller_in_charge) status |= CIC;
    gpib_driver_finish(status, error, count);
    siminstrument::log_bus_call(call, status, error, count);
}

void fail(const BusCall &call, int error, int extra_status = 0) {
    finish(call, ERR | extra_status, error, 0);
}

// Board and controller checks common to every transfer: false after failing the call.
bool board_ready(const BusCall &call, int board) {
    if (board != 0) {
        fail(call, ENEB);
        return false;
    }
    if (!bus.controller_in_charge) {
        fail(call, ECIC);
        return false;
    }
    return true;
}

bool address_valid(GpibDriverAddr address) {
    int primary = address & 0xFF;
    int secondary = address >> 8;
    return primary <= GPIB_DRIVER_MAX_PRIMARY_ADDRESS &&
           (secondary == 0 || (secondary >= 0x60 && secondary <= 0x7E));
}

// Checks one device address: false after failing the call (EARG, ENOL).
bool device_present(const BusCall &call, GpibDriverAddr address) {
    if (!address_valid(address)) {
        fail(call, EARG);
        return false;
    }
    if (address != kInstrumentAddress) {
        fail(call, ENOL);
        return false;
    }
    // Addressed while REN is asserted, the instrument goes remote.
    if (bus.remote_enable) instrument.set_remote(true);
    return true;
}

std::string address_list_text(const GpibDriverAddr list[]) {
    std::string text;
    for (std::size_t i = 0; list && list[i] != GPIB_DRIVER_NOADDR; ++i) {
        if (!text.empty()) text += ',';
        text += address_text(list[i]);
    }
    return text.empty() ? "-" : text;
}

void change_remote(const char *routine, int board, const GpibDriverAddr list[], bool enable) {
    std::lock_guard lock(bus_mutex);
    instrument.publish();
    BusCall call{routine, board};
    call.address = address_list_text(list);
    if (!board_ready(call, board)) return;
    bool instrument_listed = false;
    std::size_t count = 0;
    for (; list && list[count] != GPIB_DRIVER_NOADDR; ++count) {
        if (!address_valid(list[count])) return fail(call, EARG);
        if (list[count] != kInstrumentAddress) return fail(call, ENOL);
        instrument_listed = true;
    }
    call.count = std::to_string(count);
    if (enable) {
        bus.remote_enable = true;
        if (instrument_listed) instrument.set_remote(true);
    } else if (count == 0) {
        bus.remote_enable = false;  // REN unasserted: everything goes local
        instrument.set_remote(false);
    } else {
        instrument.set_remote(false);  // go to local; REN stays asserted
    }
    instrument.publish();
    finish(call, CMPL, 0, 0);
}

// No exception may leave the driver: in the program that loaded it, one
// would end the process (std::terminate). None is expected, as every bad
// input is a status or a SCPI error, so one that happens anyway (memory
// exhausted, say) is the driver's own failure: EDVR, and one line on stderr.
// Called from a catch handler.
void internal_failure(const char *routine) noexcept {
    const char *what = gpib_driver_exception_text();
    gpib_driver_finish(ERR, EDVR, 0);
    std::fprintf(stderr,
                 "labbench simulated instrument: %s failed inside the simulator (%s); "
                 "it returns EDVR\n",
                 routine, what);
}

void set_interface_clear(int board) {
    std::lock_guard lock(bus_mutex);
    instrument.publish();
    BusCall call{"SendIFC", board};
    if (board != 0) return fail(call, ENEB);
    bus.controller_in_charge = true;
    finish(call, CMPL, 0, 0);
}

void send_message(int board, GpibDriverAddr address, const void *buffer, long count, int eot_mode) {
    std::lock_guard lock(bus_mutex);
    instrument.publish();
    BusCall call{"Send", board, address_text(address)};
    call.count = std::to_string(count);
    switch (eot_mode) {
        case GPIB_DRIVER_NULLend:
            call.mode = "NULLend";
            break;
        case GPIB_DRIVER_DABend:
            call.mode = "DABend";
            break;
        case GPIB_DRIVER_NLend:
            call.mode = "NLend";
            break;
        default:
            call.mode = std::to_string(eot_mode);
    }
    if (!board_ready(call, board)) return;
    if (count < 0 || (count > 0 && !buffer) || eot_mode < GPIB_DRIVER_NULLend ||
        eot_mode > GPIB_DRIVER_NLend)
        return fail(call, EARG);
    if (!device_present(call, address)) return;

    call.data.assign(static_cast<const char *>(buffer), std::size_t(count));
    if (eot_mode == GPIB_DRIVER_NLend) call.data += '\n';
    spend_bus_time(call.data.size());
    instrument.take_bytes(call.data, eot_mode != GPIB_DRIVER_NULLend);
    instrument.publish();
    finish(call, CMPL, 0, count);
}

void receive_reply(int board, GpibDriverAddr address, void *buffer, long count, int termination) {
    std::unique_lock lock(bus_mutex);
    instrument.publish();
    BusCall call{"Receive", board, address_text(address)};
    call.count = std::to_string(count);
    if (termination == STOPend) {
        call.mode = "STOPend";
    } else {
        char text[16];
        std::snprintf(text, sizeof text, "0x%02x", unsigned(termination) & 0xFFFF);
        call.mode = text;
    }
    if (!board_ready(call, board)) return;
    if (count < 0 || (count > 0 && !buffer) || termination < 0 || termination > STOPend)
        return fail(call, EARG);
    if (!device_present(call, address)) return;

    if (!instrument.has_reply()) {
        // Nothing to say: the controller waits out its time-out.
        static std::string last_warning;
        long timeout_ms =
            environment_number("GPIB_SIM_TIMEOUT_MS", kDefaultTimeoutMs, 0, 600000, last_warning);
        instrument.push_error(siminstrument::kQueryUnterminated);
        std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
        return fail(call, EABO, TIMO);
    }
    char *out = static_cast<char *>(buffer);
    int stop_byte = termination == STOPend ? -1 : termination;
    bool at_end = false;
    long received = long(instrument.read_reply(out, std::size_t(count), stop_byte, at_end));
    int status = CMPL;
    // EOI goes with the reply's last byte; a termination byte also ends the read.
    bool at_termination =
        received > 0 && termination != STOPend && (unsigned char)out[received - 1] == termination;
    if (at_end || at_termination) status |= END;
    call.data.assign(out, std::size_t(received));
    spend_bus_time(std::size_t(received));
    finish(call, status, 0, received);
}

}  // namespace

// ---- The exported routines ------------------------------------------------------

extern "C" {

void SendIFC(int board) {
    try {
        set_interface_clear(board);
    } catch (...) {
        internal_failure("SendIFC");
    }
}

void EnableRemote(int board, const GpibDriverAddr addressList[]) {
    try {
        change_remote("EnableRemote", board, addressList, true);
    } catch (...) {
        internal_failure("EnableRemote");
    }
}

void EnableLocal(int board, const GpibDriverAddr addressList[]) {
    try {
        change_remote("EnableLocal", board, addressList, false);
    } catch (...) {
        internal_failure("EnableLocal");
    }
}

void Send(int board, GpibDriverAddr address, const void *buffer, long count, int eot_mode) {
    try {
        send_message(board, address, buffer, count, eot_mode);
    } catch (...) {
        internal_failure("Send");
    }
}

void Receive(int board, GpibDriverAddr address, void *buffer, long count, int termination) {
    try {
        receive_reply(board, address, buffer, count, termination);
    } catch (...) {
        internal_failure("Receive");
    }
}

const char *gpib_error_string(int error) {
    try {
        return gpib_error_text(error);
    } catch (...) {
        return "unknown error";
    }
}

}  // extern "C"
