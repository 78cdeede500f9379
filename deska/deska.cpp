// SPDX-License-Identifier: GPL-3.0-or-later
// deska: measures a voltage through the plug-in measurement board at I/O port 0x300.
//
// Each commit of Run programs the board's 8254 timer (clock 2000 kHz) for the sampling
// frequency on the panel and its amplifier for the chosen gain code, polls 1000
// conversions into Pole, shows their RMS value at the converter and at the board's
// input, and plots the capture against time in ms, divided by the amplification 2^gain
// so that it shows volts at the board's input. A status line under the buttons says
// whether every conversion was read: the board holds one result, so a sample read too
// late has been overwritten by the next, and the capture then spans more time than the
// graph and the RMS assume. Every capture polls on the capture thread, made once at
// start-up, with real-time priority where the system allows it, so that other
// programs on a busy computer cannot take its core for longer than a sample period.
// A capture that lasts half a second or more (below 2 kHz) keeps the window alive
// meanwhile: it repaints, shows the progress and the samples read so far as a live
// trace on the graph, and Stop (Run relabelled), Quit and the close box end the
// capture, which then leaves the last complete capture on the graph. During a
// shorter one the window waits, as during any callback.
//
// With Repeat checked, Run captures again and again until Stop, Quit or the close box,
// each capture a whole run that takes the frequency and gain set meanwhile; the status
// line numbers them. With a Trigger edge chosen, the capture starts at the first
// conversion that crosses the trigger level in that direction (the conversions read
// while waiting are not part of it), or untriggered after the time of a whole capture;
// repeated captures of a periodic signal then line up.
//
// Plain procedural code: module globals, free functions and the panel's callbacks.
//
// The names are Czech, as the program has always had them:
//   deska       board (the program's name)
//   Pole        array: the last 1000 samples, volts at the converter
//   Zesileni    gain: the code 0..4 for an amplification of 2^code
//   Uf_hodnota  value of the effective voltage: computes and shows the RMS
//   Frq         frequency: here the timer's divisor, then the counts loaded
//   konec       end: the Quit callback
//   work        the panel's own callback (focus and close box)
//   keypress    console prompt "Stiskni ENTER" ("press ENTER"), reached by no control

#include "deska.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "board_registers.h"
#include "deska_icon.h"
#include "portio.h"
#include "userint.h"

// ---- Board registers (board_registers.h) -----------------------------------------
// 8254 control words: counter 1 / counter 2, count written low byte then high byte,
// mode 2 (rate generator), binary counting.
constexpr unsigned char TIMER_COUNTER1_MODE2 = 0x74;
constexpr unsigned char TIMER_COUNTER2_MODE2 = 0xB4;

constexpr double TimerClock_kHz = BOARD_TIMER_CLOCK_HZ / 1000.0;
// An 8254 counter in mode 2 counts 2 to 65536; 65536 is loaded as 0.
constexpr uint64_t MinCount = 2;
constexpr uint64_t MaxCount = 65536;

constexpr int SampleCount = 1000;

// What the program can act on, whatever its panel file says: the sampling frequency
// the timer is set for (kHz) and the gain codes the board knows.
constexpr float MinFreq_kHz = 0.01f;
constexpr float MaxFreq_kHz = 100.0f;
constexpr unsigned char MaxGainCode = BOARD_MAX_GAIN_CODE;

// A quotient 2000/f this close below a whole number is that number (counts): the float
// the field gives for 0.2 makes 2000/0.2 come out as 9999.99985, not 10000. Float
// rounding stays below 2e-4 counts over the field's range; a real fraction is 1/f or more.
constexpr double DivisorTolerance = 1e-3;

// Captures lasting at least this long run on a thread of their own (seconds). At this
// length the start of a thread, about 0.1 ms, is a fraction of one sample period.
constexpr double BackgroundCapture_s = 0.5;

// Waiting for one sample: at least this long, or this many sample periods if longer.
constexpr double MinSampleWait_ms = 100.0;
constexpr double SampleWaitPeriods = 10.0;
// The clock, and a stop request, are checked once every this many polls of the not-ready
// flag, to keep polling tight.
constexpr unsigned PollsPerClockCheck = 256;

// Under real-time priority the capture thread keeps its core from every ordinary
// thread, the window's included, for as long as it polls. In a capture with conversions
// this far apart or more (ms: the long captures) it polls only around the time the next
// result is due, from this long before it at most (ms, and half a period at least),
// and pauses in between; a late result is polled for in turns of the same length with
// pauses between. Waking from a pause takes tens of microseconds at that priority.
constexpr double PausingPeriod_ms = 0.5;
constexpr double MaxPollAhead_ms = 1.0;

// read_data's results besides 0.
constexpr int BoardSilent = -1;     // a sample did not come in time: board_fault says why
constexpr int CaptureStopped = -2;  // the operator stopped the capture

// The capture thread is made first, while deska still holds the capabilities it was
// started with: it takes real-time priority with them and keeps it. Access to the
// board's 12 ports is requested next, before the GUI starts, and then every
// capability is dropped.
[[maybe_unused]] static const int capture_thread =
    StartBackgroundThread(BACKGROUND_REALTIME_PRIORITY);
static const PortWindow board_ports(BOARD_BASE, BOARD_PORT_COUNT);

// What deska tells the run-time about itself: its name, the texts of --help, its icon.
static const ProgramIdentity identity{
    "deska",
    "Captures 1000 samples from the measurement board at I/O port 0x300 at the\n"
    "chosen sampling frequency and gain, shows their RMS value and plots them.\n"
    "Direct port access needs the capability CAP_SYS_RAWIO. The capture runs with\n"
    "real-time priority (SCHED_FIFO 50), so that other programs cannot make it lose\n"
    "samples, where deska has the capability CAP_SYS_NICE or a real-time limit\n"
    "(RLIMIT_RTPRIO) of 50 or more; without either it runs at normal priority and\n"
    "says so when samples are lost. The package grants both capabilities, as does\n"
    "  sudo setcap cap_sys_rawio,cap_sys_nice+ep <program>\n"
    "and deska drops them once started.\n",
    "  PORTIO_LIBRARY       a port library to use instead of the real ports, such as\n"
    "                       the simulated board (default: unset, direct port access)\n"
    "  PORTIO_TRACE         1: print every port access on stderr\n",
    "With the simulated board (labbench-sim) also BENCH_SIM_STATE, BOARD_SIM_SIGNAL,\n"
    "BOARD_SIM_NOISE_V, BOARD_SIM_ABSENT and BOARD_SIM_TRACE; see labbench-sim(1).\n",
    "deska.uir",
    program_icon_svg,
};

// ---- Program state -----------------------------------------------------------------
static int panelHandle;
// Timer divisor; after activation it holds the loaded counts: bytes 0-1 counter 1,
// bytes 2-3 counter 2 (a count of 65536 is held as 0, as the timer takes it).
static uint32_t Frq;
static uint16_t Data;  // last raw converter word: high byte (with flags), low byte
// Last capture, volts at the converter. A capture the board stopped answering in is
// left here in part, but never shown.
static float Pole[SampleCount];
static unsigned char Zesileni;  // gain code from the ring; 0 until the ring is committed

// Frq and Data are written and read through their single bytes, least significant first.
static_assert(std::endian::native == std::endian::little, "byte addressing assumes little endian");
static unsigned char *const FrqByte = reinterpret_cast<unsigned char *>(&Frq);
static unsigned char *const DataByte = reinterpret_cast<unsigned char *>(&Data);

// PANEL_FREQ as the last activation left it (kHz), to recognise an unchanged frequency.
static float shown_freq_khz;
// The sampling frequency the timer counts of the last activation give (kHz), unrounded.
static double realised_freq_khz;
// What went wrong when read_data gave up, for the operator.
static char board_fault[700];

// The last capture: time from its first to its last sample (ms), and conversions the
// board made in that time that were overwritten before they were read.
static double capture_span_ms;
static long lost_conversions;
// Samples of the last capture whose code lay at the converter's limit (0 or 4095): the
// input may have been beyond the range of the gain, and the figures then read too low.
static int limit_samples;
// Samples read so far; the main thread shows it while a capture runs on its own thread.
// Pole[0] to Pole[samples_read - 1] are complete once the count says so (release and
// acquire): the live trace reads those and no others.
static std::atomic<int> samples_read;
// The capture thread had real-time priority for the last capture.
static bool capture_realtime;
// True while a capture runs on its own thread: the panel's callbacks then run beside
// it, so Run stops it and a gain chosen meanwhile waits for the run to end.
static bool capturing;
static bool close_requested;      // the close box was used during the capture
static double capture_period_ms;  // sample period of the capture, for its progress
// A long capture shows the samples read so far on the graph, at its progress, in place
// of the last complete capture until it is complete itself: the trace's x step (ms)
// and display factor, and the samples it shows. The last complete capture stays the
// graph's data (what is saved) and is shown again if the capture does not complete.
static bool live_trace;
static float live_dt;
static float live_g;
static int live_samples_shown;
constexpr int TraceColour = 0xFF0000;
static bool gain_waiting;
static unsigned char waiting_gain;

// The status line's text and whether it reports a failure, without the close box's note,
// which is shown on a line of its own below it so that the run's verdict stays in view.
static char status_line[700];
static bool status_failed;
static const char CloseNote[] = "Use Quit to end deska";

// Repeat: true while Run repeats captures; stop_repeat ends the run after the capture
// in progress (Stop, Quit or the close box); capture_number counts its captures.
static bool repeating;
static bool stop_repeat;
static int capture_number;

// Trigger items of PANEL_TRIGGER.
enum { TriggerFree = 0, TriggerRising = 1, TriggerFalling = 2 };
// The trigger of the capture in progress: its edge, its level in volts at the
// converter, and whether the last capture started at a crossing.
static int trigger_edge;
static double trigger_level_v;  // at the input, as set on the panel
static double trigger_level_converter_v;
static bool triggered;
// The level line on the graph, V at the input; shown while an edge is chosen.
static bool level_line_shown;
constexpr int LevelLineColour = 0x008000;
// Waiting for the trigger: the capture starts untriggered after the time of this many
// sample periods, or this long at least (ms).
constexpr double MinTriggerWait_ms = 100.0;

static const CallbackRegistration callbacks{
    {"konec", konec}, {"work", work}, {"freq", freq},
    {"graph", graph}, {"ring", ring}, {"run", run},
};

// ---- Helpers ---------------------------------------------------------------------------

// "%f" text (six decimals, no field width) with a decimal point whatever the desktop's
// locale: the GUI run-time adopts it, and printf would then write "2,500000" in Czech.
static void format_f(char (&text)[100], double value) {
    std::to_chars_result result =
        std::to_chars(text, text + sizeof text - 1, value, std::chars_format::fixed, 6);
    *result.ptr = '\0';
}

// Splits `product` into timer counts c1 <= c2, each MinCount..MaxCount; false if it cannot.
static bool split_counts(uint64_t product, uint32_t *c1, uint32_t *c2) {
    for (uint64_t c = std::max(MinCount, (product + MaxCount - 1) / MaxCount); c * c <= product;
         ++c) {
        if (product % c == 0) {
            *c1 = static_cast<uint32_t>(c);
            *c2 = static_cast<uint32_t>(product / c);
            return true;
        }
    }
    return false;
}

// Counts whose product is `divisor`, or else the nearest product two counts can make;
// of two equally near, the larger, being nearer the untruncated 2000/f.
static void timer_counts(uint64_t divisor, uint32_t *c1, uint32_t *c2) {
    for (uint64_t distance = 0;; ++distance) {
        if (split_counts(divisor + distance, c1, c2)) return;
        if (distance < divisor && split_counts(divisor - distance, c1, c2)) return;
    }
}

// The divisor the counts held in Frq give.
static uint64_t loaded_divisor(void) {
    uint64_t c1 = FrqByte[0] | FrqByte[1] << 8;
    uint64_t c2 = FrqByte[2] | FrqByte[3] << 8;
    return (c1 != 0 ? c1 : MaxCount) * (c2 != 0 ? c2 : MaxCount);
}

// ---- Board access --------------------------------------------------------------------

// The first half of activation: the divisor and the counts for f kHz, held in Frq, and
// the realised frequency on the panel. Nothing reaches the board yet.
static void set_up_timer(float f) {
    uint32_t c1 = 0;
    uint32_t c2 = 0;

    if (Frq != 0 && f == shown_freq_khz) {
        // The panel still shows the rate the last run realised. That value is rounded to
        // the control's decimals and to float, so truncating 2000/f from it can fall one
        // count short: keep the last divisor, or each Run would creep to another rate.
        Frq = static_cast<uint32_t>(loaded_divisor());
    } else {
        // The truncated divisor; the panel's range keeps it within 20..200000, the clamp
        // only guards the conversion.
        double quotient = TimerClock_kHz / f;
        quotient =
            std::clamp(quotient, double(MinCount * MinCount), double((MaxCount - 1) * MaxCount));
        const double whole = std::ceil(quotient);
        Frq = static_cast<uint32_t>(whole - quotient < DivisorTolerance ? whole : quotient);
    }
    timer_counts(Frq, &c1, &c2);
    realised_freq_khz = TimerClock_kHz / (double(c1) * c2);
    SetCtrlVal(1, PANEL_FREQ, static_cast<float>(realised_freq_khz));
    GetCtrlVal(1, PANEL_FREQ, &shown_freq_khz);
    Frq = (c1 & 0xFFFF) | (c2 & 0xFFFF) << 16;
}

// The second half: the timer's counts from Frq, the gain, and the start of conversions.
// It runs on the thread that then polls, so the board starts when that thread is
// already running: waking a thread can take milliseconds on a virtual machine, and
// the board's results would be overwritten meanwhile.
static void start_board(void) {
    CVI_outp(PORT_TIMER_CTRL, TIMER_COUNTER1_MODE2);
    CVI_outp(PORT_TIMER_CTRL, TIMER_COUNTER2_MODE2);
    CVI_outp(PORT_COUNTER1, FrqByte[0]);
    CVI_outp(PORT_COUNTER1, FrqByte[1]);
    CVI_outp(PORT_COUNTER2, FrqByte[2]);
    CVI_outp(PORT_COUNTER2, FrqByte[3]);
    CVI_outp(PORT_GAIN, Zesileni);
    CVI_outp(PORT_CHANNEL, BOARD_SIGNAL_CHANNEL);
    CVI_outp(PORT_MODE, BOARD_MODE_TIMER_PACED);
}

int activation(float f) {
    set_up_timer(f);
    start_board();
    return 0;
}

// Describes a sample that did not come, naming what to check.
static void describe_missing_sample(int sample, double wait_ms) {
    const char *refusal = portio_refusal();
    bool refused = refusal != nullptr && refusal[0] != '\0';
    std::snprintf(board_fault, sizeof board_fault,
                  "The board did not deliver sample %d of %d within %d ms, so the measurement "
                  "was stopped. The RMS values and the graph are left as they were.\n\n%s%s",
                  sample + 1, SampleCount, static_cast<int>(wait_ms),
                  refused ? "The program has no access to the board's I/O ports at 0x300: "
                          : "No board is answering at I/O port 0x300, or its sampling timer is "
                            "not running. Check that the measurement board is fitted at base "
                            "address 0x300, then press Run again.",
                  refused ? refusal : "");
}

// From the time between the first and the last sample: the 999 periods between them,
// plus one for every conversion overwritten unread. Each read follows its conversion
// by less than a period, so the count is good to about one conversion.
static void count_lost_conversions(double span_ms, double period_ms) {
    capture_span_ms = span_ms;
    lost_conversions = std::max(0L, std::lround(span_ms / period_ms) - (SampleCount - 1));
}

int read_data(void) {
    using Clock = std::chrono::steady_clock;
    using Duration_ms = std::chrono::duration<double, std::milli>;
    const double period_ms = double(loaded_divisor()) / TimerClock_kHz;
    const double wait_ms = std::max(MinSampleWait_ms, SampleWaitPeriods * period_ms);
    const auto patience = Duration_ms(wait_ms);
    const bool pausing = capture_realtime && period_ms >= PausingPeriod_ms;
    const auto period = std::chrono::duration_cast<Clock::duration>(Duration_ms(period_ms));
    const auto poll_ahead = std::chrono::duration_cast<Clock::duration>(
        Duration_ms(std::min(period_ms / 2, MaxPollAhead_ms)));
    Clock::time_point first_sample{};
    // When the last result came; the board has just been started.
    Clock::time_point last_result = pausing ? Clock::now() : Clock::time_point{};

    // With an edge chosen, conversions are read (and dropped) until one crosses the
    // level; `previous` is the conversion before it, NAN until there is one.
    bool waiting = trigger_edge != TriggerFree;
    triggered = false;
    double previous = NAN;
    const Clock::time_point trigger_deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(
                           Duration_ms(std::max(MinTriggerWait_ms, SampleCount * period_ms)));

    samples_read.store(0, std::memory_order_relaxed);
    limit_samples = 0;
    for (int i = 0; i < SampleCount; i++) {
        const Clock::time_point waiting_since = Clock::now();
        // The next result is due a period after the last one.
        Clock::time_point poll_until = last_result + period + poll_ahead;
        bool paused = false;
        unsigned polls = 0;
        while (((DataByte[1] = CVI_inp(PORT_DATA_HIGH)) & BOARD_NOT_READY) != 0) {
            if (pausing && !paused) {
                paused = true;
                const Clock::duration until_due = last_result + period - waiting_since;
                if (until_due > poll_ahead &&
                    BackgroundPause(std::chrono::duration<double>(until_due - poll_ahead).count()))
                    return CaptureStopped;
            }
            if (++polls % PollsPerClockCheck != 0) continue;
            // Pole now holds part of a capture; run shows none of it.
            if (BackgroundStopRequested()) return CaptureStopped;
            const Clock::time_point now = Clock::now();
            if (now - waiting_since > patience) {
                describe_missing_sample(i, wait_ms);
                return BoardSilent;
            }
            if (pausing && now > poll_until) {
                if (BackgroundPause(std::chrono::duration<double>(poll_ahead).count()))
                    return CaptureStopped;
                poll_until = Clock::now() + poll_ahead;
            }
        }
        DataByte[0] = CVI_inp(PORT_DATA_LOW);
        const unsigned code = Data & BOARD_CODE_MASK;
        const float sample = static_cast<float>(10.0 * code / double(BOARD_CONVERTER_CODES) - 5.0);
        if (waiting) {
            // Rising: the previous conversion below the level, this one at or above it.
            const bool crossed =
                trigger_edge == TriggerRising
                    ? previous < trigger_level_converter_v && sample >= trigger_level_converter_v
                    : previous > trigger_level_converter_v && sample <= trigger_level_converter_v;
            if (crossed) {
                triggered = true;
            } else if (waiting_since < trigger_deadline) {
                previous = sample;
                // The clock is read only when pausing needs it: this wait is as tight a
                // loop as the capture.
                if (pausing) last_result = Clock::now();
                i--;  // not part of the capture
                continue;
            }
            // Crossed, or untriggered after the wait: this conversion is sample 1.
            waiting = false;
        }
        if (i == 0 || pausing) last_result = Clock::now();
        if (i == 0) first_sample = last_result;
        Pole[i] = sample;
        limit_samples += code == 0 || code == BOARD_CODE_MASK;
        // Publishes Pole[0..i] to the live trace: on x86 a plain store, no cost per sample.
        samples_read.store(i + 1, std::memory_order_release);
    }
    count_lost_conversions(Duration_ms(Clock::now() - first_sample).count(), period_ms);
    return 0;
}

// ---- Capture under the operator's control ----------------------------------------------

// "%.2f" whatever the desktop's locale.
static void format_2(char (&text)[40], double value) {
    std::to_chars_result result =
        std::to_chars(text, text + sizeof text - 1, value, std::chars_format::fixed, 2);
    *result.ptr = '\0';
}

// The status line says `text`, marked as a failure when `failed`.
static void show_status(const char *text, bool failed) {
    std::snprintf(status_line, sizeof status_line, "%s", text);
    status_failed = failed;
    SetCtrlVal(1, PANEL_STATUS, status_line);
    MarkCtrlFailure(1, PANEL_STATUS, failed);
}

// The status line with the close box's note on a line of its own below it.
static void show_status_with_close_note(void) {
    char text[sizeof status_line + sizeof CloseNote + 1];
    std::snprintf(text, sizeof text, "%s%s%s", status_line, status_line[0] ? "\n" : "", CloseNote);
    SetCtrlVal(1, PANEL_STATUS, text);
    MarkCtrlFailure(1, PANEL_STATUS, status_failed);
}

// The work of the capture thread: the board set up by set_up_timer is started and read.
static int capture_on_thread(void *) {
    start_board();
    return read_data();
}

// The samples read so far on the graph, against the axes of the whole capture.
static void show_live_trace(int done) {
    if (!live_trace || done == live_samples_shown) return;
    live_samples_shown = done;
    PlotLiveTrace(1, PANEL_GRAPH, Pole, done, WAVE_FLOAT, live_g, 0.0, 0.0, live_dt, 0.0,
                  (SampleCount - 1) * double(live_dt), -5.0 * live_g, 5.0 * live_g, TraceColour);
}

// Called on the main thread about every 0.1 s while a capture runs on its own thread.
static void show_progress(void *) {
    const int done = samples_read.load(std::memory_order_acquire);
    show_live_trace(done);
    const double left_s = (SampleCount - done) * capture_period_ms / 1e3;
    char text[160];
    char number[40] = "";
    if (repeating) std::snprintf(number, sizeof number, "Capture %d: ", capture_number);
    if (done == 0 && trigger_edge != TriggerFree)
        std::snprintf(text, sizeof text, "%sWaiting for the trigger", number);
    else
        std::snprintf(text, sizeof text, "%sCapturing: %d of %d samples, about %ld s left", number,
                      done, SampleCount, std::lround(std::ceil(left_s)));
    SetCtrlVal(1, PANEL_STATUS, text);
}

// Decides whether a capture at f kHz lasts long enough to run on a thread of its own,
// and if so readies the panel for it (Run reads Stop, the progress shows) before the
// board is started: painting after the start would delay the first sample.
static void prepare_capture(int panel, float f) {
    capture_period_ms = 1.0 / f;
    // Repeated captures all keep the window alive, so that Stop can end them.
    capturing =
        repeating || (f > 0 && SampleCount * capture_period_ms / 1e3 >= BackgroundCapture_s);
    // Only a long one shows its samples as they come: a short one is complete at once.
    live_trace = f > 0 && SampleCount * capture_period_ms / 1e3 >= BackgroundCapture_s;
    if (!capturing) return;
    // The step and the scale the complete capture will be plotted with.
    live_dt = static_cast<float>(1.0 / f);
    live_g = static_cast<float>(1.0 / std::pow(2.0, Zesileni));
    live_samples_shown = 0;
    close_requested = false;
    samples_read.store(0, std::memory_order_relaxed);
    SetCtrlLabel(panel, PANEL_RUN, "&Stop");
    show_status("", false);
    show_progress(nullptr);
}

// read_data on the capture thread: with the window alive when prepare_capture chose
// so, else with the window waiting.
static int capture(int panel) {
    capture_realtime = BackgroundThreadRealtime() == 1;
    if (!capturing) return RunOnBackgroundThread(capture_on_thread, nullptr);
    const int result = RunInBackground(capture_on_thread, nullptr, show_progress);
    if (!repeating) SetCtrlLabel(panel, PANEL_RUN, "&Run");
    capturing = false;
    return result;
}

// The verdict on a capture that brought all its samples, for the status line and for the
// capture's description.
static void capture_verdict(char (&text)[700]) {
    int n = 0;
    if (repeating) n = std::snprintf(text, sizeof text, "Capture %d: ", capture_number);
    const bool untriggered = trigger_edge != TriggerFree && !triggered;
    if (limit_samples > 0) {
        // The input's range at this gain: the converter's +-5 V divided by 2^gain.
        char limit[40];
        const std::to_chars_result r =
            std::to_chars(limit, limit + sizeof limit - 1, 5.0 / (1 << Zesileni));
        *r.ptr = '\0';
        n += std::snprintf(
            text + n, sizeof text - n,
            "Input over range at gain x%d: %d of %d samples at the converter's limit "
            "(\u00b1%s V at the input); the figures are too low: %s",
            1 << Zesileni, limit_samples, SampleCount, limit,
            Zesileni > 0 ? "choose a smaller gain" : "reduce the signal at the board's input");
        if (lost_conversions == 0) {
            if (untriggered) std::snprintf(text + n, sizeof text - n, ". Not triggered");
            return;
        }
        n += std::snprintf(text + n, sizeof text - n, ". ");
    }
    if (lost_conversions == 0) {
        std::snprintf(text + n, sizeof text - n, "%d samples, none lost%s", SampleCount,
                      untriggered ? ", not triggered" : "");
    } else {
        char span[40];
        format_2(span, capture_span_ms);
        std::snprintf(text + n, sizeof text - n,
                      "%d samples over %s ms%s: about %ld %s lost (the computer did not read "
                      "the board in time); the RMS and the graph may be distorted%s",
                      SampleCount, span, untriggered ? ", not triggered" : "", lost_conversions,
                      lost_conversions == 1 ? "conversion was" : "conversions were",
                      capture_realtime ? ""
                                       : "; deska runs without real-time priority (see the "
                                         "README, A real measurement board)");
    }
}

// The local time `when` as ISO 8601 with the UTC offset: 2026-12-10T11:05:00+01:00.
static void format_iso_time(char (&text)[40], std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char offset[8] = "";
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    std::strftime(offset, sizeof offset, "%z", &local);  // +0100
    const size_t n = std::strlen(text);
    std::snprintf(text + n, sizeof text - n, "%.3s:%.2s", offset, offset + 3);
}

// Tells the graph what the plotted capture is, for the file it may be saved to: the rate
// and gain it was taken at, when it ended, its verdict and its read-outs. These stay with
// the plot whatever the panel shows later.
static void describe_capture(int plot, std::time_t ended, const char *verdict) {
    char text[100];
    format_f(text, realised_freq_khz);
    SetPlotMetadata(1, PANEL_GRAPH, plot, "Sampling frequency (kHz)", text);
    std::snprintf(text, sizeof text, "x%d", 1 << Zesileni);
    SetPlotMetadata(1, PANEL_GRAPH, plot, "Gain", text);
    char time[40];
    format_iso_time(time, ended);
    SetPlotMetadata(1, PANEL_GRAPH, plot, "Capture ended", time);
    // Named and written as the panel shows them, so that a trigger changed on the panel
    // since is told apart from the one this capture had.
    if (trigger_edge != TriggerFree) {
        SetPlotMetadata(1, PANEL_GRAPH, plot, "Trigger",
                        trigger_edge == TriggerRising ? "Rising edge" : "Falling edge");
        format_f(text, trigger_level_v);
        SetPlotMetadata(1, PANEL_GRAPH, plot, "Trigger level (V)", text);
    }
    SetPlotMetadata(1, PANEL_GRAPH, plot, "Status of the capture", verdict);
    const int readOuts[] = {PANEL_UF, PANEL_UF_INPUT};
    const char *names[] = {"RMS at the converter (V)", "RMS at the input (V)"};
    for (int k = 0; k < 2; k++) {
        GetCtrlVal(1, readOuts[k], text);
        SetPlotMetadata(1, PANEL_GRAPH, plot, names[k], text);
    }
}

// ---- Measurement -----------------------------------------------------------------------

// A gain chosen during a capture becomes the gain code once the run has ended.
static void take_waiting_gain(void) {
    if (!gain_waiting) return;
    Zesileni = waiting_gain;
    gain_waiting = false;
}

// Rising crossings of the mean count only after the signal was below the mean by this
// part of its peak to peak, so that noise on an edge does not count as periods.
constexpr double HysteresisShare = 0.1;
// A peak to peak below this many converter steps holds no period to count.
constexpr double MinPeakToPeakSteps = 4;

void measure_capture(unsigned char gain, double rate_khz, Measurements *m) {
    const double g = std::ldexp(1.0, -gain);
    double sum = 0;
    double lowest = HUGE_VAL;
    double highest = -HUGE_VAL;
    for (int i = 0; i < SampleCount; i++) {
        const double x = Pole[i] * g;
        sum += x;
        lowest = std::min(lowest, x);
        highest = std::max(highest, x);
    }
    const double mean = sum / SampleCount;
    double squares = 0;
    for (int i = 0; i < SampleCount; i++) {
        const double d = Pole[i] * g - mean;
        squares += d * d;
    }
    m->mean_v = mean;
    m->ac_rms_v = std::sqrt(squares / SampleCount);
    m->minimum_v = lowest;
    m->maximum_v = highest;
    m->peak_to_peak_v = highest - lowest;
    m->frequency_hz = 0;
    const double step_v = 10.0 / BOARD_CONVERTER_CODES * g;
    if (!(m->peak_to_peak_v >= MinPeakToPeakSteps * step_v)) return;
    // Crossing times in samples, interpolated between the samples either side of the mean.
    const double below = mean - HysteresisShare * m->peak_to_peak_v;
    bool armed = false;
    int crossings = 0;
    double first = 0;
    double last = 0;
    for (int i = 0; i < SampleCount; i++) {
        const double x = Pole[i] * g;
        if (x < below) {
            armed = true;
        } else if (armed && x >= mean) {
            const double before = Pole[i - 1] * g;  // below the mean, as armed says
            last = (i - 1) + (mean - before) / (x - before);
            if (crossings++ == 0) first = last;
            armed = false;
        }
    }
    if (crossings >= 2) m->frequency_hz = (crossings - 1) / (last - first) * rate_khz * 1e3;
}

// `value` with `digits` significant digits, trailing zeros kept, whatever the locale.
static void format_significant(char (&text)[100], double value, int digits) {
    int decimals = std::max(0, digits - 1 - static_cast<int>(std::floor(std::log10(value))));
    // Rounding up can make one digit more (99.99996 -> 100.0000).
    if (decimals > 0 && std::round(value * std::pow(10.0, decimals)) >= std::pow(10.0, digits))
        decimals--;
    std::to_chars_result r =
        std::to_chars(text, text + sizeof text - 1, value, std::chars_format::fixed, decimals);
    *r.ptr = '\0';
}

// "%f" text, and no minus sign on a value that rounds to zero.
static void format_volts(char (&text)[100], double value) {
    format_f(text, value);
    if (std::strcmp(text, "-0.000000") == 0) std::strcpy(text, "0.000000");
}

// Shows the six measurements of the last capture and adds them to its plot's description.
static void show_measurements(int plot) {
    Measurements m{};
    measure_capture(Zesileni, realised_freq_khz, &m);
    const int fields[] = {PANEL_MEAN,    PANEL_AC_RMS,       PANEL_MINIMUM,
                          PANEL_MAXIMUM, PANEL_PEAK_TO_PEAK, PANEL_SIGNAL_FREQ};
    const char *names[] = {"Mean (V)",    "AC RMS (V)",       "Minimum (V)",
                           "Maximum (V)", "Peak to peak (V)", "Frequency (Hz)"};
    const double volts[] = {m.mean_v, m.ac_rms_v, m.minimum_v, m.maximum_v, m.peak_to_peak_v};
    char text[100];
    for (int k = 0; k < 6; k++) {
        if (k < 5)
            format_volts(text, volts[k]);
        else if (m.frequency_hz > 0)
            format_significant(text, m.frequency_hz, 6);
        else
            std::strcpy(text, "none");
        SetCtrlVal(1, fields[k], text);
        SetPlotMetadata(1, PANEL_GRAPH, plot, names[k], text);
    }
}

int Uf_hodnota(void) {
    float U = 0;
    char text[100];

    for (int i = 0; i < SampleCount; i++)
        U = static_cast<float>(U + std::pow(double(Pole[i]), 2.0));
    U = static_cast<float>(std::sqrt(0.001 * U));

    format_f(text, U);
    SetCtrlVal(1, PANEL_UF, text);
    format_f(text, U / std::pow(2.0, Zesileni));
    SetCtrlVal(1, PANEL_UF_INPUT, text);
    return 0;
}

static const char Unmeasured[] = "nothing was measured and the board was not touched";
static const char GainKept[] = "the gain stays as it was";

// Tells the operator that a panel value cannot be acted on. The panel file beside the
// program is anyone's to edit: a field of another value type cannot be read into the
// program's variable, and one with other limits can give a value the board cannot take.
static void refuse_setting(const char *what, const char *problem, const char *consequence) {
    char message[600];
    std::snprintf(message, sizeof message,
                  "%s, so %s.\n\n"
                  "The panel file deska.uir beside the program does not fit this program: "
                  "reinstall deska, or restore its deska.uir.",
                  problem, consequence);
    MessagePopup(what, message);
}

// The trigger chosen on the panel, for the next capture.
static void read_trigger(int panel) {
    int edge = TriggerFree;
    double level_v = 0;
    if (GetCtrlVal(panel, PANEL_TRIGGER, &edge) < 0 || edge < TriggerFree || edge > TriggerFalling)
        edge = TriggerFree;
    if (GetCtrlVal(panel, PANEL_TRIGGER_LEVEL, &level_v) < 0 || !std::isfinite(level_v))
        level_v = 0;
    trigger_edge = edge;
    trigger_level_v = level_v;
    // The level is set at the input, the graph's scale; the board's samples are at the
    // converter, amplified by 2^gain.
    trigger_level_converter_v = level_v * std::pow(2.0, Zesileni);
}

// One measurement: 0 when it was completed and shown, else nonzero (refused, stopped,
// or the board silent; the last complete capture stays on show).
static int take_capture(int panel) {
    float f = 0;
    float dt = 0;
    float g = 0;

    if (GetCtrlVal(panel, PANEL_FREQ, &f) < 0) {
        refuse_setting("deska: sampling frequency not read",
                       "The sampling frequency could not be read from the panel", Unmeasured);
        return 1;
    }
    if (!(f >= MinFreq_kHz && f <= MaxFreq_kHz)) {
        char text[100];
        char problem[200];
        format_f(text, f);
        std::snprintf(problem, sizeof problem,
                      "The sampling frequency %s kHz is outside 0.01 to 100 kHz", text);
        refuse_setting("deska: sampling frequency out of range", problem, Unmeasured);
        return 1;
    }
    read_trigger(panel);
    SetCtrlVal(1, PANEL_BUSY, 1);
    prepare_capture(panel, f);
    // activation(f), its writes to the board made on the capture thread.
    set_up_timer(f);
    const int captured = capture(panel);
    if (captured != 0) {
        // The last complete capture stays on show, or comes back in place of the live trace.
        ClearLiveTrace(1, PANEL_GRAPH);
        SetCtrlVal(1, PANEL_BUSY, 0);
        if (captured == CaptureStopped) {
            char text[160];
            if (repeating)
                std::snprintf(text, sizeof text, "Capture %d: stopped after %d of %d samples",
                              capture_number, samples_read.load(std::memory_order_relaxed),
                              SampleCount);
            else
                std::snprintf(text, sizeof text, "Stopped after %d of %d samples",
                              samples_read.load(std::memory_order_relaxed), SampleCount);
            show_status(text, false);
            if (close_requested) show_status_with_close_note();
        } else {
            show_status("No measurement: the board did not deliver its samples", true);
            MessagePopup("deska: no data from the board", board_fault);
        }
        take_waiting_gain();
        return 1;
    }
    const std::time_t ended = std::time(nullptr);
    Uf_hodnota();
    // Also ends the live trace: the complete capture replaces it.
    DeleteGraphPlot(1, PANEL_GRAPH, -1, 1);
    // x in ms: f is in kHz. The step comes from the frequency as read, not the realised one.
    dt = static_cast<float>(1.0 / f);
    // Refers the converter's volts back to the board's input.
    g = static_cast<float>(1.0 / std::pow(2.0, Zesileni));
    SetAxisScalingMode(panel, PANEL_GRAPH, AXIS_LEFT_Y, SCALE_FIXED, -5.0 * g, 5.0 * g);
    const int plot = PlotWaveform(1, PANEL_GRAPH, Pole, SampleCount, WAVE_FLOAT, g, 0.0, 0.0, dt,
                                  PLOT_THIN_LINE, MARKER_SQUARE, LINE_SOLID, 1, TraceColour);
    // The trigger level as a dashed line while an edge is chosen.
    if (trigger_edge != TriggerFree || level_line_shown) {
        level_line_shown = trigger_edge != TriggerFree;
        SetGraphLevelLine(1, PANEL_GRAPH, level_line_shown, trigger_level_v, LevelLineColour);
    }
    char verdict[700];
    capture_verdict(verdict);
    show_status(verdict, lost_conversions != 0 || limit_samples != 0);
    describe_capture(plot, ended, verdict);
    show_measurements(plot);
    SetCtrlVal(1, PANEL_BUSY, 0);
    take_waiting_gain();
    return 0;
}

int run(int panel, int control, int event, void *callbackData, int eventData1, int eventData2) {
    (void)control, (void)callbackData, (void)eventData1, (void)eventData2;
    if (event != EVENT_COMMIT) return 0;
    if (capturing || repeating) {
        // Run reads Stop while a capture runs on the capture thread or Run repeats;
        // nothing starts another.
        stop_repeat = true;
        RequestBackgroundStop();
        return 0;
    }
    int repeat = 0;
    if (GetCtrlVal(panel, PANEL_REPEAT, &repeat) < 0 || repeat == 0) {
        take_capture(panel);
        return 0;
    }
    repeating = true;
    stop_repeat = false;
    capture_number = 0;
    SetCtrlLabel(panel, PANEL_RUN, "&Stop");
    // Until Stop, Quit or the close box, a failed capture, or Repeat unchecked meanwhile.
    do {
        ++capture_number;
        if (take_capture(panel) != 0) break;
    } while (!stop_repeat && GetCtrlVal(panel, PANEL_REPEAT, &repeat) == 0 && repeat != 0);
    repeating = false;
    SetCtrlLabel(panel, PANEL_RUN, "&Run");
    return 0;
}

// ---- Small callbacks ----------------------------------------------------------------------

int ring(int panel, int control, int event, void *callbackData, int eventData1, int eventData2) {
    (void)control, (void)callbackData, (void)eventData1, (void)eventData2;
    // The board and the display take the new code at the next run; a code the board does
    // not know leaves the gain as it was. During a capture the running one still needs
    // the old code to scale its plot, so the new one waits for the run to end.
    if (event != EVENT_COMMIT) return 0;
    unsigned char code = 0;
    if (GetCtrlVal(panel, PANEL_GAIN, &code) < 0) {
        refuse_setting("deska: gain not read", "The gain could not be read from the panel",
                       GainKept);
    } else if (code > MaxGainCode) {
        char problem[200];
        std::snprintf(problem, sizeof problem, "The gain code %u is outside 0 to %u", code,
                      MaxGainCode);
        refuse_setting("deska: gain out of range", problem, GainKept);
    } else if (capturing) {
        waiting_gain = code;
        gain_waiting = true;
    } else {
        Zesileni = code;
    }
    return 0;
}

int freq(int panel, int control, int event, void *callbackData, int eventData1, int eventData2) {
    (void)panel, (void)control, (void)event, (void)callbackData, (void)eventData1, (void)eventData2;
    return 0;
}

int graph(int panel, int control, int event, void *callbackData, int eventData1, int eventData2) {
    (void)panel, (void)control, (void)event, (void)callbackData, (void)eventData1, (void)eventData2;
    return 0;
}

// Focus changes change nothing, and the close box does not end the program: only Quit
// does, and the status line says so on a line below the last run's verdict, which stays.
// The close box does end a capture in progress; its outcome then gets the note.
int work(int panel, int event, void *callbackData, int eventData1, int eventData2) {
    (void)panel, (void)callbackData, (void)eventData1, (void)eventData2;
    if (event != EVENT_CLOSE) return 0;
    if (capturing || repeating) {
        close_requested = true;
        stop_repeat = true;
        RequestBackgroundStop();
        return 0;
    }
    show_status_with_close_note();
    return 0;
}

int konec(int panel, int control, int event, void *callbackData, int eventData1, int eventData2) {
    (void)panel, (void)control, (void)callbackData, (void)eventData1, (void)eventData2;
    if (event == EVENT_COMMIT) {
        stop_repeat = true;  // a repeating Run ends with the capture in progress
        QuitUserInterface(0);
    }
    return 0;
}

char keypress(void) {
    std::printf("Stiskni ENTER");
    return static_cast<char>(std::getchar());
}

// ---- Entry ------------------------------------------------------------------------------------

int main(int argc, char *argv[]) {
    HandleCommandLine(identity, argc, argv);
    if (InitCVIRTE(0, argv, 0) == 0) return -1;
    panelHandle = LoadPanel(0, "deska.uir", PANEL);
    if (panelHandle < 0) return -1;
    // A simulated board must not pass for the real one in the window's title.
    if (portio_simulated_board()) {
        char title[200];
        GetPanelTitle(panelHandle, title, sizeof title - 20);
        std::strcat(title, " (simulated board)");
        SetPanelTitle(panelHandle, title);
    }
    DisplayPanel(panelHandle);
    RunUserInterface();
    DiscardPanel(panelHandle);
    return 0;
}
