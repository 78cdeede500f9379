// SPDX-License-Identifier: GPL-3.0-or-later
// One-byte access to x86 I/O ports for the board program.
//
// Two backends behind the same two calls:
//  - a port library named by PORTIO_LIBRARY, exporting portio_inb and
//    portio_outb (port_library.h; the simulated board is one). Real ports are
//    then never touched.
//  - otherwise direct port access, for the window the program declares.
// Permission for that window is asked for once, when the program declares it
// (before the GUI starts); afterwards every capability is dropped, and a port
// library is loaded only after that. Without permission nothing crashes: reads
// give 0xFF, as from an empty bus, writes go nowhere, and the reason is kept
// for the program to show. PORTIO_TRACE=1 prints every access to stderr.
#pragma once

// A program declares the ports its board occupies, once, at file scope:
//   static const PortWindow board_ports(0x300, 12);
struct PortWindow {
    PortWindow(unsigned short base, unsigned short count);
};

unsigned char CVI_inp(int port);
unsigned char CVI_outp(int port, unsigned char value);  // returns the value written

// True when PORTIO_LIBRARY names the simulated board (liblabbench_sim_board.so,
// by its file name), so that a program can say it measures no real board. The
// library is not loaded by asking.
bool portio_simulated_board(void);

// True when accesses reach a board (a port library, or direct access granted).
bool portio_available(void);
// Why direct access was refused, with what grants it; empty when it was not refused.
const char *portio_refusal(void);
