// SPDX-License-Identifier: GPL-3.0-or-later
// deska: measures a voltage through the plug-in measurement board at I/O port 0x300.
//
// Each commit of Run programs the board's 8254 timer (clock 2000 kHz) for the sampling
// frequency on the panel and its amplifier for the chosen gain code, polls 1000
// conversions into Pole, shows their RMS value at the converter and at the board's
// input, and plots the capture against time in ms, divided by the amplification 2^gain
// so that it shows volts at the board's input. Everything waits on the main thread:
// the panel does not respond while a capture runs.
//
// Plain procedural code: module globals, free functions and the panel's callbacks.

#include "deska.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "portio.h"
#include "userint.h"

// ---- Board registers -----------------------------------------------------------
constexpr int BoardBase = 0x300;
constexpr int PORT_COUNTER1 = BoardBase + 1;    // 8254 counter 1 count, low then high byte
constexpr int PORT_COUNTER2 = BoardBase + 2;    // 8254 counter 2 count, low then high byte
constexpr int PORT_TIMER_CTRL = BoardBase + 3;  // 8254 control word
constexpr int PORT_DATA_LOW = BoardBase + 4;    // converter result, low byte
constexpr int PORT_DATA_HIGH = BoardBase + 5;   // not-ready flag (bit 4) and result high byte
constexpr int PORT_GAIN = BoardBase + 9;        // gain code 0..4: amplification 2^code
constexpr int PORT_ZERO = BoardBase + 10;       // always written 0
constexpr int PORT_MODE = BoardBase + 11;       // acquisition mode

// 8254 control words: counter 1 / counter 2, count written low byte then high byte,
// mode 2 (rate generator), binary counting.
constexpr unsigned char TIMER_COUNTER1_MODE2 = 0x74;
constexpr unsigned char TIMER_COUNTER2_MODE2 = 0xB4;
constexpr unsigned char MODE_TIMER_PACED = 4;  // converts at the timer's rate from now on
constexpr unsigned char NOT_READY = 0x10;      // bit 4 of the high byte: no result yet
constexpr uint16_t CODE_MASK = 0x0FFF;         // the converter's 12 bits; bits 12-15 are not data

constexpr double TimerClock_kHz = 2000.0;
// An 8254 counter in mode 2 counts 2 to 65536; 65536 is loaded as 0.
constexpr uint64_t MinCount = 2;
constexpr uint64_t MaxCount = 65536;

constexpr int SampleCount = 1000;

// What the program can act on, whatever its panel file says: the sampling frequency
// the timer is set for (kHz) and the gain codes the board knows.
constexpr float MinFreq_kHz = 0.01f;
constexpr float MaxFreq_kHz = 100.0f;
constexpr unsigned char MaxGainCode = 4;

// A quotient 2000/f this close below a whole number is that number (counts): the float
// the field gives for 0.2 makes 2000/0.2 come out as 9999.99985, not 10000. Float
// rounding stays below 2e-4 counts over the field's range; a real fraction is 1/f or more.
constexpr double DivisorTolerance = 1e-3;

// Waiting for one sample: at least this long, or this many sample periods if longer.
constexpr double MinSampleWait_ms = 100.0;
constexpr double SampleWaitPeriods = 10.0;
// The clock is read once every this many polls of the not-ready flag, to keep polling tight.
constexpr unsigned PollsPerClockCheck = 256;

// Access to the board's 12 ports is requested before the GUI starts.
static const PortWindow board_ports(BoardBase, 12);

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
// What went wrong when read_data gave up, for the operator.
static char board_fault[700];

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

int activation(float f) {
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
    SetCtrlVal(1, PANEL_FREQ, static_cast<float>(TimerClock_kHz / (double(c1) * c2)));
    GetCtrlVal(1, PANEL_FREQ, &shown_freq_khz);

    CVI_outp(PORT_TIMER_CTRL, TIMER_COUNTER1_MODE2);
    CVI_outp(PORT_TIMER_CTRL, TIMER_COUNTER2_MODE2);
    Frq = (c1 & 0xFFFF) | (c2 & 0xFFFF) << 16;
    CVI_outp(PORT_COUNTER1, FrqByte[0]);
    CVI_outp(PORT_COUNTER1, FrqByte[1]);
    CVI_outp(PORT_COUNTER2, FrqByte[2]);
    CVI_outp(PORT_COUNTER2, FrqByte[3]);
    CVI_outp(PORT_GAIN, Zesileni);
    CVI_outp(PORT_ZERO, 0);
    CVI_outp(PORT_MODE, MODE_TIMER_PACED);
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

int read_data(void) {
    using Clock = std::chrono::steady_clock;
    const double period_ms = double(loaded_divisor()) / TimerClock_kHz;
    const double wait_ms = std::max(MinSampleWait_ms, SampleWaitPeriods * period_ms);
    const auto patience = std::chrono::duration<double, std::milli>(wait_ms);

    for (int i = 0; i < SampleCount; i++) {
        const Clock::time_point waiting_since = Clock::now();
        unsigned polls = 0;
        while (((DataByte[1] = CVI_inp(PORT_DATA_HIGH)) & NOT_READY) != 0) {
            if (++polls % PollsPerClockCheck == 0 && Clock::now() - waiting_since > patience) {
                // Pole now holds part of a capture; run shows none of it.
                describe_missing_sample(i, wait_ms);
                return -1;
            }
        }
        DataByte[0] = CVI_inp(PORT_DATA_LOW);
        Pole[i] = static_cast<float>(10.0 * (Data & CODE_MASK) / 4096.0 - 5.0);
    }
    return 0;
}

// ---- Measurement -----------------------------------------------------------------------

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

int run(int panel, int control, int event, void *callbackData, int eventData1, int eventData2) {
    (void)control, (void)callbackData, (void)eventData1, (void)eventData2;
    float f = 0;
    float dt = 0;
    float g = 0;

    if (event != EVENT_COMMIT) return 0;
    if (GetCtrlVal(panel, PANEL_FREQ, &f) < 0) {
        refuse_setting("deska: sampling frequency not read",
                       "The sampling frequency could not be read from the panel", Unmeasured);
        return 0;
    }
    if (!(f >= MinFreq_kHz && f <= MaxFreq_kHz)) {
        char text[100];
        char problem[200];
        format_f(text, f);
        std::snprintf(problem, sizeof problem,
                      "The sampling frequency %s kHz is outside 0.01 to 100 kHz", text);
        refuse_setting("deska: sampling frequency out of range", problem, Unmeasured);
        return 0;
    }
    SetCtrlVal(1, PANEL_BUSY, 1);
    activation(f);
    if (read_data() != 0) {
        SetCtrlVal(1, PANEL_BUSY, 0);
        MessagePopup("deska: no data from the board", board_fault);
        return 0;
    }
    Uf_hodnota();
    DeleteGraphPlot(1, PANEL_GRAPH, -1, 1);
    // x in ms: f is in kHz. The step comes from the frequency as read, not the realised one.
    dt = static_cast<float>(1.0 / f);
    // Refers the converter's volts back to the board's input.
    g = static_cast<float>(1.0 / std::pow(2.0, Zesileni));
    SetAxisScalingMode(panel, PANEL_GRAPH, AXIS_LEFT_Y, SCALE_FIXED, -5.0 * g, 5.0 * g);
    PlotWaveform(1, PANEL_GRAPH, Pole, SampleCount, WAVE_FLOAT, g, 0.0, 0.0, dt, PLOT_THIN_LINE,
                 MARKER_SQUARE, LINE_SOLID, 1, 0xFF0000);
    SetCtrlVal(1, PANEL_BUSY, 0);
    return 0;
}

// ---- Small callbacks ----------------------------------------------------------------------

int ring(int panel, int control, int event, void *callbackData, int eventData1, int eventData2) {
    (void)control, (void)callbackData, (void)eventData1, (void)eventData2;
    // The board and the display take the new code at the next run; a code the board does
    // not know leaves the gain as it was.
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

// Focus changes and the close box change nothing: only Quit ends the program.
int work(int panel, int event, void *callbackData, int eventData1, int eventData2) {
    (void)panel, (void)event, (void)callbackData, (void)eventData1, (void)eventData2;
    return 0;
}

int konec(int panel, int control, int event, void *callbackData, int eventData1, int eventData2) {
    (void)panel, (void)control, (void)callbackData, (void)eventData1, (void)eventData2;
    if (event == EVENT_COMMIT) QuitUserInterface(0);
    return 0;
}

char keypress(void) {
    std::printf("Stiskni ENTER");
    return static_cast<char>(std::getchar());
}

// ---- Entry ------------------------------------------------------------------------------------

int main(int argc, char *argv[]) {
    HandleCommandLine("deska", argc, argv);
    if (InitCVIRTE(0, argv, 0) == 0) return -1;
    panelHandle = LoadPanel(0, "deska.uir", PANEL);
    if (panelHandle < 0) return -1;
    DisplayPanel(panelHandle);
    RunUserInterface();
    DiscardPanel(panelHandle);
    return 0;
}
