// SPDX-License-Identifier: GPL-3.0-or-later
// One open connection to one instrument: a TCP socket or a usbtmc device file.
// Every operation takes a deadline and returns by it, whatever the other end
// does; the caller turns the outcome into GPIB status.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "instrument_map.h"

namespace scpilink {

using Clock = std::chrono::steady_clock;

enum class Io {
    Done,      // everything asked for was transferred
    TimedOut,  // the deadline passed first
    Closed,    // the instrument closed the connection or went away
};

class Channel {
public:
    virtual ~Channel() = default;

    // Writes all `count` bytes; `message_end` when they end a message (the
    // USB link marks that end, a socket has no such mark). `written` is how
    // many went out.
    virtual Io write(const char *bytes, std::size_t count, bool message_end, std::size_t &written,
                     Clock::time_point deadline) = 0;
    // Reads at least one byte and at most `count` (what is there), waiting for
    // the first until the deadline.
    virtual Io read(char *bytes, std::size_t count, std::size_t &got,
                    Clock::time_point deadline) = 0;
    // Throws away what has arrived and not been read, without waiting;
    // Closed when the instrument closed the connection meanwhile.
    virtual Io discard_input() = 0;
    // Makes sure that no byte of a reply the caller gave up on (a Receive that
    // timed out or stopped short of the reply's end) can still arrive as the
    // reply to the next message. Closed when that takes a new connection: the
    // caller then drops this channel and opens another.
    virtual Io abandon_reply() = 0;
    // The last system error's text, for messages.
    const std::string &reason() const { return reason_; }

protected:
    std::string reason_;
};

// Opens the instrument named by `resource` by the deadline; null with `why`
// set when it cannot be reached.
std::unique_ptr<Channel> open_channel(const Resource &resource, Clock::time_point deadline,
                                      std::string &why);

// For the fuzz target and tests that stand in for the instrument inside the
// process: while set, open_channel returns what `opener` makes instead of
// opening the resource. Not part of the library's exported interface.
using ChannelOpener = std::unique_ptr<Channel> (*)(const Resource &resource, std::string &why);
void set_channel_opener(ChannelOpener opener);

}  // namespace scpilink
