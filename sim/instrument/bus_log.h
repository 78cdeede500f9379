// SPDX-License-Identifier: GPL-3.0-or-later
// What every host of the simulated instrument does alike, whatever carries
// the bytes: one line per transfer in the GPIB_SIM_LOG file, the pace of
// GPIB_SIM_BYTES_PER_S, and numbers from the environment.
//
// Log line format (GPIB_SIM_LOG), one line per transfer, fields separated by
// single spaces, always in this order:
//   <routine> board=<n> addr=<a> mode=<m> count=<n> data="<bytes>"
//       ibsta=0x<4 hex digits> status=<bit names joined by |> iberr=<name> ibcnt=<n>
//   routine  SendIFC, EnableRemote, EnableLocal, Send or Receive
//   addr     the primary address (decimal, with +secondary as "8+96"); for
//            EnableRemote/EnableLocal the list, comma-separated; "-" if none
//   mode     Send: NULLend, DABend, NLend (else the number);
//            Receive: STOPend or the termination byte as 0xNN; else "-"
//   count    the byte count the caller passed ("-" where none)
//   data     the bytes that crossed the bus, including the newline NLend
//            appends: printable ASCII as is, \\ \" \n \r \t, else \xhh
//   iberr    the error name (ENOL, ...) when ERR is set, else "-"
// Each line is written with one append, so processes may share a log.
#pragma once

#include <cstddef>
#include <string>

namespace siminstrument {

// One transfer as the log shows it.
struct BusCall {
    BusCall(const char *routine_name, int board_index, std::string device = "-")
        : routine(routine_name), board(board_index), address(std::move(device)) {}
    const char *routine;
    int board;
    std::string address;
    std::string mode = "-";
    std::string count = "-";
    std::string data;
};

// Appends the line of `call` with its outcome to the GPIB_SIM_LOG file, if
// one is named; a failure to write is reported once on stderr. The log is
// only ever a regular file (or a new one): a FIFO, a device or a socket at
// that path is refused, once on stderr, and nothing is logged.
void log_bus_call(const BusCall &call, int status, int error, long count);

// Sleeps as long as `bytes` take at GPIB_SIM_BYTES_PER_S bytes per second
// (unset or 0: no time at all). With a `wake_fd`, the wait ends early when
// that descriptor becomes readable (a signal's signalfd): false then.
bool spend_bus_time(std::size_t bytes, int wake_fd = -1);

// The environment variable `name` as a number from low to high; `fallback`
// when unset, and when not such a number (said once, through `last_warning`).
long environment_number(const char *name, long fallback, long low, long high,
                        std::string &last_warning);

}  // namespace siminstrument
