// SPDX-License-Identifier: GPL-3.0-or-later
// Control side of the test port library: a shared library exporting
// portio_inb/portio_outb that records every access and answers reads from a
// script. A test opens the same library file with dlopen (the very instance
// the port layer loaded) and finds these functions with dlsym.
#pragma once

extern "C" {

struct TestBoardAccess {
    char direction;  // 'i' for a read, 'o' for a write
    unsigned short port;
    unsigned char value;
};

// Forgets recorded accesses and scripted reads.
typedef void (*TestBoardReset)(void);
// The next reads of `port` answer these values in turn, then 0x00.
typedef void (*TestBoardScriptReads)(unsigned short port, const unsigned char *values, int count);
typedef int (*TestBoardAccessCount)(void);
typedef const TestBoardAccess *(*TestBoardAccessAt)(int index);
// The process's effective, permitted and inheritable capabilities when the
// library was loaded, as /proc/self/status shows them ("CapEff:\t...").
typedef const char *(*TestBoardCapabilitiesAtLoad)(void);
}
