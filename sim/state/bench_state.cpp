// SPDX-License-Identifier: GPL-3.0-or-later
// Writing and reading the simulated bench's state file (format in bench_state.h).
#include "bench_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <locale>
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

// A nan or infinite frequency or amplitude would reach the board's
// float-to-integer conversions, where it is undefined.
bool parse_finite(const std::string &text, double &value) {
    return parse_number(text, value) && std::isfinite(value);
}

const char kStateName[] = "labbench-bench.state";

std::string folder_of(const std::string &path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Checks (and with `create`, first makes) the private state folder. The
// folder sits in a world-writable place, so its name is no proof: only a
// real folder owned by this user and closed to others will do.
bool check_private_folder(const std::string &folder, bool create, std::string &error) {
    if (create && mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot create the private folder " + folder + ": " + std::strerror(errno);
        return false;
    }
    struct stat info;
    if (lstat(folder.c_str(), &info) != 0) {
        error = "cannot use the private folder " + folder + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(info.st_mode) || info.st_uid != geteuid() || (info.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", unsigned(info.st_mode & 07777));
        error = folder + " is not a private folder of this user (" +
                (S_ISDIR(info.st_mode) ? std::string("a folder") : std::string("not a folder")) +
                " owned by uid " + std::to_string(info.st_uid) + ", mode " + mode +
                "): remove it, or set XDG_RUNTIME_DIR or BENCH_SIM_STATE";
        return false;
    }
    return true;
}

}  // namespace

std::string bench_state_path(std::string *refusal) {
    const char *explicit_path = std::getenv("BENCH_SIM_STATE");
    if (explicit_path && *explicit_path) {
        // Only a regular file (or one not there yet) holds the state: the
        // writer's rename would replace a FIFO or a device node at the path.
        struct stat info;
        if (stat(explicit_path, &info) != 0 || S_ISREG(info.st_mode)) return explicit_path;
        if (refusal)
            *refusal = std::string("BENCH_SIM_STATE ") + explicit_path +
                       " is not a regular file; using " + default_bench_state_path();
    }
    return default_bench_state_path();
}

std::string default_bench_state_path() {
    const char *runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime) return std::string(runtime) + "/" + kStateName;
    return private_state_folder() + "/" + kStateName;
}

std::string private_state_folder() {
    const char *dir = std::getenv("TMPDIR");
    std::string folder = dir && *dir ? dir : "/tmp";
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    return folder + "/labbench-" + std::to_string(geteuid());
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

    std::string folder = folder_of(path);
    if (folder == private_state_folder() && !check_private_folder(folder, true, error))
        return false;
    // A fresh, unguessable name created exclusively (never through a link),
    // in the state file's folder so that the rename is atomic; two instruments
    // publishing at once each get their own.
    std::string temporary = path + ".tmp.XXXXXX";
    int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        error = "cannot create a temporary file beside " + path + ": " + std::strerror(errno);
        return false;
    }
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = "cannot write " + path + ": " + std::strerror(n < 0 ? errno : ENOSPC);
            close(fd);
            unlink(temporary.c_str());
            return false;
        }
        done += std::size_t(n);
    }
    if (close(fd) != 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
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

namespace {

// The file's bytes, or false with `error` set. Opening without blocking
// makes a FIFO or device harmless; only a regular file of bounded size is
// read, and no more of it than its size at opening, plus one byte.
bool read_state_text(const std::string &path, std::string &text, std::string &error) {
    std::string folder = folder_of(path);
    if (folder == private_state_folder() && !check_private_folder(folder, false, error))
        return false;
    // At the default location a link is refused: the reader goes where the
    // user asked, or to the file itself, not where someone else points it.
    int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    if (path == default_bench_state_path()) flags |= O_NOFOLLOW;
    int fd = open(path.c_str(), flags);
    if (fd < 0) {
        error = "cannot open " + path + ": " +
                (errno == ELOOP ? std::string("a link, which is not followed at the default "
                                              "location")
                                : std::string(std::strerror(errno)));
        return false;
    }
    struct stat info;
    if (fstat(fd, &info) != 0) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        close(fd);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        error = path + ": not a regular file";
        close(fd);
        return false;
    }
    if (info.st_size > kMaxBenchStateBytes) {
        error = path + ": " + std::to_string(info.st_size) +
                " bytes, larger than any bench state file (at most " +
                std::to_string(kMaxBenchStateBytes) + ")";
        close(fd);
        return false;
    }
    // One byte more than the file's size, to notice it growing under the reader.
    text.resize(std::size_t(info.st_size) + 1);
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = read(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = "cannot read " + path + ": " + std::strerror(errno);
            close(fd);
            return false;
        }
        if (n == 0) break;
        done += std::size_t(n);
    }
    close(fd);
    if (done > std::size_t(info.st_size)) {
        error = path + ": grew while it was read (a bench state file is replaced, not appended to)";
        return false;
    }
    text.resize(done);
    return true;
}

}  // namespace

bool read_bench_state(const std::string &path, BenchOutput &output, std::string &error) {
    std::string text;
    if (!read_state_text(path, text, error)) return false;
    std::istringstream in(text);
    in.imbue(std::locale::classic());
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
            ok = parse_finite(value, output.frequency_hz);
        } else if (key == "amplitude_vpp") {
            ok = parse_finite(value, output.amplitude_vpp);
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
