// SPDX-License-Identifier: GPL-3.0-or-later
// The port library interface: what a library named by PORTIO_LIBRARY exports,
// so that the port layer (portio.cpp) sends a program's port accesses to it
// instead of the real I/O ports. The simulated board, the tests' scripted
// port and any new board simulator export exactly these two routines (C
// linkage, default visibility), so a program cannot tell one from another.
//
// What a port library promises:
//  - portio_inb(port) answers a one-byte read of an I/O port (0x0-0xFFFF)
//    and portio_outb(port, value) takes a one-byte write, for every port
//    number, not only its board's: a port where nothing answers reads 0xFF,
//    as an empty bus does, and a write there goes nowhere;
//  - neither throws, blocks without bound or ends the process: a fault of
//    its own is reported on stderr and the access answers as an empty bus;
//  - the routines are called from one thread at a time (the program's port
//    calls are), so they need no locking of their own;
//  - it is loaded on the first port access, after the process has dropped
//    every capability, and never unloaded.
// The list of exported names for the linker is port_library.exports; the
// libraries are built with labbench_port_library() (cmake/LabBench.cmake).
#pragma once

// Marks what a port library exports; its sources are compiled with hidden
// visibility and linked with a version script listing exactly these names.
#define PORT_LIBRARY_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

PORT_LIBRARY_EXPORT unsigned char portio_inb(unsigned short port);
PORT_LIBRARY_EXPORT void portio_outb(unsigned short port, unsigned char value);

#ifdef __cplusplus
}
#endif

// The routines' types, as the port layer and the tests find them with dlsym.
typedef unsigned char (*PortLibraryInb)(unsigned short port);
typedef void (*PortLibraryOutb)(unsigned short port, unsigned char value);
