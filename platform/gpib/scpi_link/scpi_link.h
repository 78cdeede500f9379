// SPDX-License-Identifier: GPL-3.0-or-later
// liblabbench_scpi_link.so: a GPIB driver library that reaches instruments on
// a LAN (raw SCPI socket) or on USB (the Linux kernel's usbtmc driver) instead
// of a GPIB bus. It exports exactly the driver interface of gpib_driver.h, so
// a program binds it like any driver: GPIB_LIBRARY=liblabbench_scpi_link.so.
// Nothing in this header is exported beyond that interface; it documents how
// the routines behave on these links.
//
// Addresses. Each GPIB primary address (0 to GPIB_DRIVER_MAX_PRIMARY_ADDRESS)
// the program talks to is mapped by the operator to one instrument
// (instrument_map.h):
//   LABBENCH_INSTRUMENT_8=TCPIP::192.168.1.20::5025::SOCKET   (environment)
//   8 = USBTMC::/dev/usbtmc0     (a line in $XDG_CONFIG_HOME/labbench/instruments.conf)
// The environment wins over the file. The mapping is looked up at every
// transfer, so a changed mapping takes effect at the next one. Nothing is
// ever sent to an address that is not mapped. Only board 0 exists; a
// secondary address has no meaning on these links and is refused (EARG).
//
// Routines:
//  - SendIFC, EnableRemote, EnableLocal succeed (CMPL) and send nothing: a
//    socket or USB link has no interface-clear or remote-enable line, and a
//    LAN or USB instrument goes remote by itself when a client talks to it.
//  - Send writes the bytes. A message the program ends with EOI (DABend, or
//    NLend, which appends a newline) is ended by one newline, since a socket
//    has no EOI: DABend appends it unless the message already ends with a
//    newline and holds no binary block (a block's last data byte may be a
//    newline byte; a definite-length block needs no escaping, its length says
//    where it ends). NULLend sends the bytes as they are: the message goes on
//    with the next Send. ibcnt is the caller's byte count (an appended
//    newline not included). Unread reply bytes are dropped when a new message
//    starts, as an instrument discards an unread reply on GPIB. When a
//    reply may still be on its way (a query, a message with a '?' outside
//    a block, was not followed by a Receive that reached the reply's end,
//    because it timed out, its buffer was too small, or there was none),
//    the next message goes over a new connection, on which the instrument
//    starts afresh, or, on a usbtmc device, follows a device clear; so a
//    late reply is never taken for the reply to the next query.
//  - Receive reads until a newline (or the termination byte, when one is
//    given), until `count` bytes, or until the time-out; END is set when the
//    newline or termination byte ended it. Bytes after it stay for the next
//    Receive.
//
// Time-out: LABBENCH_IO_TIMEOUT_MS (default 3000 ms, 1..600000), read at
// every call. It bounds each routine as a whole: connecting (including
// resolving a host name) and the transfer. No routine blocks longer. (On a
// real usbtmc device the kernel driver takes no time-out under 100 ms, so
// the last 100 ms may be overrun by that much.)
//
// Connections are opened at the first transfer to an address and kept. One
// found closed by the instrument is reopened once, at the next transfer.
//
// Status and error codes (those of the Linux GPIB library):
//   no mapping, a malformed resource text,
//   a host that cannot be resolved, refuses or cannot be reached in time,
//   a device file that cannot be opened             ERR, iberr ENOL
//   time-out of a transfer                          ERR|TIMO, iberr EABO
//   the instrument closed the connection or failed
//   in the middle of a transfer                     ERR, iberr EABO
//   a board other than 0, bad arguments             ERR, iberr ENEB / EARG
//   a failure inside the library (memory exhausted) ERR, iberr EDVR
// ibcnt is the number of the caller's bytes transferred, also on failure.
// gpib_error_string(iberr) after a failure returns a text that names the
// address, the resource and what went wrong, e.g.
//   "ENOL: address 8 (TCPIP::127.0.0.1::5025::SOCKET): cannot connect:
//    Connection refused"
// and each new such text is also printed once on stderr, so an operator
// starting a program from a terminal sees why the instrument is not there.
//
// Threads: the routines may be called from several threads; one lock
// serialises them. Status is kept per thread (Thread*) and in the variables.
#pragma once

#include "gpib_driver.h"
