// SPDX-License-Identifier: GPL-3.0-or-later
// Tests of port I/O: accesses through the scripted port library (tests/support),
// PORTIO_TRACE, port libraries that cannot be loaded, and direct access
// refused without a crash. Every case runs in a forked child, because
// declaring a window and loading a port library drop the process's
// capabilities for good. No test touches a real I/O port: direct access is
// only tried where it cannot be granted.
#include "portio.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/capability.h>
#include <sys/stat.h>

#include "capture_stderr.h"
#include "portio_internal.h"
#include "scripted_port.h"
#include "temp_fifo.h"
#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#endif
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

// Failures found in a child, sent back to the test through a pipe.
struct Checks {
    std::string failures;
    void expect(bool ok, const std::string &what) {
        if (!ok) failures += what + "\n";
    }
    template <typename A, typename B>
    void equal(const A &actual, const B &expected, const std::string &what) {
        if (!(actual == expected))
            failures +=
                what + ": got " + describe(actual) + ", expected " + describe(expected) + "\n";
    }

private:
    static std::string describe(const std::string &s) { return "\"" + s + "\""; }
    static std::string describe(const char *s) { return describe(std::string(s)); }
    template <typename T>
    static std::string describe(const T &v) {
        return std::to_string(v);
    }
};

// Runs body in a forked child; returns its failures, or how it died.
std::string in_child(const std::function<void(Checks &)> &body) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) return "pipe failed";
    pid_t child = fork();
    if (child == 0) {
        close(pipeEnds[0]);
        Checks checks;
        body(checks);
        ssize_t ignored = write(pipeEnds[1], checks.failures.data(), checks.failures.size());
        (void)ignored;
        _exit(0);
    }
    close(pipeEnds[1]);
    std::string failures;
    char chunk[512];
    ssize_t n;
    while ((n = read(pipeEnds[0], chunk, sizeof chunk)) > 0)
        failures.append(chunk, static_cast<size_t>(n));
    close(pipeEnds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status)) failures += "the child died (status " + std::to_string(status) + ")\n";
    return failures;
}

// Capability sets from /proc/self/status, by name ("CapEff", "CapBnd", ...).
std::map<std::string, unsigned long long> capabilities() {
    std::map<std::string, unsigned long long> sets;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Cap", 0) == 0 && line.find(':') != std::string::npos)
            sets[line.substr(0, line.find(':'))] =
                std::stoull(line.substr(line.find(':') + 1), nullptr, 16);
    return sets;
}

bool holds(cap_value_t capability) { return capabilities()["CapEff"] & (1ULL << capability); }

void expect_no_capabilities_left(Checks &checks, bool couldClearBounding) {
    auto sets = capabilities();
    for (const char *set : {"CapEff", "CapPrm", "CapInh", "CapAmb"})
        checks.equal(sets[set], 0ULL, std::string(set) + " after the window was declared");
    if (couldClearBounding)
        checks.equal(sets["CapBnd"], 0ULL, "CapBnd after the window was declared");
}

// Takes CAP_SYS_RAWIO away so that direct access cannot be granted.
void drop_raw_io(Checks &checks) {
    cap_t caps = cap_get_proc();
    cap_value_t rawio[] = {CAP_SYS_RAWIO};
    cap_set_flag(caps, CAP_EFFECTIVE, 1, rawio, CAP_CLEAR);
    cap_set_flag(caps, CAP_PERMITTED, 1, rawio, CAP_CLEAR);
    checks.equal(cap_set_proc(caps), 0, "dropping CAP_SYS_RAWIO");
    cap_free(caps);
    checks.expect(!holds(CAP_SYS_RAWIO), "CAP_SYS_RAWIO still held");
}

void set_env(const char *name, const char *value) {
    if (value != nullptr)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

template <typename T>
T board_function(const char *name) {
    void *handle = dlopen(SCRIPTED_PORT_PATH, RTLD_NOW | RTLD_NOLOAD);
    return handle != nullptr ? reinterpret_cast<T>(dlsym(handle, name)) : nullptr;
}

std::vector<std::string> board_accesses() {
    auto accesses = board_function<decltype(&scripted_port_accesses)>("scripted_port_accesses");
    std::vector<std::string> log;
    for (const PortAccess &access : accesses != nullptr ? *accesses() : std::vector<PortAccess>{}) {
        char line[32];
        std::snprintf(line, sizeof line, "%s 0x%X 0x%02X", access.direction == 'o' ? "out" : "in",
                      access.port, access.value);
        log.push_back(line);
    }
    return log;
}

std::string joined(const std::vector<std::string> &lines) {
    std::string text;
    for (const std::string &line : lines) text += line + "; ";
    return text;
}

TEST(PortLibrary, AccessesReachTheLibraryWithItsAnswers) {
    EXPECT_EQ(in_child([](Checks &checks) {
                  set_env("PORTIO_LIBRARY", SCRIPTED_PORT_PATH);
                  unsetenv("PORTIO_TRACE");
                  StderrCapture capture;
                  // Loads the library: the first access chooses the backend.
                  checks.equal(CVI_outp(0x303, 0x74), 0x74, "value returned by CVI_outp");
                  auto script = board_function<decltype(&scripted_port_script_reads)>(
                      "scripted_port_script_reads");
                  checks.expect(script != nullptr, "test board not loaded by the first access");
                  if (script == nullptr) return;
                  const unsigned char status[] = {0x1F, 0x10, 0x0A};
                  const unsigned char low[] = {0x34};
                  script(0x305, status, 3);
                  script(0x304, low, 1);
                  CVI_outp(0x301, 0xE8);
                  checks.equal(CVI_inp(0x305), 0x1F, "first read of 0x305");
                  checks.equal(CVI_inp(0x305), 0x10, "second read of 0x305");
                  checks.equal(CVI_inp(0x305), 0x0A, "third read of 0x305");
                  checks.equal(CVI_inp(0x304), 0x34, "read of 0x304");
                  checks.equal(joined(board_accesses()),
                               std::string("out 0x303 0x74; out 0x301 0xE8; in 0x305 0x1F; "
                                           "in 0x305 0x10; in 0x305 0x0A; in 0x304 0x34; "),
                               "accesses seen by the board");
                  checks.expect(portio_available(), "portio_available() with a port library");
                  checks.equal(std::string(portio_refusal()), std::string(),
                               "portio_refusal() with a port library");
                  checks.equal(capture.text(), "", "stderr");

                  auto atLoad = board_function<decltype(&scripted_port_capabilities_at_load)>(
                      "scripted_port_capabilities_at_load");
                  std::string caps = atLoad();
                  for (const char *set : {"CapInh", "CapPrm", "CapEff"})
                      checks.expect(
                          caps.find(std::string(set) + ":\t0000000000000000") != std::string::npos,
                          std::string("the port library was loaded while ") + set +
                              " was not empty: " + caps);
              }),
              "");
}

// The benchmarks' mode: the converter always has the next served word, other
// reads find an empty bus, and nothing is recorded, until a reset.
TEST(PortLibrary, AlwaysReadyModeServesEveryWordAtOnceAndRecordsNothing) {
    EXPECT_EQ(
        in_child([](Checks &checks) {
            set_env("PORTIO_LIBRARY", SCRIPTED_PORT_PATH);
            unsetenv("PORTIO_TRACE");
            CVI_inp(0x300);  // loads the library
            auto serve = board_function<decltype(&scripted_port_serve)>("scripted_port_serve");
            auto ready =
                board_function<decltype(&scripted_port_always_ready)>("scripted_port_always_ready");
            auto reset = board_function<decltype(&scripted_port_reset)>("scripted_port_reset");
            checks.expect(serve && ready && reset, "the scripted port library's controls");
            if (!serve || !ready || !reset) return;
            const std::uint16_t words[] = {0x0123, 0x0E45};
            serve(words, 2, 3);  // flagged reads, which the mode passes over
            ready(1);
            board_function<decltype(&scripted_port_clear_accesses)>(
                "scripted_port_clear_accesses")();  // the read that loaded it
            const struct {
                unsigned short port;
                int value;
            } reads[] = {
                {0x305, 0x01}, {0x305, 0x01}, {0x304, 0x23},  // no start of acquisition
                {0x305, 0x0E}, {0x304, 0x45}, {0x305, 0x01},  // round to the first word
                {0x300, 0xFF}, {0x30B, 0xFF},
            };
            CVI_outp(0x30B, 0x04);
            for (const auto &read : reads)
                checks.equal(CVI_inp(read.port), read.value,
                             "read of " + std::to_string(read.port));
            checks.equal(joined(board_accesses()), std::string(), "accesses recorded");

            reset();
            checks.equal(CVI_inp(0x305), 0xFF, "read of 0x305 after a reset (idle board)");
            checks.equal(joined(board_accesses()), std::string("in 0x305 0xFF; "),
                         "accesses recorded after a reset");
        }),
        "");
}

TEST(PortLibrary, NumbersOutsideThePortSpaceReachNothing) {
    EXPECT_EQ(in_child([](Checks &checks) {
                  set_env("PORTIO_LIBRARY", SCRIPTED_PORT_PATH);
                  StderrCapture capture;
                  for (int port : {-1, 0x10000, 0x10305}) {
                      checks.equal(CVI_inp(port), 0xFF, "read of " + std::to_string(port));
                      checks.equal(CVI_outp(port, 0x12), 0x12, "write to " + std::to_string(port));
                  }
                  checks.equal(joined(board_accesses()), std::string(),
                               "accesses seen by the board");
                  std::string err = capture.text();
                  checks.equal(line_count(err), 1, "stderr lines: " + err);
                  checks.expect(err.find("-1 is not an I/O port number") != std::string::npos,
                                "stderr names the bad port: " + err);
              }),
              "");
}

TEST(PortLibrary, LibraryThatCannotBeLoadedReadsAsAnEmptyBus) {
    // A FIFO named as the library would hold the program at its first port access.
    const testsupport::TempFifo fifo("libboard.so");
    ASSERT_FALSE(fifo.path().empty());
    struct Case {
        const char *library;
        const char *reason;
    } cases[] = {
        {"/nonexistent/libboard-missing.so", "No such file"},
        {"libm.so.6", "does not export portio_inb"},
        {fifo.path().c_str(), "it is not a regular file"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.library);
        EXPECT_EQ(in_child([&c](Checks &checks) {
                      set_env("PORTIO_LIBRARY", c.library);
                      StderrCapture capture;
                      checks.equal(CVI_inp(0x305), 0xFF, "first read");
                      checks.equal(CVI_inp(0x305), 0xFF, "second read");
                      checks.equal(CVI_outp(0x303, 0x74), 0x74, "value returned by CVI_outp");
                      std::string err = capture.text();
                      checks.equal(line_count(err), 1, "stderr lines: " + err);
                      std::string refusal = portio_refusal();
                      for (const std::string &text : {err, refusal}) {
                          checks.expect(text.find(c.library) != std::string::npos,
                                        "library not named in: " + text);
                          checks.expect(text.find(c.reason) != std::string::npos,
                                        "reason not given in: " + text);
                      }
                      checks.expect(!portio_available(), "portio_available() without a library");
                  }),
                  "");
    }
}

TEST(PortTrace, EachAccessIsPrintedWhenAsked) {
    struct Case {
        const char *trace;
        const char *library;
        const char *expected;
    } cases[] = {
        {"1", SCRIPTED_PORT_PATH,
         "portio: out 0x303 <- 0x74\n"
         "portio: in  0x305 -> 0xFF\n"},
        {"0", SCRIPTED_PORT_PATH, ""},
        {nullptr, SCRIPTED_PORT_PATH, ""},
        {"1", "/nonexistent/libboard-missing.so",
         "portio: out 0x303 <- 0x74 (reached no board)\n"
         "portio: in  0x305 -> 0xFF (reached no board)\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string("PORTIO_TRACE=") + (c.trace ? c.trace : "(unset)") + " with " +
                     c.library);
        EXPECT_EQ(in_child([&c](Checks &checks) {
                      set_env("PORTIO_TRACE", c.trace);
                      set_env("PORTIO_LIBRARY", c.library);
                      CVI_inp(0x304);  // first access: chooses the backend, may report a failure
                      StderrCapture capture;
                      CVI_outp(0x303, 0x74);
                      CVI_inp(0x305);
                      std::string err = capture.text();
                      if (std::string(c.trace ? c.trace : "") == "1")
                          checks.expect(err.find(c.expected) != std::string::npos,
                                        "trace\n" + err + "lacks\n" + c.expected);
                      else
                          checks.equal(err, "", "stderr without a trace");
                  }),
                  "");
    }
}

// The refusal this machine gives for 0x300-0x30B, found by asking for the
// window directly (after CAP_SYS_RAWIO is gone, so it cannot be granted).
std::string expected_refusal(Checks &checks) {
#if defined(__x86_64__) || defined(__i386__)
    if (ioperm(0x300, 12, 1) == 0) {
        ioperm(0x300, 12, 0);
        checks.expect(false, "ioperm granted without CAP_SYS_RAWIO");
        return {};
    }
    int error = errno;
    std::ifstream lockdown("/sys/kernel/security/lockdown");
    std::string modes, mode;
    std::getline(lockdown, modes);
    for (const char *active : {"integrity", "confidentiality"})
        if (modes.find(std::string("[") + active + "]") != std::string::npos) mode = active;
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    return portio_direct_refusal_text(0x300, 12, error, mode,
                                      std::string(exe, n > 0 ? static_cast<size_t>(n) : 0));
#else
    (void)checks;
    return "direct access to I/O ports 0x300-0x30B is refused: not an x86 machine";
#endif
}

TEST(DirectAccess, RefusalSaysWhatGrantsAccess) {
    struct Case {
        int error;
        const char *lockdown;
        std::vector<std::string> parts;
    } cases[] = {
        {EPERM,
         "",
         {"no permission for I/O ports 0x300-0x30B: grant it with sudo setcap "
          "cap_sys_rawio+ep /usr/bin/deska"}},
        {EPERM,
         "integrity",
         {"I/O ports 0x300-0x30B are closed by the kernel's lockdown "
          "(integrity mode)",
          "PORTIO_LIBRARY"}},
        {EPERM, "confidentiality", {"lockdown (confidentiality mode)"}},
        {ENOSYS,
         "",
         {"I/O ports 0x300-0x30B cannot be reached: this kernel offers no I/O port "
          "access",
          "PORTIO_LIBRARY"}},
        {EINVAL, "", {"access to I/O ports 0x300-0x30B failed: "}},
    };
    for (const Case &c : cases) {
        std::string text =
            portio_direct_refusal_text(0x300, 12, c.error, c.lockdown, "/usr/bin/deska");
        for (const std::string &part : c.parts)
            EXPECT_NE(text.find(part), std::string::npos)
                << "errno " << c.error << ", lockdown \"" << c.lockdown << "\": " << text;
    }
}

TEST(DirectAccess, RefusedWithoutPermissionReadsAsAnEmptyBus) {
    EXPECT_EQ(in_child([](Checks &checks) {
                  unsetenv("PORTIO_LIBRARY");
                  bool hadSetpcap = holds(CAP_SETPCAP);
                  drop_raw_io(checks);
                  PortWindow board(0x300, 12);
                  if (portio_available()) {
                      checks.expect(false, "direct access granted without CAP_SYS_RAWIO");
                      return;  // and never touch the real ports
                  }
                  std::string refusal = portio_refusal();
                  checks.equal(refusal, expected_refusal(checks), "portio_refusal()");
                  StderrCapture capture;
                  checks.equal(CVI_inp(0x305), 0xFF, "read of 0x305");
                  checks.equal(CVI_inp(0x300), 0xFF, "read of 0x300");
                  checks.equal(CVI_outp(0x30B, 4), 4, "value returned by CVI_outp");
                  std::string err = capture.text();
                  checks.equal(line_count(err), 1, "stderr lines: " + err);
                  checks.expect(err.find(refusal) != std::string::npos,
                                "stderr does not give the refusal: " + err);
                  expect_no_capabilities_left(checks, hadSetpcap);
              }),
              "");
}

TEST(DirectAccess, DeclaringTheWindowDropsEveryCapability) {
    // Whatever this process may do (root in CI, or an ordinary user), the window's
    // outcome is consistent and nothing is left afterwards. No port is accessed.
    EXPECT_EQ(in_child([](Checks &checks) {
                  unsetenv("PORTIO_LIBRARY");
                  bool hadSetpcap = holds(CAP_SETPCAP);
                  PortWindow board(0x300, 12);
                  std::string refusal = portio_refusal();
                  checks.expect(portio_available() == refusal.empty(),
                                "available and refusal disagree: \"" + refusal + "\"");
                  expect_no_capabilities_left(checks, hadSetpcap);
              }),
              "");
}

TEST(DirectAccess, BackendIsChosenAtTheFirstAccess) {
    struct Case {
        const char *what;
        const char *libraryAtDeclaration;
        const char *libraryAtFirstAccess;
        bool boardReached;
        const char *refusalPart;
    } cases[] = {
        {"library named throughout", SCRIPTED_PORT_PATH, SCRIPTED_PORT_PATH, true, ""},
        {"library named only after the declaration", nullptr, SCRIPTED_PORT_PATH, true, ""},
        {"library named only at the declaration", SCRIPTED_PORT_PATH, nullptr, false,
         "was not requested, because PORTIO_LIBRARY was set when the program started"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(in_child([&c](Checks &checks) {
                      drop_raw_io(checks);  // so that no case could reach real ports
                      set_env("PORTIO_LIBRARY", c.libraryAtDeclaration);
                      PortWindow board(0x300, 12);
                      set_env("PORTIO_LIBRARY", c.libraryAtFirstAccess);
                      checks.equal(portio_available(), c.boardReached, "portio_available()");
                      if (!portio_available())
                          checks.equal(CVI_inp(0x305), 0xFF, "read of 0x305");
                      else
                          CVI_inp(0x305);
                      checks.equal(joined(board_accesses()),
                                   std::string(c.boardReached ? "in 0x305 0xFF; " : ""),
                                   "accesses seen by the board");
                      std::string refusal = portio_refusal();
                      checks.expect(refusal.find(c.refusalPart) != std::string::npos,
                                    "refusal \"" + refusal + "\" lacks \"" + c.refusalPart + "\"");
                  }),
                  "");
    }
}

}  // namespace
