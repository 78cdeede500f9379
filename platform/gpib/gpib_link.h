// SPDX-License-Identifier: GPL-3.0-or-later
// The instrument behind a GPIB primary address, in an operator's terms: which
// link the bound driver library is (a GPIB bus, the SCPI link to a LAN or USB
// instrument, or the simulated instrument) and, for the SCPI link, the
// resource mapped to the address. Programs name it in their window and fit
// their advice on a failed transfer to it.
#pragma once

#include <string>

struct GpibInstrument {
    enum class Link {
        Bus,       // a GPIB driver: the Linux GPIB library or one like it
        Socket,    // the SCPI link to a raw SCPI socket
        Usb,       // the SCPI link to a usbtmc device file
        Unmapped,  // the SCPI link with no usable instrument at the address
    };
    Link link = Link::Bus;
    bool simulated = false;  // the driver library is the simulated instrument
    std::string library;     // the driver library as named
    std::string resource;    // Socket, Usb: "TCPIP::192.168.1.20::5025::SOCKET"
    std::string host, port;  // Socket
    std::string device;      // Usb: "/dev/usbtmc0"
    std::string why;         // Unmapped: what is missing or wrong, and where
    // The primary address the routines send to: for a GPIB bus the one the
    // mapping names (GPIB0::<n>::INSTR), else the address asked about.
    int busAddress = 0;
};

// Binds the driver library if no routine has yet, and reads the mapping now.
GpibInstrument gpib_instrument(int primaryAddress);

// ---- Choosing the instrument -------------------------------------------------------
// An instrument is named by a resource text: TCPIP::<host>::<port>::SOCKET,
// USBTMC::<device file> or GPIB0::<primary address>::INSTR.
//
// Asks the instrument named by `resource` who it is (*IDN?) through the driver
// library that choosing it would bind (GPIB_LIBRARY, when set, else the Linux
// GPIB library or the SCPI link), as the instrument at `primaryAddress` would
// be reached; the current choice is restored afterwards. True with its answer
// (the line terminator dropped) in `answer`; false with the driver's reason
// and advice in `why`.
bool gpib_query_identity(const std::string &resource, int primaryAddress, std::string &answer,
                         std::string &why);
// Makes `resource` the instrument at `primaryAddress`: claims it (see below;
// the claim of the one before is given up) and keeps it in instruments.conf.
// The driver library is not yet changed: call gpib_pick_library_for next, once
// the instrument before has been let go. False, with nothing changed and `why`
// saying what failed (a resource not understood, another process holding the
// instrument, the file), else true.
bool gpib_choose_instrument(const std::string &resource, int primaryAddress, std::string &why);
// What an operator choosing the instrument at `primaryAddress` should know: where
// the choice is kept, and the environment variables that win over it
// (GPIB_LIBRARY, LABBENCH_INSTRUMENT_<N>) when they are set.
std::string gpib_choice_note(int primaryAddress);

// One-line advice on the failure `error` of a transfer to `instrument`, e.g.
// "no instrument answers at 192.168.1.20 port 5025: is the instrument on the
// network and its SCPI socket enabled?"; for a GPIB bus gpib_error_hint's text.
std::string gpib_failure_advice(int error, const GpibInstrument &instrument, int primaryAddress);

// The SCPI link library for a LAN or USB instrument: the one in the private library
// folder of the installation the program runs from, or, for a program or test run
// from a build tree, the one built there.
std::string gpib_scpi_link_path(void);
// Started without GPIB_LIBRARY, chooses the driver library that the operator's
// mapping of `primaryAddress` (LABBENCH_INSTRUMENT_<N> or instruments.conf) calls
// for: the SCPI link for a LAN or USB instrument, also for a mapping that cannot
// be read, so that the window says what is wrong with it; else the Linux GPIB
// library. Nobody has to type a library path. With GPIB_LIBRARY set it changes
// nothing; a library already bound that is still the one stays bound.
void gpib_pick_library_for(int primaryAddress);

// The SCPI link's file name, the simulated instrument's, and whether a library
// as named (a path or a bare name) is that file.
extern const char GPIB_SCPI_LINK_LIBRARY[];
extern const char GPIB_SIMULATED_LIBRARY[];
bool gpib_library_is(const std::string &library, const char *fileName);

// ---- One controller per instrument ------------------------------------------------
// Two programs sending to one instrument would each overwrite the other's
// settings. A program claims its instrument before its first transfer; the claim
// is an flock on a file in $XDG_RUNTIME_DIR (without it, in the private folder
// labbench-<uid> in $TMPDIR or /tmp), which the system releases when the process
// ends, however it ends. The instrument is the resource for a LAN or USB
// instrument, else the driver library and the bus address.
enum class GpibClaim {
    Claimed,    // this process holds the instrument
    Held,       // another process holds it: *holder is its process id (0 if unknown)
    Unguarded,  // no lock file can be made; `why` says why, the program may go on
};
GpibClaim gpib_claim_instrument(const GpibInstrument &instrument, long *holder, std::string &why);
// Gives up this process's claim (before claiming another instrument).
void gpib_release_instrument(void);
// "the instrument at address 8", "the instrument TCPIP::192.168.1.20::5025::SOCKET".
std::string gpib_instrument_phrase(const GpibInstrument &instrument);
