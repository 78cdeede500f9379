// SPDX-License-Identifier: GPL-3.0-or-later
// A tripwire for the command-line tests: named as both the GPIB driver library
// (GPIB_LIBRARY) and the port library (PORTIO_LIBRARY), it appends a line to the
// file TRIPWIRE_LOG names as soon as a program loads it, and another for every
// port access. A program that only prints its help or version must leave no line.
// It exports no GPIB routine: a program that does load it as its driver then
// reports the driver unusable and goes on, which the tests' control case needs.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "port_library.h"

namespace {

void record(const char *what) {
    const char *log = std::getenv("TRIPWIRE_LOG");
    if (!log || !*log) return;
    const int fd = open(log, O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0) return;
    char line[128];
    const int length = std::snprintf(line, sizeof line, "%ld %s\n", long(getpid()), what);
    if (length > 0) (void)!write(fd, line, static_cast<std::size_t>(length));
    close(fd);
}

__attribute__((constructor)) void loaded() { record("loaded"); }

}  // namespace

extern "C" {
unsigned char portio_inb(unsigned short port) {
    char what[32];
    std::snprintf(what, sizeof what, "in 0x%X", port);
    record(what);
    return 0xFF;
}
void portio_outb(unsigned short port, unsigned char value) {
    char what[32];
    std::snprintf(what, sizeof what, "out 0x%X 0x%02X", port, value);
    record(what);
}
}
