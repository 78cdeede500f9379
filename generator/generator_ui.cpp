// SPDX-License-Identifier: GPL-3.0-or-later
// generator: drives the arbitrary-waveform generator at GPIB address 8.
//
// From the operator's frequency (a value and a decade, at most 1 MHz), amplitude
// and angle it sends the frequency and amplitude commands, synthesises one period
// of a phase-cut sine as 3600 DAC codes (each half-period held at zero up to the
// angle), previews it on the graph, uploads it as a definite-length binary block
// into the instrument's volatile waveform memory and selects it as the output.
// This happens once at start-up with 10000 Hz, angle 0 and 4.5 Vpp, and again
// after every committed change. Every transfer's status is kept; after the six
// transfers the instrument's error queue is read (SYST:ERR?), because a transfer
// that went through says nothing of whether the instrument accepted the value it
// carried. The status line tells the operator how the last upload went.
//
// Some names are Czech, as the program has always had them:
//   Frekv   frequency: the callback of the frequency value
//   rad     order of magnitude: the callback of the decade ring
//   Uhel    angle: the callback of the angle field
//   Ampl    amplitude: the callback of the amplitude field
//   Graf    graph: the graph's callback, which does nothing
//   chyby   errors: the status hook called after every transfer
//   delka   length: of the block header in `data`
//   Data    the waveform table (16-bit codes, or bytes); `data` is the transfer buffer
//   IAdress the instrument's address list {8, NOADDR}

#include "generator_ui.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "generator_icon.h"
#include "gpib_link.h"
#include "userint.h"

// ---- Instrument protocol ---------------------------------------------------------
static const int BOARD = 0;
// The instrument's address: its primary address on the bus, no secondary
// address, unless the operator chose another GPIB address (then in IAdress),
// and the address that names it in instruments.conf whatever its link.
static const short INSTRUMENT = 8;
static const long REPLY_MAX = 255;  // bytes of a reply kept in `data`
static const char IDENTIFY_QUERY[] = "*idn?";
static const char BLOCK_HEADER[] = "data:dac volatile,#47200";  // "#4": 4 digits of count
static const char BYTE_ORDER_LOW_FIRST[] = "FORM:BORD SWAP";
static const char SELECT_USER_WAVEFORM[] = "FUNC:USER VOLATILE";
static const char OUTPUT_USER_WAVEFORM[] = "FUNC:SHAP USER";
static const int TRANSFERS_PER_UPLOAD = 6;
// The instrument's error queue: each read hands out its oldest entry, "+0,..." or
// "0,..." once it is empty. Twenty reads drain any queue one upload can fill and
// bound the wait for an instrument that never says "no error".
static const char ERROR_QUERY[] = "SYST:ERR?";
static const int ERROR_READS_MAX = 20;

// ---- Waveform table ---------------------------------------------------------------
static const int TABLE_ENTRIES = 3600;  // one period: 10 entries per degree
static const int HALF_PERIOD = 1800;    // entries
static const int TABLE_BYTES = 2 * TABLE_ENTRIES;
static const int DATA_ENTRIES = sizeof Data.b / sizeof Data.b[0];
static const double RADIANS_PER_ENTRY = 0.001745;  // as the table was designed, not pi/1800
static const double FULL_SCALE = 2047.0;           // codes
static const double PREVIEW_GAIN = 0.00048828;     // code to about +-1
static const double PREVIEW_STEP_DEGREES = 0.1;
static const int PREVIEW_COLOUR = 0xFF0000;

// ---- Frequency controls -------------------------------------------------------------
static const signed char TOP_DECADE = 6;
static const float CEILING_HZ = 1000000.0f;

// ---- What the program acts on, whatever its panel file says ------------------------
static const float FREQ_VALUE_MAX = 9.999f;  // times 10^decade, Hz
static const float AMPLITUDE_MIN_VPP = 0.05f;
static const float AMPLITUDE_MAX_VPP = 10.0f;
static const float ANGLE_MAX_DEGREES = 180.0f;

// ---- Globals ---------------------------------------------------------------------------
Addr4882_t IAdress[2] = {8, NOADDR};
float Freq = 10000.0f;
float Alpha = 0.0f;
float Um = 4.5f;
short delka;
DTyp Data;
char data[10000];
static int panelHandle;

// Outcome of the transfers since the last reset (start of an upload or of an
// identification): how many failed, and the first failure. `transferName` names
// the transfer in progress in the operator's words.
static const char *transferName = "transfer";
static char blockTransferName[40];
static int failedTransfers;
static const char *failedTransfer;
static int failedStatus;
static int failedError;
// The driver library's own words for that failure (the SCPI link names the
// resource and the system's reason), without the code name it starts with.
static char failedDetail[400];
// True while the status line reports an identification rather than an upload.
static bool statusShowsIdentification;
// What the program changed of the settings the operator committed, said on the
// status line before the outcome of the upload they go out with; "; " between notes.
static char settingNotes[600];

static const CallbackRegistration callbacks{
    {"Ampl", Ampl}, {"Uhel", Uhel},         {"Frekv", Frekv}, {"rad", rad},
    {"Graf", Graf}, {"Identify", Identify}, {"Exit", Exit},   {"Instrument", Instrument},
};

// ---- Number texts ------------------------------------------------------------------------
// The instrument parses a decimal point, so these never go through the C locale,
// which the GUI run-time sets from the desktop (a comma on a Czech or German one).

// `out` = `keyword` followed by `value` as "%f" prints it in the C locale (six decimals).
static void formatCommand(char *out, size_t size, const char *keyword, double value) {
    size_t n = std::strlen(keyword);
    std::memcpy(out, keyword, n);
    std::to_chars_result r =
        std::to_chars(out + n, out + size - 1, value, std::chars_format::fixed, 6);
    *(r.ec == std::errc() ? r.ptr : out + n) = '\0';
}

// The shortest plain decimal that reads back as `value`: 10000, 4.5, 0.1, 45.05.
static void formatSetting(char *out, size_t size, float value) {
    std::to_chars_result r = std::to_chars(out, out + size - 1, value, std::chars_format::fixed);
    *(r.ec == std::errc() ? r.ptr : out) = '\0';
}

// ---- Command channel ------------------------------------------------------------------------

void SendCmd(short address, const char *cmd) {
    Send(BOARD, address, cmd, (long)std::strlen(cmd), DABend);
    chyby("Send status: ");
}

// Sends `cmd` and receives the reply into `data` as a NUL-terminated string of at
// most 255 bytes; ibcnt holds the number of bytes received.
void Query(short address, const char *cmd) {
    static char queryName[40], replyName[40];
    std::snprintf(queryName, sizeof queryName, "query %s", cmd);
    std::snprintf(replyName, sizeof replyName, "reply to %s", cmd);
    transferName = queryName;
    Send(BOARD, address, cmd, (long)std::strlen(cmd), DABend);
    chyby("Send status: ");
    transferName = replyName;
    Receive(BOARD, address, data, REPLY_MAX, STOPend);
    chyby("Receive status: ");
    // A driver that reports more than was asked for must not move the NUL past the reply.
    long received = ibcnt < 0 ? 0 : ibcnt > REPLY_MAX ? REPLY_MAX : ibcnt;
    data[received] = '\0';
}

// Status hook, called right after every transfer while its ibsta and iberr are
// still current. Keeps the first failure since the last reset; never touches
// ibcnt, which Query and idn read after it.
void chyby(const char *label) {
    (void)label;  // the transfer is named by transferName, in the operator's words
    if ((ibsta & ERR) == 0) return;
    if (failedTransfers++ == 0) {
        failedTransfer = transferName;
        failedStatus = ibsta;
        failedError = iberr;
        std::string detail = gpib_driver_error_text(iberr);
        const std::string code = std::string(gpib_error_name(iberr)) + ": ";
        if (detail.compare(0, code.size(), code) == 0) detail.erase(0, code.size());
        std::snprintf(failedDetail, sizeof failedDetail, "%s", detail.c_str());
    }
}

static void forgetFailures(void) {
    failedTransfers = 0;
    failedTransfer = nullptr;
    failedStatus = 0;
    failedError = 0;
    failedDetail[0] = '\0';
}

// "<what> at the <transfer> (<status bits>, <error>): <driver's words>; <advice>",
// into `out`; the advice fits the link (a GPIB bus, a LAN or a USB instrument).
static void describeFirstFailure(char *out, size_t size, const char *what) {
    const std::string advice =
        gpib_failure_advice(failedError, gpib_instrument(INSTRUMENT), IAdress[0] & 0xFF);
    std::snprintf(out, size, "%s at the %s (%s, %s): %s%s%s", what, failedTransfer,
                  gpib_status_names(failedStatus).c_str(), gpib_error_name(failedError),
                  failedDetail, failedDetail[0] != '\0' ? "; " : "", advice.c_str());
}

// Asks the instrument to identify itself and shows its answer in the popup "IDN".
// When the query or its reply failed, the popup says so instead, in the words of
// the status line: a dead bus must not look like an instrument without a name.
void idn(short address) {
    forgetFailures();
    Query(address, IDENTIFY_QUERY);
    // Drop the reply's last byte, the instrument's line terminator; an empty reply stays empty.
    long received = ibcnt < 0 ? 0 : ibcnt > REPLY_MAX ? REPLY_MAX : ibcnt;
    if (received > 0) data[received - 1] = '\0';
    if (failedTransfers > 0) {
        char status[1024];
        describeFirstFailure(status, sizeof status, "Identification failed");
        SetCtrlVal(PANEL, PANEL_STATUS, status);
        MarkCtrlFailure(PANEL, PANEL_STATUS, 1);
        statusShowsIdentification = true;
        MessagePopup("Identification failed", status);
        return;
    }
    if (statusShowsIdentification) {
        // An earlier failed identification no longer holds.
        char status[512];
        std::snprintf(status, sizeof status, "Identified: %.400s", data);
        SetCtrlVal(PANEL, PANEL_STATUS, status);
        MarkCtrlFailure(PANEL, PANEL_STATUS, 0);
    }
    MessagePopup("IDN", data[0] != '\0' ? data : "(the instrument answered with an empty line)");
}

// ---- Waveform table ------------------------------------------------------------------------

// code(i): the sine at entry i, full scale 2047, truncated, as a 16-bit two's complement pattern.
static unsigned short sineCode(int i) {
    return (unsigned short)(int)(std::sin(RADIANS_PER_ENTRY * i) * FULL_SCALE);
}

// Fills entries 0..3599 of Data.b with one period of the sine whose half-periods are
// held at zero up to `angle` degrees. Four runs share one index, each continuing
// where the previous stopped. The zero runs stop at the end of Data whatever the
// angle: from 180 to 820 degrees they also zero spare entries, past that the table
// is all zeros. A negative angle or NaN zeroes nothing. The amplitude does not
// enter the table: the level is set by the amplitude command.
void GenSin(float angle, float amplitude) {
    (void)amplitude;
    // Ten times a float is exact in double, and i - 1800 is exact, so both bounds
    // are compared as real numbers without rounding.
    const double tenfoldAngle = 10.0 * (double)angle;
    short i = 0;
    while (i < DATA_ENTRIES && i <= tenfoldAngle) Data.b[i++] = 0;
    for (; i < HALF_PERIOD; i++) Data.b[i] = sineCode(i);
    while (i < DATA_ENTRIES && i - HALF_PERIOD <= tenfoldAngle) Data.b[i++] = 0;
    for (; i < TABLE_ENTRIES; i++) Data.b[i] = sineCode(i);
}

// ---- Upload ------------------------------------------------------------------------------------

void SendBlok(short address, char *buffer, short length) {
    Send(BOARD, address, buffer, length, DABend);
    chyby("Send status: ");
}

// What the instrument's error queue said after an upload.
enum class Verdict { NoError, Refused, Unreadable, NoAnswer };

// Reads the error queue with SYST:ERR? until it reports no error, at most
// ERROR_READS_MAX times. The entries reported go into `errors`, "; " between
// them; *more tells whether the last read still reported one. A failed query or
// reply ends the reading at once, so a silent instrument costs one driver
// time-out, and is kept as the first failure.
static Verdict readInstrumentErrors(char *errors, size_t size, bool *more) {
    Verdict verdict = Verdict::NoError;
    size_t used = 0;
    errors[0] = '\0';
    *more = false;
    for (int k = 0; k < ERROR_READS_MAX; k++) {
        Query(IAdress[0], ERROR_QUERY);
        if (failedTransfers > 0) return Verdict::NoAnswer;
        // <number>,"<text>" and a line terminator; the number 0 (+0 or 0) means none.
        size_t n = std::strlen(data);
        while (n > 0 && (data[n - 1] == '\n' || data[n - 1] == '\r' || data[n - 1] == ' '))
            data[--n] = '\0';
        const char *digits = data[0] == '+' ? data + 1 : data;
        long number = 0;
        std::from_chars_result r = std::from_chars(digits, data + n, number);
        if (r.ec != std::errc() || (r.ptr != data + n && *r.ptr != ',')) {
            std::snprintf(errors, size, "%s", data);
            return Verdict::Unreadable;
        }
        *more = number != 0;
        if (number == 0) return verdict;
        verdict = Verdict::Refused;
        int written = std::snprintf(errors + used, size - used, "%s%s", used > 0 ? "; " : "", data);
        if (written > 0) used = std::min(size - 1, used + (size_t)written);
    }
    return verdict;
}

// The status line after an upload: a failed transfer first, as the transfers
// ran; then what the instrument said of the settings; else the settings sent.
// Anything but a confirmed upload is marked as a failure. The text is also
// left in `status`, which holds 2048 bytes.
static void showUploadOutcome(float frequency, float amplitude, int transferFailures,
                              const char *transferFailure, Verdict verdict, const char *errors,
                              bool more, char (&status)[2048]) {
    const char *moreText = more ? " (and more in its error queue)" : "";
    if (transferFailures > 0) {
        int n = std::snprintf(status, sizeof status, "%s (%d of %d transfers failed)",
                              transferFailure, transferFailures, TRANSFERS_PER_UPLOAD);
        if (verdict == Verdict::Refused && n > 0 && (size_t)n < sizeof status)
            std::snprintf(status + n, sizeof status - n, "; the instrument reports %s%s", errors,
                          moreText);
    } else if (verdict == Verdict::Refused) {
        std::snprintf(status, sizeof status, "Instrument refused the settings: %s%s", errors,
                      moreText);
    } else if (verdict == Verdict::Unreadable) {
        std::snprintf(status, sizeof status,
                      "Settings not confirmed: the instrument answered %s with \"%s\", which is "
                      "not an error report: check that it understands SCPI commands",
                      ERROR_QUERY, errors);
    } else if (verdict == Verdict::NoAnswer) {
        char first[1024];
        describeFirstFailure(first, sizeof first, "Settings not confirmed");
        std::snprintf(status, sizeof status, "%s; whether the instrument took them is unknown",
                      first);
    } else {
        char hz[64], vpp[64], degrees[64];
        formatSetting(hz, sizeof hz, frequency);
        formatSetting(vpp, sizeof vpp, amplitude);
        formatSetting(degrees, sizeof degrees, Alpha);
        std::snprintf(status, sizeof status, "Sent all %d transfers: %s Hz, %s Vpp, angle %s\u00b0",
                      TRANSFERS_PER_UPLOAD, hz, vpp, degrees);
    }
    if (settingNotes[0] != '\0') {
        // The notes first, and `status` says all the line says.
        char told[sizeof status + sizeof settingNotes + 8];
        std::snprintf(told, sizeof told, "%s \u2014 %s", settingNotes, status);
        const size_t n = std::min(std::strlen(told), sizeof status - 1);
        std::memcpy(status, told, n);
        status[n] = '\0';
        settingNotes[0] = '\0';
    }
    SetCtrlVal(PANEL, PANEL_STATUS, status);
    MarkCtrlFailure(PANEL, PANEL_STATUS, transferFailures > 0 || verdict != Verdict::NoError);
    statusShowsIdentification = false;
}

// Brings the instrument to the settings: frequency, amplitude, byte order, the
// table as one 7224-byte block, then the user waveform as the output. Every step
// runs, whatever an earlier transfer did; the busy lamp is lit meanwhile. The
// table is synthesised from Alpha, which every caller also passes as `angle`.
void AssembleBlock(void) {
    std::snprintf(data, sizeof data, "%s", BLOCK_HEADER);
    delka = (short)std::strlen(data);
    // Samples go low byte first, the order FORM:BORD SWAP announces, on any host.
    for (short k = 0; k < TABLE_ENTRIES; k++) {
        data[delka + 2 * k] = (char)(Data.b[k] & 0xFF);
        data[delka + 2 * k + 1] = (char)(Data.b[k] >> 8);
    }
}

// Tells the graph what the preview shows, for the file it may be saved to: the
// settings of the upload and its outcome, whatever the panel shows later.
static void describePreview(int plot, float frequency, float amplitude, const char *status) {
    char text[64];
    formatSetting(text, sizeof text, frequency);
    SetPlotMetadata(PANEL, PANEL_GRAPH, plot, "Frequency (Hz)", text);
    formatSetting(text, sizeof text, amplitude);
    SetPlotMetadata(PANEL, PANEL_GRAPH, plot, "Amplitude (Vpp)", text);
    formatSetting(text, sizeof text, Alpha);
    SetPlotMetadata(PANEL, PANEL_GRAPH, plot, "Angle (\u00b0)", text);
    SetPlotMetadata(PANEL, PANEL_GRAPH, plot, "Status of the upload", status);
}

void SendSin(float frequency, float angle, float amplitude) {
    (void)angle;
    forgetFailures();
    SetCtrlVal(PANEL, PANEL_BUSY, 1);

    formatCommand(data, sizeof data, "freq ", frequency);
    transferName = "frequency command";
    SendCmd(IAdress[0], data);
    formatCommand(data, sizeof data, "volt ", amplitude);
    transferName = "amplitude command";
    SendCmd(IAdress[0], data);

    GenSin(Alpha, Um);
    AssembleBlock();

    DeleteGraphPlot(PANEL, PANEL_GRAPH, -1, 1);
    const int preview = PlotWaveform(PANEL, PANEL_GRAPH, Data.b, TABLE_ENTRIES, WAVE_INT16,
                                     PREVIEW_GAIN, 0.0, 0.0, PREVIEW_STEP_DEGREES, PLOT_THIN_LINE,
                                     MARKER_SQUARE, LINE_SOLID, 1, PREVIEW_COLOUR);

    // The instrument decodes a block in the byte order in force when it arrives,
    // most significant byte first after power-on, so the order goes out first.
    transferName = "byte order command";
    SendCmd(IAdress[0], BYTE_ORDER_LOW_FIRST);
    std::snprintf(blockTransferName, sizeof blockTransferName, "block upload (%d bytes)",
                  delka + TABLE_BYTES);
    transferName = blockTransferName;
    SendBlok(IAdress[0], data, (short)(delka + TABLE_BYTES));
    transferName = "waveform selection command";
    SendCmd(IAdress[0], SELECT_USER_WAVEFORM);
    transferName = "output function command";
    SendCmd(IAdress[0], OUTPUT_USER_WAVEFORM);

    // The transfers' outcome is kept apart from the error query's own.
    const int transferFailures = failedTransfers;
    char transferFailure[1024] = "";
    if (transferFailures > 0)
        describeFirstFailure(transferFailure, sizeof transferFailure, "Upload failed");
    char errors[600];
    bool more = false;
    forgetFailures();
    Verdict verdict = readInstrumentErrors(errors, sizeof errors, &more);
    char status[2048];
    showUploadOutcome(frequency, amplitude, transferFailures, transferFailure, verdict, errors,
                      more, status);
    describePreview(preview, frequency, amplitude, status);
    SetCtrlVal(PANEL, PANEL_BUSY, 0);
}

// ---- Parameter controls ---------------------------------------------------------------------

// Adds `note` to what the next status line says before the upload's outcome.
static void noteChange(const char *note) {
    size_t used = std::strlen(settingNotes);
    std::snprintf(settingNotes + used, sizeof settingNotes - used, "%s%s", used > 0 ? "; " : "",
                  note);
}

// Notes the number the operator typed into `control` that its field refused as
// beyond its range, and what the field kept instead: typing 50 into a field that
// ends at 10 leaves 5, which would otherwise go out unannounced.
static void noteRefusedEntry(int panel, int control, const char *what, float kept) {
    char typed[64], low[32], high[32], shown[32], note[300];
    double lowest = 0.0, highest = 0.0;
    if (GetCtrlRefusedEntry(panel, control, typed, sizeof typed, &lowest, &highest) != 1) return;
    formatSetting(low, sizeof low, (float)lowest);
    formatSetting(high, sizeof high, (float)highest);
    formatSetting(shown, sizeof shown, kept);
    std::snprintf(note, sizeof note,
                  "%s %s is outside the field's range of %s to %s: the field kept %s", what,
                  typed[0] != '\0' ? typed : "typed", low, high, shown);
    noteChange(note);
}

// Tells the operator that a panel value is not acted on. The panel file beside the
// program is anyone's to edit: a field of another value type cannot be read into the
// program's variable, and one with other limits can give a value the program does not
// send (an unreadable frequency would go out as "freq 0.000000").
static void refuseSetting(const char *problem) {
    char message[600];
    std::snprintf(message, sizeof message,
                  "%s, so nothing was sent to the instrument.\n\n"
                  "The panel file generator.uir beside the program does not fit this program: "
                  "reinstall the generator, or restore its generator.uir.",
                  problem);
    MessagePopup("generator: setting not used", message);
}

// Reads a float setting into `value` when it can be read and lies within low..high;
// otherwise tells the operator and leaves `value` as it was.
static bool readSetting(int panel, int control, const char *what, float low, float high,
                        const char *limits, float *value) {
    float read = 0.0f;
    char problem[200];
    if (GetCtrlVal(panel, control, &read) < 0) {
        std::snprintf(problem, sizeof problem, "The %s could not be read from the panel", what);
    } else if (!(read >= low && read <= high)) {
        char shown[100];
        formatSetting(shown, sizeof shown, read);
        std::snprintf(problem, sizeof problem, "The %s %s is outside %s", what, shown, limits);
    } else {
        *value = read;
        return true;
    }
    refuseSetting(problem);
    return false;
}

int Ampl(int panel, int control, int event, void *callbackData, int eventData1, int eventData2) {
    (void)control, (void)callbackData, (void)eventData1, (void)eventData2;
    if (event == EVENT_COMMIT &&
        readSetting(panel, PANEL_AMPL, "amplitude (Vpp)", AMPLITUDE_MIN_VPP, AMPLITUDE_MAX_VPP,
                    "0.05 to 10", &Um)) {
        noteRefusedEntry(panel, PANEL_AMPL, "Amplitude", Um);
        SendSin(Freq, Alpha, Um);
    }
    return 0;
}

int Uhel(int panel, int control, int event, void *callbackData, int eventData1, int eventData2) {
    (void)control, (void)callbackData, (void)eventData1, (void)eventData2;
    if (event == EVENT_COMMIT && readSetting(panel, PANEL_ANGLE, "angle (degrees)", 0.0f,
                                             ANGLE_MAX_DEGREES, "0 to 180", &Alpha)) {
        noteRefusedEntry(panel, PANEL_ANGLE, "Angle", Alpha);
        SendSin(Freq, Alpha, Um);
    }
    return 0;
}

// Freq from the value and the decade controls. The product is rounded to float
// after each decade and then truncated, so 9.99 at decade 2 gives 998 Hz
// (998.99994). Above 1 MHz the frequency stays at 1 MHz and the panel shows it.
// Each of these changes to what the operator set is noted for the status line.
static void applyFrequencyControls(int panel) {
    signed char decade = 0;
    float m = 0.0f;
    if (GetCtrlVal(panel, PANEL_DECADE, &decade) < 0 || decade < 0 || decade > TOP_DECADE) {
        refuseSetting("The frequency decade could not be read from the panel, or is not 0 to 6");
        return;
    }
    if (!readSetting(panel, PANEL_FREQ, "frequency value", 0.0f, FREQ_VALUE_MAX, "0 to 9.999", &m))
        return;
    noteRefusedEntry(panel, PANEL_FREQ, "Frequency value", m);
    if (decade == TOP_DECADE && m > 1.0) {
        Freq = CEILING_HZ;
        SetCtrlVal(panel, PANEL_FREQ, 1.0f);
        SetCtrlVal(panel, PANEL_DECADE, TOP_DECADE);
        noteChange(
            "Frequency limited to 1 MHz, the highest this program sends: value set to 1.000");
    } else {
        // What the operator asked for, the value as its shortest decimal times the
        // decade, against the whole hertz the single-precision rule gives.
        char shown[32];
        formatSetting(shown, sizeof shown, m);
        double asked = 0.0;
        std::from_chars(shown, shown + std::strlen(shown), asked);
        for (signed char k = 0; k < decade; k++) {
            m = m * 10.0f;
            asked *= 10.0;
        }
        Freq = std::trunc(m);
        if (std::fabs(asked - Freq) > 1e-6 * std::max(1.0, asked)) {
            char askedText[64], sent[32], note[200];
            std::to_chars_result r = std::to_chars(askedText, askedText + sizeof askedText - 1,
                                                   asked, std::chars_format::fixed, 6);
            *(r.ec == std::errc() ? r.ptr : askedText) = '\0';
            size_t n = std::strlen(askedText);
            while (n > 0 && askedText[n - 1] == '0') askedText[--n] = '\0';
            if (n > 0 && askedText[n - 1] == '.') askedText[--n] = '\0';
            formatSetting(sent, sizeof sent, Freq);
            std::snprintf(note, sizeof note,
                          "Frequency %s Hz sent as %s Hz: the program sends whole hertz", askedText,
                          sent);
            noteChange(note);
        }
    }
    SendSin(Freq, Alpha, Um);
}

int Frekv(int panel, int control, int event, void *callbackData, int eventData1, int eventData2) {
    (void)control, (void)callbackData, (void)eventData1, (void)eventData2;
    if (event == EVENT_COMMIT) applyFrequencyControls(panel);
    return 0;
}

int rad(int panel, int control, int event, void *callbackData, int eventData1, int eventData2) {
    (void)control, (void)callbackData, (void)eventData1, (void)eventData2;
    if (event == EVENT_COMMIT) applyFrequencyControls(panel);
    return 0;
}

// Bound to the graph; the preview is drawn by the upload alone.
int Graf(int panel, int control, int event, void *callbackData, int eventData1, int eventData2) {
    (void)panel, (void)control, (void)event, (void)callbackData, (void)eventData1, (void)eventData2;
    return 0;
}

int Identify(int panel, int control, int event, void *callbackData, int eventData1,
             int eventData2) {
    (void)panel, (void)control, (void)callbackData, (void)eventData1, (void)eventData2;
    if (event == EVENT_COMMIT) idn(IAdress[0]);
    return 0;
}

// Quit button and close box: ends the event loop and returns the instrument to
// its front panel, so that the operator can use it by hand again.
int Exit(int panel, int control, int event, void *callbackData, int eventData1, int eventData2) {
    (void)panel, (void)control, (void)callbackData, (void)eventData1, (void)eventData2;
    if (event == EVENT_COMMIT) {
        QuitUserInterface(0);
        EnableLocal(BOARD, IAdress);
    }
    return 0;
}

// ---- The instrument ------------------------------------------------------------

// The instrument the driver library reaches, in the operator's words: a GPIB
// address, a LAN or USB resource, and whether it is the simulated instrument.
static void nameInstrument(char *out, size_t size) {
    const GpibInstrument instrument = gpib_instrument(INSTRUMENT);
    switch (instrument.link) {
        case GpibInstrument::Link::Socket:
        case GpibInstrument::Link::Usb:
            std::snprintf(out, size, "%.300s", instrument.resource.c_str());
            break;
        case GpibInstrument::Link::Unmapped:
            std::snprintf(out, size, "no instrument chosen for address %d", INSTRUMENT);
            break;
        case GpibInstrument::Link::Bus:
            std::snprintf(out, size, "GPIB address %d", instrument.busAddress);
            break;
    }
    if (instrument.simulated && std::strlen(out) + 13 < size) std::strcat(out, " (simulated)");
}

// The window's title names the instrument.
static void showInstrumentInTitle(void) {
    char name[360], title[400];
    nameInstrument(name, sizeof name);
    std::snprintf(title, sizeof title, "Waveform generator \u2014 %s", name);
    SetPanelTitle(panelHandle, title);
}

// One generator per instrument: a second one would upload its own settings over
// the first one's, and each would then show what the instrument no longer has.
// False, after telling the operator which process holds it, when another does;
// nothing has been sent then.
static bool claimInstrument(char *argv[]) {
    const GpibInstrument instrument = gpib_instrument(INSTRUMENT);
    long holder = 0;
    std::string why;
    GpibClaim claim = gpib_claim_instrument(instrument, &holder, why);
    if (claim == GpibClaim::Unguarded)
        std::fprintf(stderr,
                     "generator: cannot make sure that no other generator controls the "
                     "instrument: %s\n",
                     why.c_str());
    if (claim != GpibClaim::Held) return true;
    char message[600], process[40] = "";
    if (holder > 0) std::snprintf(process, sizeof process, " (process %ld)", holder);
    std::snprintf(message, sizeof message,
                  "generator is already controlling %.400s%s; quit it first",
                  gpib_instrument_phrase(instrument).c_str(), process);
    std::fprintf(stderr, "generator: %s\n", message);
    std::fflush(stderr);
    if (InitCVIRTE(0, argv, 0) != 0) MessagePopup("generator: instrument in use", message);
    return false;
}

// ---- Choosing the instrument -------------------------------------------------------

// The resource text that names the instrument of `choice` (see gpib_link.h).
static void choiceResource(const InstrumentChoice *choice, char *out, size_t size) {
    if (choice->link == INSTRUMENT_LAN) {
        // An IPv6 address holds "::" itself, so it goes in brackets.
        const bool ipv6 = std::strchr(choice->host, ':') != nullptr && choice->host[0] != '[';
        std::snprintf(out, size, ipv6 ? "TCPIP::[%s]::%d::SOCKET" : "TCPIP::%s::%d::SOCKET",
                      choice->host, choice->port);
    } else if (choice->link == INSTRUMENT_USB) {
        std::snprintf(out, size, "USBTMC::%s", choice->device);
    } else {
        std::snprintf(out, size, "GPIB0::%d::INSTR", choice->gpibAddress);
    }
}

// Test: asks the chosen instrument who it is, through the link choosing it would bind.
static int testInstrument(const InstrumentChoice *choice, char *message, int messageSize) {
    char resource[600];
    choiceResource(choice, resource, sizeof resource);
    std::string answer, why;
    const bool answered = gpib_query_identity(resource, INSTRUMENT, answer, why);
    std::snprintf(message, (size_t)messageSize, "%s",
                  answered ? (answer.empty() ? "(an empty line)" : answer.c_str()) : why.c_str());
    return answered ? 1 : 0;
}

// Use: makes the chosen instrument generator's own. The one before goes back to
// its front panel; the new one is prepared as at start-up and gets the panel's
// settings at once, and the status line names it before the upload's outcome.
static int useInstrument(const InstrumentChoice *choice, char *message, int messageSize) {
    char resource[600];
    choiceResource(choice, resource, sizeof resource);
    std::string why;
    if (!gpib_choose_instrument(resource, INSTRUMENT, why)) {
        std::snprintf(message, (size_t)messageSize, "Not changed: %s", why.c_str());
        return 0;
    }
    EnableLocal(BOARD, IAdress);
    gpib_pick_library_for(INSTRUMENT);
    IAdress[0] = (Addr4882_t)gpib_instrument(INSTRUMENT).busAddress;
    SendIFC(BOARD);
    EnableRemote(BOARD, IAdress);
    showInstrumentInTitle();
    char name[360], note[400];
    nameInstrument(name, sizeof name);
    std::snprintf(note, sizeof note, "Instrument chosen: %s", name);
    noteChange(note);
    SendSin(Freq, Alpha, Um);
    message[0] = '\0';
    return 1;
}

int Instrument(int panel, int control, int event, void *callbackData, int eventData1,
               int eventData2) {
    (void)panel, (void)control, (void)callbackData, (void)eventData1, (void)eventData2;
    if (event != EVENT_COMMIT) return 0;
    const GpibInstrument now = gpib_instrument(INSTRUMENT);
    InstrumentChoice choice{};
    choice.link = INSTRUMENT_GPIB;
    choice.gpibAddress = IAdress[0] & 0xFF;
    choice.port = 5025;
    if (now.link == GpibInstrument::Link::Socket) {
        choice.link = INSTRUMENT_LAN;
        std::snprintf(choice.host, sizeof choice.host, "%s", now.host.c_str());
        choice.port = std::atoi(now.port.c_str());
    } else if (now.link == GpibInstrument::Link::Usb) {
        choice.link = INSTRUMENT_USB;
        std::snprintf(choice.device, sizeof choice.device, "%s", now.device.c_str());
    } else if (now.link == GpibInstrument::Link::Unmapped) {
        choice.link = INSTRUMENT_LAN;
    }
    const std::string note = gpib_choice_note(INSTRUMENT);
    InstrumentChoicePopup("Instrument", note.c_str(), &choice, testInstrument, useInstrument);
    return 0;
}

// ---- Entry ----------------------------------------------------------------------

// The bus is prepared before the GUI starts; the default waveform is uploaded
// before the panel is first shown, so that the panel shows what the instrument
// got. Returns -1 (exit status 255) when the GUI cannot start or the panel file
// cannot be loaded; the run-time has then said why on stderr.
// What generator tells the run-time about itself: its name, the texts of --help, its icon.
static const ProgramIdentity identity{
    "generator",
    "Builds one period of a phase-cut sine from a frequency, an amplitude and an\n"
    "angle, and uploads it to the arbitrary-waveform generator at GPIB address 8\n"
    "(board 0): at start-up and after every committed setting.\n",
    "  GPIB_LIBRARY         the GPIB driver library: a path or a library name\n"
    "                       (default libgpib.so.0, the Linux GPIB library, or the\n"
    "                       SCPI link when instruments.conf or LABBENCH_INSTRUMENT_8\n"
    "                       names a LAN or USB instrument for address 8)\n"
    "  GPIB_TRACE           1: print every GPIB call on stderr\n"
    "  LABBENCH_INSTRUMENT_<N>, LABBENCH_IO_TIMEOUT_MS\n"
    "                       the instrument at address N, and the time-out (ms), for\n"
    "                       the SCPI link driver library (LAN or USB instruments)\n",
    "With the simulated instrument (labbench-sim) also BENCH_SIM_STATE, GPIB_SIM_LOG,\n"
    "GPIB_SIM_BYTES_PER_S and GPIB_SIM_TIMEOUT_MS; see labbench-sim(1).\n",
    "generator.uir",
    program_icon_svg,
};

int main(int argc, char *argv[]) {
    HandleCommandLine(identity, argc, argv);
    // A LAN or USB instrument named for address 8 is reached through the SCPI link,
    // one on the bus at the GPIB address the operator chose for it.
    gpib_pick_library_for(INSTRUMENT);
    IAdress[0] = (Addr4882_t)gpib_instrument(INSTRUMENT).busAddress;
    if (!claimInstrument(argv)) return 1;
    SendIFC(BOARD);
    EnableRemote(BOARD, IAdress);
    if (InitCVIRTE(0, argv, 0) == 0) return -1;
    panelHandle = LoadPanel(0, "generator.uir", PANEL);
    if (panelHandle < 0) return -1;
    showInstrumentInTitle();
    // The preview spans one period and the full code range whatever the angle,
    // so that tables of different angles are drawn to the same scale.
    SetAxisScalingMode(panelHandle, PANEL_GRAPH, AXIS_X, SCALE_FIXED, 0.0, 360.0);
    SetAxisScalingMode(panelHandle, PANEL_GRAPH, AXIS_LEFT_Y, SCALE_FIXED, -1.0, 1.0);
    SendSin(Freq, Alpha, Um);
    DisplayPanel(panelHandle);
    RunUserInterface();
    DiscardPanel(panelHandle);
    return 0;
}
