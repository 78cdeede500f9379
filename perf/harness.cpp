// SPDX-License-Identifier: GPL-3.0-or-later
// Benchmark running and budget judging for the perf executables (harness.h).
#include "harness.h"

#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <vector>

namespace perf {
namespace {

struct Figures {
    bool smoke = false;
    bool missed = false;
    bool unmeasured = false;
    bool headerShown = false;
    // Per benchmark name: median CPU and real time per iteration (s) and counters.
    std::map<std::string, double> cpuSeconds;
    std::map<std::string, double> wallSeconds;
    std::map<std::string, std::map<std::string, double>> counters;
};

Figures &figures() {
    static Figures instance;
    return instance;
}

double toSeconds(double value, benchmark::TimeUnit unit) {
    switch (unit) {
        case benchmark::kNanosecond:
            return value * 1e-9;
        case benchmark::kMicrosecond:
            return value * 1e-6;
        case benchmark::kMillisecond:
            return value * 1e-3;
        case benchmark::kSecond:
            return value;
    }
    return value;
}

// Shows runs as the console reporter does and keeps, for each benchmark, the
// median aggregate (or the single run when there are no repetitions).
class KeepingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        benchmark::ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.error_occurred) {
                failed = true;
                continue;
            }
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            if (!median && !single) continue;
            const std::string name = run.run_name.str();
            figures().cpuSeconds[name] = toSeconds(run.GetAdjustedCPUTime(), run.time_unit);
            figures().wallSeconds[name] = toSeconds(run.GetAdjustedRealTime(), run.time_unit);
            for (const auto &[counterName, value] : run.counters)
                figures().counters[name][counterName] = value.value;
        }
    }
    bool failed = false;
};

const double kNaN = std::numeric_limits<double>::quiet_NaN();

template <class T>
const T *lookUp(const std::map<std::string, T> &map, const std::string &name) {
    // Names carry suffixes such as "/manual_time" or "/real_time"; match by prefix.
    auto it = map.lower_bound(name);
    if (it != map.end() && it->first.compare(0, name.size(), name) == 0) return &it->second;
    return nullptr;
}

void header() {
    Figures &f = figures();
    if (f.headerShown) return;
    f.headerShown = true;
    std::printf("\n%-58s %12s   %-22s %s\n", "figure", "measured", "budget", "verdict");
}

}  // namespace

void initialise(int *argc, char **argv) {
    // Defaults first, so that the same options given on the command line win.
    static std::vector<char *> args;
    static char repetitions[] = "--benchmark_repetitions=5";
    static char aggregatesOnly[] = "--benchmark_report_aggregates_only=true";
    static char once[] = "--benchmark_min_time=0.000001";
    static char single[] = "--benchmark_repetitions=1";
    args.push_back(argv[0]);
    bool smokeRun = false;
    for (int i = 1; i < *argc; ++i)
        if (std::strcmp(argv[i], "--smoke") == 0) smokeRun = true;
    figures().smoke = smokeRun;
    if (smokeRun) {
        args.push_back(once);
        args.push_back(single);
    } else {
        args.push_back(repetitions);
        args.push_back(aggregatesOnly);
    }
    for (int i = 1; i < *argc; ++i)
        if (std::strcmp(argv[i], "--smoke") != 0) args.push_back(argv[i]);
    args.push_back(nullptr);
    int count = static_cast<int>(args.size()) - 1;
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) std::exit(2);
    *argc = count;
}

bool runBenchmarks() {
    KeepingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::fflush(stdout);
    return !reporter.failed;
}

double seconds(const std::string &name) {
    const double *value = lookUp(figures().cpuSeconds, name);
    return value ? *value : kNaN;
}

double wallSeconds(const std::string &name) {
    const double *value = lookUp(figures().wallSeconds, name);
    return value ? *value : kNaN;
}

double counter(const std::string &name, const std::string &counterName) {
    const auto *counters = lookUp(figures().counters, name);
    if (!counters) return kNaN;
    auto it = counters->find(counterName);
    return it != counters->end() ? it->second : kNaN;
}

void judge(const std::string &figure, double value, const std::string &unit, double limit,
           bool lessThan) {
    Figures &f = figures();
    header();
    char budget[64];
    std::snprintf(budget, sizeof budget, "%s %g %s", lessThan ? "<" : "<=", limit, unit.c_str());
    if (std::isnan(value)) {
        f.unmeasured = true;
        std::printf("%-58s %12s   %-22s %s\n", figure.c_str(), "not measured", budget, "MISS");
    } else {
        const bool met = lessThan ? value < limit : value <= limit;
        if (!met && !f.smoke) f.missed = true;
        const char *verdict = f.smoke ? "(smoke run: not judged)" : met ? "PASS" : "MISS";
        std::printf("%-58s %9.3f %-3s  %-22s %s\n", figure.c_str(), value, unit.c_str(), budget,
                    verdict);
    }
    std::fflush(stdout);
}

void share(const std::string &figure, double value, const std::string &unit,
           const std::string &note) {
    header();
    if (std::isnan(value))
        std::printf("%-58s %12s   %-22s -\n", figure.c_str(), "not measured", note.c_str());
    else
        std::printf("%-58s %9.3f %-3s  %-22s -\n", figure.c_str(), value, unit.c_str(),
                    note.c_str());
    std::fflush(stdout);
}

int finish() {
    const Figures &f = figures();
    if (f.unmeasured) return 2;
    return f.missed ? 1 : 0;
}

bool smoke() { return figures().smoke; }

bool switchOnMode(const char *path, const char *control) {
    // Never closed: the program's binding opens the same file later and must
    // find the instance whose mode was switched.
    void *library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    void *function = library != nullptr ? dlsym(library, control) : nullptr;
    if (function == nullptr) {
        std::fprintf(stderr, "benchmark: cannot switch %s on in %s: %s\n", control, path,
                     library != nullptr ? "the library lacks it" : dlerror());
        return false;
    }
    reinterpret_cast<void (*)(int)>(function)(1);
    return true;
}

}  // namespace perf
