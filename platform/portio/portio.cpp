// SPDX-License-Identifier: GPL-3.0-or-later
// One-byte I/O port access: direct x86 ports, or a port library.
//
// Permission for direct access is asked once, by PortWindow, while the program
// starts (a file-scope object, so before the GUI and before any thread).
// ioperm needs CAP_SYS_RAWIO; the port permission it grants stays with the
// process after every capability is dropped, which happens right after, so
// the GUI never runs with privileges. If PORTIO_LIBRARY is set, real ports are
// never requested. The backend itself is chosen on the first access: a port
// library if PORTIO_LIBRARY is set then (loaded at that moment, after the
// capabilities are gone), else direct access inside granted windows. Every
// access that reaches no board reads 0xFF, as an empty bus does, and writes
// go nowhere; the first such access says why on stderr, once.
//
// Everything lives in a function-local static: PortWindow objects are
// constructed during static initialisation, in an order between translation
// units that nothing controls.
#include "portio.h"

#include <dlfcn.h>
#include <sys/capability.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "environment.h"
#include "library.h"
#include "port_library.h"
#include "portio_internal.h"
#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#define PORTIO_X86 1
#endif

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

constexpr unsigned char kEmptyBus = 0xFF;
constexpr int kMaxWindows = 4;
constexpr unsigned kPortSpace = 0x10000;

struct Window {
    unsigned base = 0;
    unsigned count = 0;
    bool granted = false;
    std::string refusal;  // why direct access to it was not granted
};

enum class Backend { Unchosen, Library, Direct };

struct PortState {
    Window windows[kMaxWindows];
    int windowCount = 0;
    bool capabilitiesDropped = false;

    Backend backend = Backend::Unchosen;
    bool trace = false;
    bool unreachedReported = false;
    std::string library;
    std::string libraryRefusal;
    void *handle = nullptr;
    PortLibraryInb inb = nullptr;
    PortLibraryOutb outb = nullptr;
};

PortState &state() {
    static PortState instance;
    return instance;
}

std::string hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

std::string range_text(unsigned base, unsigned count) {
    return hex(base) + "-" + hex(base + count - 1);
}

std::string range_text(const Window &w) { return range_text(w.base, w.count); }

[[maybe_unused]] std::string executable_path() {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "<path of the program>";
    return std::string(path, static_cast<size_t>(n));
}

// The active kernel lockdown mode ("integrity", "confidentiality"), or empty.
// The file lists the modes with the active one in brackets.
[[maybe_unused]] std::string kernel_lockdown() {
    std::ifstream file("/sys/kernel/security/lockdown");
    std::string modes;
    std::getline(file, modes);
    size_t open = modes.find('[');
    size_t close = modes.find(']', open);
    if (open == std::string::npos || close == std::string::npos) return {};
    std::string active = modes.substr(open + 1, close - open - 1);
    return active == "none" ? std::string() : active;
}

// Drops every capability: ambient, bounding (needs CAP_SETPCAP, so only where
// it was held: a process without it cannot gain capabilities anyway once its
// permitted set is empty), then effective, permitted and inheritable. The sets
// belong to the calling thread; PortWindow runs before any other thread exists.
void drop_all_capabilities(PortState &s) {
    if (s.capabilitiesDropped) return;
    s.capabilitiesDropped = true;
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    for (unsigned cap = 0; cap < static_cast<unsigned>(cap_max_bits()); ++cap)
        prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
    cap_t none = cap_init();
    if (none == nullptr || cap_set_proc(none) != 0) {
        std::fprintf(stderr,
                     "portio: could not drop the process's capabilities (%s); the program "
                     "keeps privileges it does not need: do not run it as root\n",
                     std::strerror(errno));
        std::fflush(stderr);
    }
    if (none != nullptr) cap_free(none);
}

void request_direct_access(Window &w) {
    if (w.count == 0 || w.base + w.count > kPortSpace) {
        w.refusal = "the port window " + hex(w.base) + " + " + std::to_string(w.count) +
                    " lies outside the I/O port space 0x0-0xFFFF";
        return;
    }
#ifdef PORTIO_X86
    if (ioperm(w.base, w.count, 1) == 0) {
        w.granted = true;
        return;
    }
    int error = errno;
    w.refusal = portio_direct_refusal_text(w.base, w.count, error,
                                           error == EPERM ? kernel_lockdown() : std::string(),
                                           executable_path());
#else
    w.refusal = "direct access to I/O ports " + range_text(w) + " is refused: not an x86 machine";
#endif
}

void choose_backend(PortState &s) {
    if (s.backend != Backend::Unchosen) return;
    s.trace = labbench::env_switch("PORTIO_TRACE");
    s.library = labbench::env_text("PORTIO_LIBRARY");
    if (s.library.empty()) {
        s.backend = Backend::Direct;
        return;
    }
    s.backend = Backend::Library;
    // A port library is foreign code: it never runs with the process's privileges.
    drop_all_capabilities(s);
    std::string why;
    s.handle = labbench::open_library(s.library, why);
    if (s.handle != nullptr) {
        dlerror();
        s.inb = reinterpret_cast<PortLibraryInb>(dlsym(s.handle, "portio_inb"));
        s.outb = reinterpret_cast<PortLibraryOutb>(dlsym(s.handle, "portio_outb"));
        if (s.inb == nullptr || s.outb == nullptr) {
            why = std::string("it does not export ") +
                  (s.inb == nullptr ? "portio_inb" : "portio_outb");
            s.inb = nullptr;
            s.outb = nullptr;
            dlclose(s.handle);
            s.handle = nullptr;
        }
    }
    if (!why.empty()) {
        s.libraryRefusal = "the port library " + s.library +
                           " (PORTIO_LIBRARY) could not be loaded: " + why +
                           "; set PORTIO_LIBRARY to a library exporting portio_inb and "
                           "portio_outb, or unset it for direct port access";
        std::fprintf(stderr, "portio: %s. Reads give 0xFF, writes go nowhere.\n",
                     s.libraryRefusal.c_str());
        std::fflush(stderr);
        s.unreachedReported = true;
    }
}

[[maybe_unused]] const Window *granted_window(const PortState &s, int port) {
    for (int i = 0; i < s.windowCount; ++i) {
        const Window &w = s.windows[i];
        if (w.granted && static_cast<unsigned>(port) >= w.base &&
            static_cast<unsigned>(port) < w.base + w.count)
            return &w;
    }
    return nullptr;
}

std::string direct_refusal(const PortState &s) {
    for (int i = 0; i < s.windowCount; ++i)
        if (!s.windows[i].refusal.empty()) return s.windows[i].refusal;
    if (s.windowCount == 0)
        return "the program declared no I/O port window, so no port may be accessed directly";
    return {};
}

// Says once why accesses reach no board; the tight polling loops would
// otherwise flood stderr.
void report_unreached(PortState &s, const std::string &why) {
    if (s.unreachedReported) return;
    s.unreachedReported = true;
    std::fprintf(stderr, "portio: %s. Reads give 0xFF, writes go nowhere.\n", why.c_str());
    std::fflush(stderr);
}

// Performs one access on the chosen backend; false when it reached nothing.
bool access(PortState &s, int port, bool write, unsigned char &value) {
    if (port < 0 || port >= static_cast<int>(kPortSpace)) {
        report_unreached(s, std::to_string(port) + " is not an I/O port number (0x0-0xFFFF)");
        return false;
    }
    auto p = static_cast<unsigned short>(port);
    if (s.backend == Backend::Library) {
        if (s.inb == nullptr) return false;
        if (write)
            s.outb(p, value);
        else
            value = s.inb(p);
        return true;
    }
#ifdef PORTIO_X86
    if (granted_window(s, port) != nullptr) {
        if (write)
            outb(value, p);
        else
            value = inb(p);
        return true;
    }
#endif
    std::string why = direct_refusal(s);
    if (why.empty()) why = "port " + hex(p) + " lies outside the program's declared port window";
    report_unreached(s, why);
    return false;
}

void trace(const PortState &s, int port, bool write, unsigned char value, bool reached) {
    if (!s.trace) return;
    std::fprintf(stderr, "portio: %s 0x%X %s 0x%02X%s\n", write ? "out" : "in ",
                 static_cast<unsigned>(port), write ? "<-" : "->", value,
                 reached ? "" : " (reached no board)");
    std::fflush(stderr);
}

}  // namespace

std::string portio_direct_refusal_text(unsigned base, unsigned count, int error,
                                       const std::string &lockdownMode,
                                       const std::string &program) {
    const std::string ports = "I/O ports " + range_text(base, count);
    if (error == EPERM && !lockdownMode.empty())
        return ports + " are closed by the kernel's lockdown (" + lockdownMode +
               " mode), which no permission overrides: turn lockdown off (it usually comes "
               "with Secure Boot) or use a port library through PORTIO_LIBRARY";
    if (error == EPERM)
        return "no permission for " + ports + ": grant it with sudo setcap cap_sys_rawio+ep " +
               program;
    if (error == ENOSYS)
        return ports + " cannot be reached: this kernel offers no I/O port access (" +
               std::strerror(error) +
               "); run on a kernel with I/O port support, outside a sandbox, or use a port "
               "library through PORTIO_LIBRARY";
    return "access to " + ports + " failed: " + std::strerror(error);
}

PortWindow::PortWindow(unsigned short base, unsigned short count) {
    PortState &s = state();
    if (s.windowCount == kMaxWindows) {
        std::fprintf(stderr, "portio: more than %d port windows declared; %s is ignored\n",
                     kMaxWindows, hex(base).c_str());
        return;
    }
    Window &w = s.windows[s.windowCount++];
    w.base = base;
    w.count = count;
    if (!labbench::env_text("PORTIO_LIBRARY").empty())
        w.refusal = "direct access to I/O ports " + range_text(w) +
                    " was not requested, because PORTIO_LIBRARY was set when the program "
                    "started";
    else
        request_direct_access(w);
    drop_all_capabilities(s);
}

unsigned char CVI_inp(int port) {
    PortState &s = state();
    choose_backend(s);
    unsigned char value = kEmptyBus;
    bool reached = access(s, port, false, value);
    if (!reached) value = kEmptyBus;
    trace(s, port, false, value, reached);
    return value;
}

unsigned char CVI_outp(int port, unsigned char value) {
    PortState &s = state();
    choose_backend(s);
    unsigned char written = value;
    bool reached = access(s, port, true, written);
    trace(s, port, true, value, reached);
    return value;
}

bool portio_simulated_board(void) {
    const std::string library = labbench::env_text("PORTIO_LIBRARY");
    if (library.empty()) return false;
    const char *name = std::strrchr(library.c_str(), '/');
    name = name != nullptr ? name + 1 : library.c_str();
    static const char kSimulatedBoard[] = "liblabbench_sim_board.so";
    const std::size_t n = sizeof kSimulatedBoard - 1;
    return std::strncmp(name, kSimulatedBoard, n) == 0 && (name[n] == '\0' || name[n] == '.');
}

bool portio_available(void) {
    PortState &s = state();
    choose_backend(s);
    if (s.backend == Backend::Library) return s.inb != nullptr;
    for (int i = 0; i < s.windowCount; ++i)
        if (s.windows[i].granted) return true;
    return false;
}

const char *portio_refusal(void) {
    PortState &s = state();
    choose_backend(s);
    static std::string text;
    text = s.backend == Backend::Library ? s.libraryRefusal : direct_refusal(s);
    return text.c_str();
}
