// SPDX-License-Identifier: GPL-3.0-or-later
// Starts a test program the way deska may be started on a lab computer, and
// tells it whether its capture thread should get real-time priority:
//   as-started             with this process's own privileges (root: all of them)
//   without-sys-nice       root without the capability CAP_SYS_NICE, and with no
//                          real-time limit
//   nobody                 as the unprivileged user nobody, with no real-time limit
//   nobody-realtime-limit  as nobody with a real-time limit (RLIMIT_RTPRIO) of 50,
//                          as a group's line in /etc/security/limits.d gives it
// Usage: deska_privilege_launcher MODE PROGRAM [ARGUMENT...]
// The program gets DESKA_EXPECT_REALTIME=1 or 0 in its environment. Exits 77 (the
// test is skipped) when the mode cannot be set up here: not root, or the program
// not reachable by nobody.
#include <grp.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

constexpr int kSkip = 77;
constexpr int kSysNice = 23;  // CAP_SYS_NICE
constexpr rlim_t kPriority = 50;
constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;

int skip(const std::string &why) {
    std::printf("SKIPPED: %s\n", why.c_str());
    return kSkip;
}

bool holdsSysNice() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("CapEff:", 0) == 0)
            return (std::strtoull(line.c_str() + 7, nullptr, 16) >> kSysNice) & 1;
    return false;
}

bool setRealtimeLimit(rlim_t value) {
    const rlimit limit{value, value};
    return setrlimit(RLIMIT_RTPRIO, &limit) == 0;
}

bool becomeNobody() {
    return setgroups(0, nullptr) == 0 && setgid(kNogroup) == 0 && setuid(kNobody) == 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s MODE PROGRAM [ARGUMENT...]\n", argv[0]);
        return 2;
    }
    const std::string mode = argv[1];
    bool expectRealtime = false;
    if (mode == "as-started") {
        rlimit limit{};
        getrlimit(RLIMIT_RTPRIO, &limit);
        expectRealtime = holdsSysNice() || limit.rlim_cur >= kPriority;
    } else if (mode == "without-sys-nice") {
        if (geteuid() != 0) return skip("only root can start a program without CAP_SYS_NICE");
        if (prctl(PR_CAPBSET_DROP, kSysNice, 0, 0, 0) != 0 || !setRealtimeLimit(0))
            return skip(std::string("CAP_SYS_NICE cannot be dropped: ") + std::strerror(errno));
    } else if (mode == "nobody" || mode == "nobody-realtime-limit") {
        expectRealtime = mode == "nobody-realtime-limit";
        if (geteuid() != 0) return skip("only root can start a program as the user nobody");
        if (!setRealtimeLimit(expectRealtime ? kPriority : 0))
            return skip("the real-time limit cannot be set");
        if (!becomeNobody())
            return skip(std::string("cannot become the user nobody: ") + std::strerror(errno));
        if (access(argv[2], X_OK) != 0)
            return skip(std::string("the user nobody cannot run ") + argv[2] + ": " +
                        std::strerror(errno));
        // Qt wants a runtime folder of the user's own; nobody has none.
        unsetenv("XDG_RUNTIME_DIR");
        setenv("HOME", "/nonexistent", 1);
    } else {
        std::fprintf(stderr, "%s: unknown mode %s\n", argv[0], mode.c_str());
        return 2;
    }
    setenv("DESKA_EXPECT_REALTIME", expectRealtime ? "1" : "0", 1);
    execv(argv[2], argv + 2);
    std::fprintf(stderr, "%s: cannot run %s: %s\n", argv[0], argv[2], std::strerror(errno));
    return errno == EACCES ? kSkip : 1;
}
