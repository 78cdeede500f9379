// SPDX-License-Identifier: GPL-3.0-or-later
// Which instrument stands behind a GPIB primary address: the operator's
// mapping, and the resource texts it is written in.
//
// A resource text names one instrument the way VISA resource strings do:
//   TCPIP::<host>::<port>::SOCKET   raw SCPI socket; host is a name, an IPv4
//                                   address or an IPv6 address (bare or in
//                                   [brackets]); port 1..65535
//   USBTMC::<device file>           the Linux kernel's USB test-and-measurement
//                                   device, e.g. USBTMC::/dev/usbtmc0
//   GPIB0::<primary address>::INSTR an instrument on the GPIB bus (board 0),
//                                   which the SCPI link cannot reach: the
//                                   programs' binding reads it to choose the
//                                   GPIB library and the bus address
// Keywords are case-insensitive ("tcpip::...::socket" is accepted).
//
// The mapping of address N is the environment variable LABBENCH_INSTRUMENT_<N>
// (an empty one counts as unset), else a line "N = <resource>" in
// instruments.conf of the settings folder, $XDG_CONFIG_HOME/labbench
// ($HOME/.config when XDG_CONFIG_HOME is unset; see settings.h); '#' starts a
// comment there.
#pragma once

#include <string>
#include <string_view>

namespace scpilink {

struct Resource {
    enum class Kind { Socket, Usbtmc };
    Kind kind = Kind::Socket;
    std::string text;    // as the operator wrote it, blanks trimmed
    std::string host;    // Socket: without brackets
    std::string port;    // Socket: decimal
    std::string device;  // Usbtmc: the device file
};

// Parses `text`. On failure returns false and sets `why` to what is wrong and
// the forms that are understood.
bool parse_resource(std::string_view text, Resource &resource, std::string &why);

// True when `text` names an instrument on GPIB board 0, GPIB0::<0..30>::INSTR
// (or GPIB::<n>::INSTR), with its primary address in `primary_address`.
bool parse_gpib_resource(std::string_view text, int &primary_address);

struct Mapping {
    enum class Outcome { Found, Unmapped, Malformed };
    Outcome outcome = Outcome::Unmapped;
    Resource resource;
    std::string text;    // the resource text found, when there is one
    std::string origin;  // "LABBENCH_INSTRUMENT_8" or "<file>:<line>"
    std::string why;     // Unmapped or Malformed: for the operator
};

// Looks up the instrument mapped to `primary_address` (0 to
// GPIB_DRIVER_MAX_PRIMARY_ADDRESS). Reads the
// environment, and the configuration file only when the environment has no
// mapping for that address. Lines of the file that are not "N = text" are
// reported once on stderr and skipped.
Mapping find_instrument(int primary_address);

// The configuration file is read only when it is a regular file of at most
// this size (a mapping line is a few dozen bytes); anything else, a FIFO or a
// link to a device among them, is refused with one line on stderr and maps
// nothing. It is opened without blocking.
inline constexpr long kMaxConfBytes = 16 * 1024;

// `text` as a message may show it: control bytes and backslashes escaped
// (\x1b, \\), and cut after 80 bytes with its full length said, so that no
// text from a file or the environment can spill over or steer the terminal.
std::string shown_text(std::string_view text);

// The configuration file's path, instruments.conf in the settings folder ("" when
// neither XDG_CONFIG_HOME nor HOME is set). Every reader and writer of the file
// takes its path from here.
std::string instruments_conf_path();

// Keeps `resource` as the mapping of `primary_address` in the configuration
// file: its line for that address is replaced (later ones for it dropped), or
// a line is added; every other line stays as it was. The folder is made when
// missing, and the file is written beside its final name and renamed into
// place, so that a failure never leaves half a file. False, with `why` naming
// the file and the system's reason, when the file cannot be read as a
// mapping file (refused as find_instrument refuses it) or cannot be written.
bool store_instrument(int primary_address, std::string_view resource, std::string &why);

}  // namespace scpilink
