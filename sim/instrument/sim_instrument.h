// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated arbitrary-waveform generator itself, apart from any bus: it
// takes the bytes of SCPI messages, runs them, keeps an error queue and a
// reply, and publishes its output model to the bench state file. A host puts
// it on a bus: the GPIB driver library (gpib_front.cpp) does, and so can a
// program serving it on another transport. The host owns the transport's
// rules (addresses, time-outs, status words); the instrument owns what the
// bytes mean.
//
// Commands (keywords case-insensitive, short or long form, an optional
// leading colon; message units separated by ';', each resolved from the
// root of the command tree):
//   FREQuency <Hz> | FREQuency?          100 uHz .. 15 MHz
//   VOLTage <Vpp> | VOLTage?             0.05 .. 10 Vpp
//   FORMat:BORDer NORMal|SWAPped | ?     byte order of blocks that follow;
//                                        NORM at power-on and after *RST
//   DATA:DAC VOLATILE,<block>            IEEE 488.2 definite-length block of
//                                        8..16000 16-bit codes -2047..+2047
//   FUNCtion:USER VOLATILE | ?           selects the user waveform
//   FUNCtion[:SHAPe] SIN|SQU|TRI|RAMP|NOIS|DC|USER | ?
//   SYSTem:ERRor[:NEXT]?                 oldest queued error, or +0,"No error"
//   *IDN?  *RST  *CLS  *OPC?
// Power-on and *RST: SIN, 1 kHz, 0.1 Vpp, NORM, user waveform VOLATILE.
// *RST keeps the volatile waveform and the error queue. A rejected setting
// keeps the old value. Error queue: 20 entries, then -350 Queue overflow.
// Errors: -102 Syntax error, -108 Parameter not allowed, -109 Missing
// parameter, -113 Undefined header, -160 Block data error (not a definite
// block, odd count, count not matching the bytes that follow), -221 Settings
// conflict (USER selected with no waveform loaded), -222 Data out of range
// (limits, numbers too large or small for any limit such as 1e400, point
// count, codes), -224 Illegal parameter value (unknown
// choice), -300 Device-specific error (the output could not be written to
// the bench state file: -300,"Device-specific error;cannot write <file>: No
// space left on device"), -350, -363 Input buffer overrun (more than 64 KiB of one message
// without its end: the held part is dropped), -410 Query INTERRUPTED (a new
// message before the reply was read: the reply is discarded), -420 Query
// UNTERMINATED (queued by the host when it is read with nothing to say).
//
// Environment: BENCH_SIM_STATE=<file>, the bench state file shared with the
// simulated board (default $XDG_RUNTIME_DIR/labbench-bench.state, or that
// name in the user's private folder labbench-<uid> in $TMPDIR or /tmp), read
// at every publish().
//
// No input makes a routine throw: bad bytes are SCPI errors in the queue.
// Not thread-safe: a host serialises its calls (the GPIB front holds one lock).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace siminstrument {

// An entry of the error queue: SCPI error number and text.
struct ScpiError {
    int number;
    const char *text;
};
// The error a host queues when it is read with nothing to say.
inline constexpr ScpiError kQueryUnterminated{-420, "Query UNTERMINATED"};

class Instrument {
public:
    Instrument();  // power-on state; publishes nothing until publish()
    ~Instrument();
    Instrument(const Instrument &) = delete;
    Instrument &operator=(const Instrument &) = delete;

    // Bytes of the input as they arrive. A message ends at a newline outside
    // a binary block, or with the last of these bytes when `end` is true (EOI
    // on GPIB); every message completed is run at once. Bytes without an end
    // are held for the next call (at most 64 KiB, then -363).
    void take_bytes(std::string_view bytes, bool end);

    // True while part of a reply is waiting to be read.
    bool has_reply() const;
    // Copies up to `max` bytes of the waiting reply to `out`, stopping after
    // `stop_byte` (0..255) when it is not -1. Returns the bytes copied; `last`
    // is true when they include the reply's final byte (the newline that goes
    // with EOI), after which the reply is gone.
    std::size_t read_reply(char *out, std::size_t max, int stop_byte, bool &last);

    // Device clear: drops the part of a message not yet ended and a reply not
    // yet read, as a host does when the client it served goes away. Settings,
    // the waveform and the error queue stay.
    void clear_io();

    // Queues an error; in a full queue (20) the newest entry becomes -350.
    void push_error(const ScpiError &error);
    // Takes the oldest queued error as SYSTem:ERRor? answers it:
    // "-113,\"Undefined header\"", or "+0,\"No error\"" when none is queued.
    std::string next_error();

    // Remote state, as the host's bus sets it (published in the state file).
    bool remote() const;
    void set_remote(bool remote);

    // Writes the output model (function, frequency, amplitude, selected user
    // waveform, remote state) to the bench state file when it changed since
    // the last write or BENCH_SIM_STATE names another file; otherwise costs a
    // comparison. A write that fails queues -300 (once for that output) and
    // is reported once on stderr; it is tried again at every call until it
    // succeeds.
    void publish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Prints "labbench simulated instrument: <message>" on stderr unless it is the
// same message as in `last`, which it then becomes.
void warn_once(std::string &last, const std::string &message);

}  // namespace siminstrument
