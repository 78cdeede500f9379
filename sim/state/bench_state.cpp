// SPDX-License-Identifier: GPL-3.0-or-later
// Writing and reading the simulated bench's state file (format in bench_state.h).
#include "bench_state.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

namespace benchsim {

namespace {

const char kMagic[] = "labbench-bench-state";

void append_number(std::string &out, double value) {
    char buf[64];
    auto result = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, result.ptr);
}

void append_number(std::string &out, long long value) {
    char buf[32];
    auto result = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, result.ptr);
}

template <typename T>
bool parse_number(const std::string &text, T &value) {
    const char *begin = text.data();
    const char *end = begin + text.size();
    auto result = std::from_chars(begin, end, value);
    return result.ec == std::errc() && result.ptr == end;
}

}  // namespace

std::string bench_state_path() {
    const char *explicit_path = std::getenv("BENCH_SIM_STATE");
    if (explicit_path && *explicit_path) return explicit_path;
    const char *dir = std::getenv("XDG_RUNTIME_DIR");
    if (!dir || !*dir) dir = std::getenv("TMPDIR");
    if (!dir || !*dir) dir = "/tmp";
    return std::string(dir) + "/labbench-bench.state";
}

bool write_bench_state(const std::string &path, const BenchOutput &output, std::string &error) {
    std::string text;
    text.reserve(64 + output.points.size() * 6);
    text += kMagic;
    text += ' ';
    append_number(text, (long long)kBenchStateVersion);
    text += "\nfunction " + output.function;
    text += "\nfrequency_hz ";
    append_number(text, output.frequency_hz);
    text += "\namplitude_vpp ";
    append_number(text, output.amplitude_vpp);
    text += "\nuser_waveform " + output.user_waveform;
    text += output.remote ? "\nremote 1" : "\nremote 0";
    text += "\nsince_ns ";
    append_number(text, (long long)output.since_ns);
    text += "\npoints ";
    append_number(text, (long long)output.points.size());
    text += '\n';
    for (std::size_t i = 0; i < output.points.size(); ++i) {
        if (i) text += ' ';
        append_number(text, (long long)output.points[i]);
    }
    text += "\nend\n";

    // A per-process temporary name: two instruments publishing at once must
    // not write into each other's temporary file.
    std::string temporary = path + ".tmp." + std::to_string(getpid());
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = "cannot create " + temporary + ": " + std::strerror(errno);
        return false;
    }
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = "cannot write " + temporary + ": " + std::strerror(errno);
            close(fd);
            unlink(temporary.c_str());
            return false;
        }
        done += std::size_t(n);
    }
    if (close(fd) != 0) {
        error = "cannot write " + temporary + ": " + std::strerror(errno);
        unlink(temporary.c_str());
        return false;
    }
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot replace " + path + ": " + std::strerror(errno);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool read_bench_state(const std::string &path, BenchOutput &output, std::string &error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    auto fail = [&](const std::string &why) {
        error = path + ": " + why;
        return false;
    };
    std::string key, value;
    if (!(in >> key >> value) || key != kMagic) return fail("not a bench state file");
    int version = 0;
    if (!parse_number(value, version) || version != kBenchStateVersion)
        return fail("state file version " + value + ", this simulator reads version " +
                    std::to_string(kBenchStateVersion));
    bool have_points = false;
    while (in >> key) {
        if (key == "end") {
            if (!have_points) return fail("no points line");
            return true;
        }
        if (!(in >> value)) return fail("no value for " + key);
        bool ok = true;
        if (key == "function") {
            output.function = value;
        } else if (key == "frequency_hz") {
            ok = parse_number(value, output.frequency_hz);
        } else if (key == "amplitude_vpp") {
            ok = parse_number(value, output.amplitude_vpp);
        } else if (key == "user_waveform") {
            output.user_waveform = value;
        } else if (key == "remote") {
            output.remote = value == "1";
        } else if (key == "since_ns") {
            long long since = 0;
            ok = parse_number(value, since);
            output.since_ns = since;
        } else if (key == "points") {
            std::size_t count = 0;
            ok = parse_number(value, count) && count <= 1000000;
            if (!ok) return fail("bad point count " + value);
            output.points.assign(count, 0);
            for (std::size_t i = 0; i < count; ++i) {
                std::string code_text;
                int code = 0;
                if (!(in >> code_text) || !parse_number(code_text, code) || code < -32768 ||
                    code > 32767)
                    return fail("bad or missing point " + std::to_string(i));
                output.points[i] = std::int16_t(code);
            }
            have_points = true;
        }
        // Unknown keys are skipped, so a newer writer may add lines.
        if (!ok) return fail("bad value '" + value + "' for " + key);
    }
    return fail("truncated (no end line)");
}

}  // namespace benchsim
