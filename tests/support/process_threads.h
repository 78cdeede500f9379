// SPDX-License-Identifier: GPL-3.0-or-later
// Test helper: what the kernel says about each thread of this process, from
// /proc/self/task: its name, scheduling policy and priority, its effective and
// permitted capability sets, and whether it is running or blocked.
#pragma once

#include <dirent.h>
#include <sched.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace test_support {

struct ThreadFacts {
    int tid = 0;
    std::string name;
    int policy = -1;           // SCHED_OTHER, SCHED_FIFO, ...
    bool resetOnFork = false;  // threads it makes start with the normal policy
    int priority = 0;
    std::uint64_t effective = 0;  // CapEff
    std::uint64_t permitted = 0;  // CapPrm
    char state = '?';             // R running, S sleeping (blocked), ...
};

inline std::uint64_t status_hex(const std::string &status, const char *field) {
    const std::string key = std::string("\n") + field + ":\t";
    const size_t at = status.find(key);
    if (at == std::string::npos) return ~std::uint64_t{0};
    return std::strtoull(status.c_str() + at + key.size(), nullptr, 16);
}

inline ThreadFacts thread_facts(int tid) {
    ThreadFacts t;
    t.tid = tid;
    const std::string folder = "/proc/self/task/" + std::to_string(tid) + "/";
    std::getline(std::ifstream(folder + "comm"), t.name);
    std::ifstream statusFile(folder + "status");
    const std::string status((std::istreambuf_iterator<char>(statusFile)),
                             std::istreambuf_iterator<char>());
    t.effective = status_hex(status, "CapEff");
    t.permitted = status_hex(status, "CapPrm");
    const size_t state = status.find("\nState:\t");
    if (state != std::string::npos) t.state = status[state + 8];
    t.policy = sched_getscheduler(tid);
    if (t.policy >= 0) {
        t.resetOnFork = (t.policy & SCHED_RESET_ON_FORK) != 0;
        t.policy &= ~SCHED_RESET_ON_FORK;
    }
    sched_param param{};
    if (sched_getparam(tid, &param) == 0) t.priority = param.sched_priority;
    return t;
}

inline std::vector<ThreadFacts> process_threads() {
    std::vector<ThreadFacts> threads;
    DIR *tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return threads;
    while (dirent *entry = readdir(tasks))
        if (entry->d_name[0] != '.') threads.push_back(thread_facts(std::atoi(entry->d_name)));
    closedir(tasks);
    return threads;
}

// The thread of that name, or one with tid 0 when there is none.
inline ThreadFacts thread_named(const std::string &name) {
    for (const ThreadFacts &t : process_threads())
        if (t.name == name) return t;
    return {};
}

}  // namespace test_support
