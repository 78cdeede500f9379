// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated measurement board at I/O base 0x300, built as a port library:
// a program's port layer loads it (PORTIO_LIBRARY) and calls portio_inb /
// portio_outb instead of touching real ports.
//
// Register map: board_registers.h. What the simulation adds to it: counter
// reads are not modelled (0xFF) and a latch command is ignored; a control
// word stops its counter until its count is loaded; with no result pending
// the status port reads BOARD_NOT_READY alone, with one its bits 5-7 are 0; a
// gain code above BOARD_MAX_GAIN_CODE gives x1; input channels other than
// BOARD_SIGNAL_CHANNEL read 0 V. Writes elsewhere go nowhere; reads
// elsewhere, and of write-only registers, give 0xFF (an undriven bus).
//
// Timer: counter 1 is clocked at 2 MHz and its output clocks counter 2;
// counter 2's output paces the converter, so the conversion rate is
// 2 MHz / (count1 x count2). Only the periodic modes pace: mode 2 (rate
// generator) and mode 3 (square wave) divide by their count; a count of 0 is
// 65536 (10000 in BCD); a count of 1 is illegal in mode 2 and the counter
// then does not run (nor in mode 3); other modes are one-shots and pace
// nothing. Counter 0 exists and is unused. Loading a count while converting
// restarts the pacing from that moment.
//
// Pacing: conversion k (k = 1, 2, ...) falls at t0 + k x period on
// CLOCK_MONOTONIC, and samples the input at that instant. Nothing runs in
// the background: each status read works out which conversion is the latest.
// A reader polling fast sees each result as soon as its time has passed and
// never earlier; a slow reader finds the latest result, and every result it
// missed (overwritten while still pending) counts as an overrun. The
// converter is taken to convert instantly.
//
// Converter: code = floor((V + 5) x 4096 / 10), clipped to 0..4095, where V
// is the amplified input clipped to +-5 V.
//
// Input: the simulated instrument's published output (the bench state file)
// when that file exists; otherwise the default signal. The file is checked
// when a capture starts (mode 4 written), and while conversions run a
// background thread checks it every 50 ms; it is re-read only when it
// changed (inode, size or modification time), and a change reaches the
// converter at its next result. A file that disappears during a capture
// leaves the input as it was until the next capture start. Instrument output at time t: the
// selected waveform at point (t - since) x frequency of its period; a user
// waveform's codes +-2047 span +-amplitude/2; SIN, SQU, TRI, RAMP likewise
// span +-amplitude/2; NOIS is uniform within +-amplitude/2; DC is 0 V (the
// instrument has no offset setting).
//
// Environment (read at load and again at every port write):
//   BENCH_SIM_STATE=<file>     the bench state file; default
//                              $XDG_RUNTIME_DIR/labbench-bench.state, or that
//                              name in the user's private folder
//                              labbench-<uid> in $TMPDIR or /tmp. Anything
//                              but a regular file of sane size there (a FIFO,
//                              a device, a link at the default location, a
//                              nan) gives the default signal and one warning.
//   BOARD_SIM_SIGNAL=<shape>:<Hz>:<V peak>
//                              the signal without a state file; shape is sine,
//                              square, triangle, ramp or dc (dc: the constant
//                              <V peak>). Default sine:50:1.0 (50 Hz, 1 V peak,
//                              0.707 V rms).
//   BOARD_SIM_NOISE_V=<V rms>  Gaussian noise added to the input (default 0).
//   BOARD_SIM_ABSENT=1         no board: every read gives 0xFF, writes go nowhere.
//   BOARD_SIM_TRACE=1          one stderr line per capture start and stop and at
//                              overrun counts 1, 10, 100, ...
//   (Switches are on for any value but "" and "0", as everywhere: environment.h.)
//
// Besides the two port routines the library exports board_sim_overruns(),
// the overrun count of the current (or last) capture, for tests.
//
// Cost: portio_inb calls clock_gettime (a vDSO call, no system call) and,
// when a new result is due, evaluates the input once; no file access.
// The ports are used from one thread at a time, as a program's port calls
// are; only the state file watcher runs beside it.
#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "bench_state.h"
#include "board_registers.h"
#include "environment.h"
#include "port_library.h"
#include "timer_8254.h"

namespace {

constexpr unsigned char kBusFloat = 0xFF;
constexpr double kConverterHalfRangeV = 5.0;
constexpr int kConverterCodes = BOARD_CONVERTER_CODES;

enum class Shape { Sine, Square, Triangle, Ramp, Noise, Dc, User };

struct Signal {
    Shape shape = Shape::Sine;
    double frequency_hz = 50.0;
    double peak_v = 1.0;
    std::int64_t since_ns = 0;
    std::vector<std::int16_t> points;  // User
    bool from_instrument = false;
    std::string source = "default signal sine:50:1.0";
};

struct Config {
    bool absent = false;
    bool trace = false;
    double noise_v = 0.0;
    std::string signal_text;
    std::string state_path;
};

struct Board {
    Config config;
    simboard::Timer8254 timer;
    unsigned gain_code = 0;
    unsigned channel = 0;
    bool converting = false;
    std::int64_t t0_ns = 0;
    std::int64_t period_ns = 0;  // 0: the pacer does not run
    std::int64_t latest_tick = 0;
    bool pending = false;
    unsigned result = 0;
    unsigned long delivered = 0;
    unsigned long overruns = 0;
    unsigned long next_overrun_report = 1;
    Signal signal;
    std::uint64_t random_state = 0x9E3779B97F4A7C15ull;
    double spare_gaussian = 0.0;
    bool have_spare = false;
};

Board board;

// Warnings come from the program's thread and from the state file watcher.
std::mutex warning_mutex;
std::string last_warning;

void warn(const std::string &message) {
    std::lock_guard lock(warning_mutex);
    if (message == last_warning) return;
    last_warning = message;
    std::fprintf(stderr, "labbench simulated board: %s\n", message.c_str());
}

void trace(const std::string &message) {
    if (board.config.trace) std::fprintf(stderr, "labbench simulated board: %s\n", message.c_str());
}

bool parse_double(std::string_view text, double &value) {
    if (text.empty()) return false;
    auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    return result.ec == std::errc() && result.ptr == text.data() + text.size() &&
           std::isfinite(value);
}

void read_config() {
    Config &config = board.config;
    config.absent = labbench::env_switch("BOARD_SIM_ABSENT");
    config.trace = labbench::env_switch("BOARD_SIM_TRACE");
    config.noise_v = 0.0;
    if (const char *noise = std::getenv("BOARD_SIM_NOISE_V"); noise && *noise) {
        if (!parse_double(noise, config.noise_v) || config.noise_v < 0) {
            warn(std::string("BOARD_SIM_NOISE_V='") + noise +
                 "' is not a voltage (V rms, e.g. 0.01); using no noise");
            config.noise_v = 0.0;
        }
    }
    config.signal_text = labbench::env_text("BOARD_SIM_SIGNAL");
    std::string refusal;
    config.state_path = benchsim::bench_state_path(&refusal);
    if (!refusal.empty()) warn(refusal);
}

// The default signal from BOARD_SIM_SIGNAL ("sine:50:1.0" when unset or wrong).
Signal default_signal() {
    Signal signal;
    const std::string &text = board.config.signal_text;
    if (text.empty()) return signal;
    std::size_t first = text.find(':');
    std::size_t second = first == std::string::npos ? first : text.find(':', first + 1);
    static const std::pair<const char *, Shape> kShapes[] = {{"sine", Shape::Sine},
                                                             {"square", Shape::Square},
                                                             {"triangle", Shape::Triangle},
                                                             {"ramp", Shape::Ramp},
                                                             {"dc", Shape::Dc}};
    bool known = false;
    Signal parsed;
    if (second != std::string::npos) {
        std::string shape = text.substr(0, first);
        for (const auto &[name, value] : kShapes)
            if (shape == name) {
                parsed.shape = value;
                known = true;
            }
    }
    if (!known ||
        !parse_double(std::string_view(text).substr(first + 1, second - first - 1),
                      parsed.frequency_hz) ||
        !parse_double(std::string_view(text).substr(second + 1), parsed.peak_v) ||
        parsed.frequency_hz < 0) {
        warn("BOARD_SIM_SIGNAL='" + text +
             "' is not <sine|square|triangle|ramp|dc>:<Hz>:<V peak>; using sine:50:1.0");
        return signal;
    }
    parsed.source = "default signal " + text;
    return parsed;
}

Signal signal_from_instrument(const benchsim::BenchOutput &output, const std::string &path) {
    static const std::pair<const char *, Shape> kFunctions[] = {
        {"SIN", Shape::Sine},  {"SQU", Shape::Square}, {"TRI", Shape::Triangle},
        {"RAMP", Shape::Ramp}, {"NOIS", Shape::Noise}, {"DC", Shape::Dc},
        {"USER", Shape::User}};
    Signal signal;
    signal.shape = Shape::Dc;
    bool known = false;
    for (const auto &[name, shape] : kFunctions)
        if (output.function == name) {
            signal.shape = shape;
            known = true;
        }
    if (!known) warn(path + ": unknown function " + output.function + "; reading 0 V");
    signal.frequency_hz = output.frequency_hz;
    signal.peak_v = output.amplitude_vpp / 2;
    signal.since_ns = output.since_ns;
    signal.points = output.points;
    if (signal.shape == Shape::Dc) signal.peak_v = 0.0;  // no offset setting: 0 V
    signal.source = "instrument output from " + path + " (" + output.function + ")";
    signal.from_instrument = true;
    return signal;
}

// Which state file was read last, to re-read it only when it changed.
struct StateIdentity {
    bool valid = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec mtime{};

    bool same(const struct stat &info) const {
        return valid && info.st_dev == device && info.st_ino == inode && info.st_size == size &&
               info.st_mtim.tv_sec == mtime.tv_sec && info.st_mtim.tv_nsec == mtime.tv_nsec;
    }
    void take(const struct stat &info) {
        valid = true;
        device = info.st_dev;
        inode = info.st_ino;
        size = info.st_size;
        mtime = info.st_mtim;
    }
};

// The state file watcher: while conversions run, a background thread looks
// at the state file every kWatchIntervalMs and hands a changed instrument
// output to the converter through `incoming`, so that portio_inb itself never
// touches the file system. `watch_mutex` guards everything below it except
// `incoming`, which the converter takes with one atomic exchange.
constexpr auto kWatchInterval = std::chrono::milliseconds(50);
std::mutex watch_mutex;
std::condition_variable watch_wake;
bool watch_stop = false;
bool watch_active = false;
std::string watched_path;
StateIdentity watched_identity;
std::thread watcher;
std::atomic<Signal *> incoming{nullptr};

void hand_over(Signal *signal) { delete incoming.exchange(signal, std::memory_order_acq_rel); }

// No exception may leave the library or its thread: in the program that
// loaded it, one would end the process (std::terminate). None is expected,
// so one that happens anyway (memory exhausted, no thread to be had) is
// reported on stderr and the routine carries on as an undriven bus would.
// Called from a catch handler.
void internal_failure(const char *where) noexcept {
    const char *what = "unknown exception";
    try {
        throw;
    } catch (const std::exception &e) {
        what = e.what();
    } catch (...) {
    }
    std::fprintf(stderr, "labbench simulated board: %s failed inside the simulator (%s)\n", where,
                 what);
}

// One look at the state file (watch_mutex held).
void check_state_file() {
    // A state file that disappears leaves the output as it was: the
    // instrument's output does not vanish with its file.
    struct stat info;
    if (stat(watched_path.c_str(), &info) != 0 || watched_identity.same(info)) return;
    watched_identity.take(info);
    benchsim::BenchOutput output;
    std::string error;
    if (!benchsim::read_bench_state(watched_path, output, error)) {
        warn("cannot read the instrument's output (" + error + "); keeping the input as it was");
        return;
    }
    hand_over(new Signal(signal_from_instrument(output, watched_path)));
}

void watch_state_file() {
    std::unique_lock lock(watch_mutex);
    while (true) {
        watch_wake.wait_for(lock, kWatchInterval);
        if (watch_stop) return;
        if (!watch_active) continue;
        try {
            check_state_file();
        } catch (...) {
            internal_failure("the state file watcher");
        }
    }
}

// Stops the watcher before the library is unloaded (or the process ends).
struct WatcherShutdown {
    ~WatcherShutdown() {
        {
            std::lock_guard lock(watch_mutex);
            watch_stop = true;
        }
        watch_wake.notify_all();
        if (watcher.joinable()) watcher.join();
        hand_over(nullptr);
    }
} watcher_shutdown;

// At the start of a capture: the instrument's output if its state file
// exists (re-read only when it changed), else the default signal; from then
// on the watcher follows the file.
void choose_signal() {
    std::lock_guard lock(watch_mutex);
    // Take what the watcher found, as the identity it recorded stands for it.
    if (Signal *changed = incoming.exchange(nullptr, std::memory_order_acq_rel)) {
        board.signal = std::move(*changed);
        delete changed;
    }
    const std::string &path = board.config.state_path;
    if (path != watched_path) watched_identity.valid = false;
    watched_path = path;
    watch_active = true;
    if (!watcher.joinable()) watcher = std::thread(watch_state_file);
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        watched_identity.valid = false;
        board.signal = default_signal();
        return;
    }
    if (watched_identity.same(info) && board.signal.from_instrument) return;
    benchsim::BenchOutput output;
    std::string error;
    if (!benchsim::read_bench_state(path, output, error)) {
        warn("cannot read the instrument's output (" + error + "); measuring the " +
             "default signal instead");
        watched_identity.take(info);
        board.signal = default_signal();
        return;
    }
    watched_identity.take(info);
    board.signal = signal_from_instrument(output, path);
}

void stop_watching() {
    std::lock_guard lock(watch_mutex);
    watch_active = false;
}

double uniform() {
    // xorshift64*: cheap, and reproducible from run to run.
    std::uint64_t &x = board.random_state;
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    return double((x * 0x2545F4914F6CDD1Dull) >> 11) * (1.0 / 9007199254740992.0);
}

double gaussian() {
    if (board.have_spare) {
        board.have_spare = false;
        return board.spare_gaussian;
    }
    double u1 = uniform(), u2 = uniform();
    if (u1 < 1e-300) u1 = 1e-300;
    double radius = std::sqrt(-2.0 * std::log(u1));
    board.spare_gaussian = radius * std::sin(2 * M_PI * u2);
    board.have_spare = true;
    return radius * std::cos(2 * M_PI * u2);
}

// The input voltage at monotonic time t_ns.
double input_v(std::int64_t t_ns) {
    const Signal &signal = board.signal;
    // The state file's numbers are checked for being numbers, not for being
    // sensible: a since_ns far off or a huge frequency must still give a
    // phase in 0..1 (an infinite one would make the user waveform's index
    // undefined).
    std::int64_t elapsed_ns = 0;
    if (__builtin_sub_overflow(t_ns, signal.since_ns, &elapsed_ns)) elapsed_ns = 0;
    double phase = double(elapsed_ns) * 1e-9 * signal.frequency_hz;
    phase -= std::floor(phase);
    if (!(phase >= 0.0 && phase < 1.0)) phase = 0.0;
    double unit = 0.0;  // -1..+1
    switch (signal.shape) {
        case Shape::Sine:
            unit = std::sin(2 * M_PI * phase);
            break;
        case Shape::Square:
            unit = phase < 0.5 ? 1.0 : -1.0;
            break;
        case Shape::Triangle:
            unit = phase < 0.25 ? 4 * phase : phase < 0.75 ? 2 - 4 * phase : 4 * phase - 4;
            break;
        case Shape::Ramp:
            unit = 2 * phase - 1;
            break;
        case Shape::Noise:
            unit = 2 * uniform() - 1;
            break;
        case Shape::Dc:
            unit = 1.0;
            break;
        case Shape::User:
            if (!signal.points.empty()) {
                std::size_t index = std::size_t(phase * double(signal.points.size()));
                if (index >= signal.points.size()) index = signal.points.size() - 1;
                unit = signal.points[index] / 2047.0;
            }
            break;
    }
    double volts = unit * signal.peak_v;
    if (board.config.noise_v > 0) volts += board.config.noise_v * gaussian();
    return volts;
}

unsigned convert(std::int64_t t_ns) {
    if (board.channel != BOARD_SIGNAL_CHANNEL) return kConverterCodes / 2;  // 0 V
    double gain = board.gain_code <= BOARD_MAX_GAIN_CODE ? double(1u << board.gain_code) : 1.0;
    double volts = input_v(t_ns) * gain;
    double code =
        std::floor((volts + kConverterHalfRangeV) * kConverterCodes / (2 * kConverterHalfRangeV));
    if (code < 0) code = 0;
    if (code > kConverterCodes - 1) code = kConverterCodes - 1;
    return unsigned(code);
}

void restart_pacing() {
    board.t0_ns = benchsim::monotonic_ns();
    board.latest_tick = 0;
    board.period_ns = board.timer.pacer_period_ns();
}

void report_capture_end() {
    if (board.converting)
        trace("conversion stopped: " + std::to_string(board.delivered) + " results read, " +
              std::to_string(board.overruns) + " overruns");
}

void start_conversion() {
    report_capture_end();
    choose_signal();
    board.converting = true;
    board.pending = false;
    board.delivered = 0;
    board.overruns = 0;
    board.next_overrun_report = 1;
    restart_pacing();
    if (board.period_ns == 0) {
        trace(
            "mode 4 written but the timer does not run (counters 1 and 2 need mode 2 or 3 "
            "and a count other than 1): no conversions");
    } else {
        char rate[64];
        std::snprintf(rate, sizeof rate, "%.6g", 1e9 / double(board.period_ns));
        trace("conversion started at " + std::string(rate) + " Hz (counts " +
              std::to_string(board.timer.counters[1].divisor) + " x " +
              std::to_string(board.timer.counters[2].divisor) + "), gain code " +
              std::to_string(board.gain_code) + ", channel " + std::to_string(board.channel) +
              ", input: " + board.signal.source);
    }
}

// Brings the converter up to now: the latest due conversion becomes the
// pending result; results it overwrites count as overruns.
void catch_up() {
    if (!board.converting || board.period_ns == 0) return;
    if (incoming.load(std::memory_order_relaxed)) {
        if (Signal *changed = incoming.exchange(nullptr, std::memory_order_acq_rel)) {
            board.signal = std::move(*changed);
            delete changed;
            trace("input changed: " + board.signal.source);
        }
    }
    std::int64_t now = benchsim::monotonic_ns();
    std::int64_t tick = (now - board.t0_ns) / board.period_ns;
    if (tick <= board.latest_tick) return;
    std::int64_t missed = tick - board.latest_tick - (board.pending ? 0 : 1);
    board.overruns += (unsigned long)missed;
    board.latest_tick = tick;
    board.pending = true;
    board.result = convert(board.t0_ns + tick * board.period_ns);
    if (board.config.trace && board.overruns >= board.next_overrun_report) {
        trace(std::to_string(board.overruns) +
              " overruns so far: results are read slower "
              "than they are converted");
        while (board.next_overrun_report <= board.overruns) board.next_overrun_report *= 10;
    }
}

struct ConfigAtLoad {
    ConfigAtLoad() {
        try {
            read_config();
        } catch (...) {
            internal_failure("loading");
        }
    }
} config_at_load;

unsigned char read_port(unsigned short port) {
    if (board.config.absent) return kBusFloat;
    switch (port) {
        case PORT_DATA_HIGH:
            catch_up();
            return board.pending ? (board.result >> 8) & 0x0F : BOARD_NOT_READY;
        case PORT_DATA_LOW:
            if (board.pending) {
                board.pending = false;
                ++board.delivered;
            }
            return board.result & 0xFF;
        default:
            return kBusFloat;
    }
}

void write_port(unsigned short port, unsigned char value) {
    read_config();
    if (board.config.absent) return;
    switch (port) {
        case PORT_COUNTER0:
        case PORT_COUNTER1:
        case PORT_COUNTER2:
        case PORT_TIMER_CTRL:
            // Counter 0 paces nothing; a change to 1 or 2 restarts the pacing.
            if (board.timer.write(port - PORT_COUNTER0, value) > 0 && board.converting)
                restart_pacing();
            break;
        case PORT_GAIN:
            board.gain_code = value;
            break;
        case PORT_CHANNEL:
            board.channel = value;
            break;
        case PORT_MODE:
            if (value == BOARD_MODE_TIMER_PACED) {
                start_conversion();
            } else {
                report_capture_end();
                board.converting = false;
                stop_watching();
            }
            break;
        default:
            break;
    }
}

}  // namespace

unsigned char portio_inb(unsigned short port) {
    try {
        return read_port(port);
    } catch (...) {
        internal_failure("portio_inb");
        return kBusFloat;
    }
}

void portio_outb(unsigned short port, unsigned char value) {
    try {
        write_port(port, value);
    } catch (...) {
        internal_failure("portio_outb");
    }
}

extern "C" PORT_LIBRARY_EXPORT unsigned long board_sim_overruns(void) { return board.overruns; }
