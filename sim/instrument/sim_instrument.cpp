// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated arbitrary-waveform generator, built as a GPIB driver library.
//
// A program binds this library exactly as it binds the Linux GPIB library
// (same routines, status functions and variables, same end-mode numbers), and
// finds on "the bus" one instrument: an arbitrary-waveform generator at
// primary address 8 behind board 0. The instrument parses SCPI messages,
// keeps an error queue, holds a volatile user waveform and publishes its
// output model (function, frequency, amplitude, selected user waveform) to
// the bench state file after every change, so the simulated board can
// measure what it outputs.
//
// Bus behaviour:
//  - board 0 is the only board (others: ERR, ENEB). A transfer before
//    SendIFC fails with ECIC (the board is not controller-in-charge).
//  - only address 8 answers (others: ENOL); a primary address above 30 or a
//    malformed secondary address is EARG.
//  - EnableRemote asserts REN and puts the listed instrument in remote;
//    EnableLocal with the instrument in its list returns it to local, with
//    an empty list unasserts REN (everything local).
//  - A message ends at EOI, or at a newline outside a binary block (the
//    IEEE 488.2 terminators); bytes sent without either are held until the
//    terminating part arrives. NLend appends that newline. After a Send,
//    ibcnt is the caller's byte count (the appended newline not included).
//  - Receive with nothing to say waits the time-out, then ends with
//    ERR|TIMO, iberr EABO, ibcnt 0, and queues -420 Query UNTERMINATED.
//    A reply ends with a newline sent with EOI (END in ibsta); a reply longer
//    than the buffer is left for the next Receive. A new message arriving
//    before a reply is read discards the reply and queues -410.
//
// Commands (keywords case-insensitive, short or long form, an optional
// leading colon; message units separated by ';', each resolved from the
// root of the command tree):
//   FREQuency <Hz> | FREQuency?          100 uHz .. 15 MHz
//   VOLTage <Vpp> | VOLTage?             0.05 .. 10 Vpp
//   FORMat:BORDer NORMal|SWAPped | ?     byte order of blocks that follow;
//                                        NORM at power-on and after *RST
//   DATA:DAC VOLATILE,<block>            IEEE 488.2 definite-length block of
//                                        8..16000 16-bit codes -2047..+2047
//   FUNCtion:USER VOLATILE | ?           selects the user waveform
//   FUNCtion[:SHAPe] SIN|SQU|TRI|RAMP|NOIS|DC|USER | ?
//   SYSTem:ERRor[:NEXT]?                 oldest queued error, or +0,"No error"
//   *IDN?  *RST  *CLS  *OPC?
// Power-on and *RST: SIN, 1 kHz, 0.1 Vpp, NORM, user waveform VOLATILE.
// *RST keeps the volatile waveform and the error queue. A rejected setting
// keeps the old value. Error queue: 20 entries, then -350 Queue overflow.
// Errors: -102 Syntax error, -108 Parameter not allowed, -109 Missing
// parameter, -113 Undefined header, -160 Block data error (not a definite
// block, odd count, count not matching the bytes that follow), -221 Settings
// conflict (USER selected with no waveform loaded), -222 Data out of range
// (limits, point count, codes), -224 Illegal parameter value (unknown
// choice), -350, -363 Input buffer overrun (more than 64 KiB of one message
// without its end: the held part is dropped), -410, -420.
//
// Environment:
//   BENCH_SIM_STATE=<file>      the bench state file (shared with the
//                               simulated board); default
//                               $XDG_RUNTIME_DIR/labbench-bench.state, or
//                               that name in $TMPDIR or /tmp.
//   GPIB_SIM_LOG=<file>         append one line per routine call (below).
//   GPIB_SIM_TIMEOUT_MS=<ms>    Receive time-out with nothing to say
//                               (default 100 ms, 0..600000).
//   GPIB_SIM_BYTES_PER_S=<n>    bus speed: each transfer sleeps bytes/n
//                               seconds (default: instant).
// All are read at every call, so a test may change them between calls.
//
// Log line format (GPIB_SIM_LOG), one line per routine call, fields
// separated by single spaces, always in this order:
//   <routine> board=<n> addr=<a> mode=<m> count=<n> data="<bytes>"
//       ibsta=0x<4 hex digits> status=<bit names joined by |> iberr=<name> ibcnt=<n>
//   routine  SendIFC, EnableRemote, EnableLocal, Send or Receive
//   addr     the primary address (decimal, with +secondary as "8+96"); for
//            EnableRemote/EnableLocal the list, comma-separated; "-" if none
//   mode     Send: NULLend, DABend, NLend (else the number);
//            Receive: STOPend or the termination byte as 0xNN; else "-"
//   count    the byte count the caller passed ("-" where none)
//   data     the bytes that crossed the bus, including the newline NLend
//            appends: printable ASCII as is, \\ \" \n \r \t, else \xHH
//   iberr    the error name (ENOL, ...) when ERR is set, else "-"
// Each line is written with one append, so processes may share a log.
//
// Threads: every routine takes one lock; status is kept per thread
// (Thread* functions) and in the global variables.
#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "bench_state.h"
#include "gpib_codes.h"
#include "gpib_driver.h"

extern "C" {
volatile int ibsta = 0;
volatile int iberr = 0;
volatile int ibcnt = 0;
volatile long ibcntl = 0;
}

namespace {

constexpr int kInstrumentAddress = 8;
constexpr int kMaxPrimaryAddress = 30;
constexpr const char *kIdentification = "LabBench,SimWave 3600,SIM0001,1.0";

constexpr double kMinFrequencyHz = 100e-6;
constexpr double kMaxFrequencyHz = 15e6;
constexpr double kMinAmplitudeVpp = 0.05;
constexpr double kMaxAmplitudeVpp = 10.0;
constexpr std::size_t kMinPoints = 8;
constexpr std::size_t kMaxPoints = 16000;
constexpr int kMaxCode = 2047;
constexpr std::size_t kErrorQueueLength = 20;
constexpr long kDefaultTimeoutMs = 100;
// Bytes held of a message not yet terminated: room for the largest block
// (16000 points) and its command. Beyond that the held message is dropped.
constexpr std::size_t kInputBufferBytes = 65536;

// SCPI error numbers and their texts.
struct ScpiError {
    int number;
    const char *text;
};
constexpr ScpiError kSyntaxError{-102, "Syntax error"};
constexpr ScpiError kParameterNotAllowed{-108, "Parameter not allowed"};
constexpr ScpiError kMissingParameter{-109, "Missing parameter"};
constexpr ScpiError kUndefinedHeader{-113, "Undefined header"};
constexpr ScpiError kBlockDataError{-160, "Block data error"};
constexpr ScpiError kSettingsConflict{-221, "Settings conflict"};
constexpr ScpiError kDataOutOfRange{-222, "Data out of range"};
constexpr ScpiError kIllegalParameterValue{-224, "Illegal parameter value"};
constexpr ScpiError kQueueOverflow{-350, "Queue overflow"};
constexpr ScpiError kInputBufferOverrun{-363, "Input buffer overrun"};
constexpr ScpiError kQueryInterrupted{-410, "Query INTERRUPTED"};
constexpr ScpiError kQueryUnterminated{-420, "Query UNTERMINATED"};

struct Instrument {
    // Bus side.
    bool controller_in_charge = false;  // this board, after SendIFC
    bool remote_enable = false;         // the REN line
    bool remote = false;                // the instrument's remote state
    std::string input;                  // bytes of a message not yet terminated
    std::string reply;                  // reply not yet read
    std::size_t reply_read = 0;

    // Instrument settings.
    bool swapped = false;  // FORM:BORD SWAP: least significant byte first
    std::string function = "SIN";
    double frequency_hz = 1000.0;
    double amplitude_vpp = 0.1;
    std::string user_waveform = "VOLATILE";
    std::vector<std::int16_t> volatile_points;
    std::deque<ScpiError> errors;

    // What was last written to the state file.
    bool published = false;
    std::string published_path;
    benchsim::BenchOutput last_output;
};

std::mutex bus_mutex;
Instrument instrument;

thread_local int thread_status = 0;
thread_local int thread_error = 0;
thread_local long thread_count = 0;

// ---- Helpers ---------------------------------------------------------------

void warn_once(std::string &last, const std::string &message) {
    if (message == last) return;
    last = message;
    std::fprintf(stderr, "labbench simulated instrument: %s\n", message.c_str());
}

// Character classes of the ASCII protocol, independent of the user's locale
// (a Turkish locale, for one, does not upper-case 'i' to 'I').
bool is_lower(char c) { return c >= 'a' && c <= 'z'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alnum(char c) { return is_lower(c) || (c >= 'A' && c <= 'Z') || is_digit(c); }
char to_upper(char c) { return is_lower(c) ? char(c - 'a' + 'A') : c; }

bool equals_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (to_upper(a[i]) != to_upper(b[i])) return false;
    return true;
}

// A SCPI keyword such as "FREQuency" matches its short form (the capitals,
// "FREQ") or its long form, in any case.
bool keyword_matches(std::string_view word, std::string_view keyword) {
    std::size_t short_length = 0;
    while (short_length < keyword.size() && !is_lower(keyword[short_length])) ++short_length;
    return equals_ignoring_case(word, keyword) ||
           equals_ignoring_case(word, keyword.substr(0, short_length));
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view trim(std::string_view text) {
    while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
    return text;
}

long environment_number(const char *name, long fallback, long low, long high,
                        std::string &last_warning) {
    const char *text = std::getenv(name);
    if (!text || !*text) return fallback;
    long value = 0;
    auto result = std::from_chars(text, text + std::strlen(text), value);
    if (result.ec != std::errc() || *result.ptr || value < low || value > high) {
        warn_once(last_warning, std::string(name) + "='" + text + "' is not a number from " +
                                    std::to_string(low) + " to " + std::to_string(high) +
                                    "; using " + std::to_string(fallback));
        return fallback;
    }
    return value;
}

void push_error(const ScpiError &error) {
    auto &queue = instrument.errors;
    if (queue.size() < kErrorQueueLength) {
        queue.push_back(error);
    } else {
        queue.back() = kQueueOverflow;
    }
}

// Length of a definite-length block starting at text[at] == '#', or 0 when
// the bytes there do not (yet) form one. `complete` is false when the header
// or data runs past the end of `text`.
std::size_t block_length(std::string_view text, std::size_t at, bool &complete) {
    complete = true;
    if (at + 1 >= text.size()) {
        complete = false;
        return 0;
    }
    char digits_char = text[at + 1];
    if (digits_char < '1' || digits_char > '9') return 0;
    std::size_t digits = std::size_t(digits_char - '0');
    if (at + 2 + digits > text.size()) {
        complete = false;
        return 0;
    }
    std::size_t count = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        char c = text[at + 2 + i];
        if (c < '0' || c > '9') return 0;
        count = count * 10 + std::size_t(c - '0');
    }
    std::size_t length = 2 + digits + count;
    if (at + length > text.size()) complete = false;
    return length;
}

// ---- Command execution -------------------------------------------------------

struct Unit {
    std::string_view header;
    std::string_view parameters;  // leading blanks removed; trailing kept (block bytes)
    bool query;
};

bool parse_number(std::string_view text, double &value) {
    text = trim(text);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return false;
    char first = text.front();
    if (!(is_digit(first) || first == '.' || first == '-')) return false;
    auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    return result.ec == std::errc() && result.ptr == text.data() + text.size() &&
           std::isfinite(value);
}

// A numeric setting: -109 without a value, -102 when it is not a number,
// -222 (old value kept) outside low..high.
void set_number(const Unit &unit, double low, double high, double &setting) {
    std::string_view text = trim(unit.parameters);
    double value = 0;
    if (text.empty()) return push_error(kMissingParameter);
    if (!parse_number(text, value)) return push_error(kSyntaxError);
    if (value < low || value > high) return push_error(kDataOutOfRange);
    setting = value;
}

std::string format_number(double value) {
    char buf[64];
    auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific, 9);
    return std::string(buf, result.ptr);
}

struct Choice {
    const char *keyword;  // SCPI form, capitals = short form
    const char *stored;   // the value kept and published
};

// One of a list of keywords: -109 without one, -224 for any other word.
const Choice *choose(const Unit &unit, const std::vector<Choice> &choices) {
    std::string_view word = trim(unit.parameters);
    if (word.empty()) {
        push_error(kMissingParameter);
        return nullptr;
    }
    for (const Choice &choice : choices)
        if (keyword_matches(word, choice.keyword)) return &choice;
    push_error(kIllegalParameterValue);
    return nullptr;
}

const std::vector<Choice> kByteOrders{{"NORMal", "NORM"}, {"SWAPped", "SWAP"}};
const std::vector<Choice> kShapes{{"SINusoid", "SIN"}, {"SQUare", "SQU"}, {"TRIangle", "TRI"},
                                  {"RAMP", "RAMP"},    {"NOISe", "NOIS"}, {"DC", "DC"},
                                  {"USER", "USER"}};
const std::vector<Choice> kUserWaveforms{{"VOLATILE", "VOLATILE"}};

const std::vector<std::int16_t> &selected_user_points() {
    // VOLATILE is the only user waveform memory this instrument has.
    return instrument.volatile_points;
}

void reset_settings() {
    instrument.swapped = false;
    instrument.function = "SIN";
    instrument.frequency_hz = 1000.0;
    instrument.amplitude_vpp = 0.1;
    instrument.user_waveform = "VOLATILE";
}

// DATA:DAC VOLATILE,<block>: the block is decoded in the byte order in force.
// Any fault rejects the whole block and keeps the waveform held before.
void load_user_data(const Unit &unit) {
    std::string_view parameters = unit.parameters;
    std::size_t comma = parameters.find(',');
    std::string_view name = trim(parameters.substr(0, comma));
    if (name.empty() || comma == std::string_view::npos) return push_error(kMissingParameter);
    bool known = false;
    for (const Choice &choice : kUserWaveforms)
        if (equals_ignoring_case(name, choice.keyword)) known = true;
    if (!known) return push_error(kIllegalParameterValue);

    std::string_view block = parameters.substr(comma + 1);
    while (!block.empty() && is_space(block.front())) block.remove_prefix(1);
    if (block.empty()) return push_error(kMissingParameter);
    if (block.front() != '#') return push_error(kBlockDataError);
    bool complete = false;
    std::size_t length = block_length(block, 0, complete);
    if (length == 0 || !complete) return push_error(kBlockDataError);
    if (!trim(block.substr(length)).empty()) return push_error(kBlockDataError);
    std::size_t header = block.find_first_not_of("0123456789", 2);
    std::string_view bytes = block.substr(header, length - header);
    if (bytes.size() % 2 != 0) return push_error(kBlockDataError);

    std::size_t count = bytes.size() / 2;
    if (count < kMinPoints || count > kMaxPoints) return push_error(kDataOutOfRange);
    std::vector<std::int16_t> points(count);
    for (std::size_t i = 0; i < count; ++i) {
        unsigned first = (unsigned char)bytes[2 * i];
        unsigned second = (unsigned char)bytes[2 * i + 1];
        unsigned word = instrument.swapped ? (second << 8 | first) : (first << 8 | second);
        int code = std::int16_t(word);
        if (code < -kMaxCode || code > kMaxCode) return push_error(kDataOutOfRange);
        points[i] = std::int16_t(code);
    }
    instrument.volatile_points = std::move(points);
}

std::string next_error_reply() {
    if (instrument.errors.empty()) return "+0,\"No error\"";
    ScpiError error = instrument.errors.front();
    instrument.errors.pop_front();
    return std::to_string(error.number) + ",\"" + error.text + "\"";
}

enum class Action {
    Frequency,
    Voltage,
    ByteOrder,
    DacData,
    UserWaveform,
    Shape,
    SystemError,
    Identify,
    Reset,
    Clear,
    OperationComplete,
};

struct CommandEntry {
    std::vector<const char *> path;  // keywords; a common command is one "*XXX" entry
    bool query;
    bool takes_parameters;
    Action action;
};

const std::vector<CommandEntry> kCommands{
    {{"FREQuency"}, false, true, Action::Frequency},
    {{"FREQuency"}, true, false, Action::Frequency},
    {{"VOLTage"}, false, true, Action::Voltage},
    {{"VOLTage"}, true, false, Action::Voltage},
    {{"FORMat", "BORDer"}, false, true, Action::ByteOrder},
    {{"FORMat", "BORDer"}, true, false, Action::ByteOrder},
    {{"DATA", "DAC"}, false, true, Action::DacData},
    {{"FUNCtion", "USER"}, false, true, Action::UserWaveform},
    {{"FUNCtion", "USER"}, true, false, Action::UserWaveform},
    {{"FUNCtion", "SHAPe"}, false, true, Action::Shape},
    {{"FUNCtion", "SHAPe"}, true, false, Action::Shape},
    {{"FUNCtion"}, false, true, Action::Shape},
    {{"FUNCtion"}, true, false, Action::Shape},
    {{"SYSTem", "ERRor"}, true, false, Action::SystemError},
    {{"SYSTem", "ERRor", "NEXT"}, true, false, Action::SystemError},
    {{"*IDN"}, true, false, Action::Identify},
    {{"*RST"}, false, false, Action::Reset},
    {{"*CLS"}, false, false, Action::Clear},
    {{"*OPC"}, true, false, Action::OperationComplete},
};

const CommandEntry *find_command(std::string_view header, bool query) {
    std::vector<std::string_view> words;
    if (header.front() == '*') {
        words.push_back(header);
    } else {
        if (header.front() == ':') header.remove_prefix(1);
        while (true) {
            std::size_t colon = header.find(':');
            words.push_back(header.substr(0, colon));
            if (colon == std::string_view::npos) break;
            header.remove_prefix(colon + 1);
        }
    }
    for (const CommandEntry &entry : kCommands) {
        if (entry.query != query || entry.path.size() != words.size()) continue;
        bool match = true;
        for (std::size_t i = 0; i < words.size() && match; ++i)
            match = words[i].front() == '*' ? equals_ignoring_case(words[i], entry.path[i])
                                            : keyword_matches(words[i], entry.path[i]);
        if (match) return &entry;
    }
    return nullptr;
}

bool header_is_well_formed(std::string_view header) {
    if (header.empty()) return false;
    std::size_t start = 0;
    if (header[0] == '*') {
        start = 1;
    } else if (header[0] == ':') {
        start = 1;
    }
    if (start >= header.size()) return false;
    bool after_colon = true;
    for (std::size_t i = start; i < header.size(); ++i) {
        char c = header[i];
        if (c == ':' && header[0] != '*') {
            if (after_colon) return false;  // "::" or a leading "::"
            after_colon = true;
        } else if (is_alnum(c)) {
            after_colon = false;
        } else {
            return false;
        }
    }
    return !after_colon;
}

// Executes one message unit; a query appends its response to `responses`.
void execute_unit(std::string_view text, std::vector<std::string> &responses) {
    while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
    if (trim(text).empty()) return;
    std::size_t end = 0;
    while (end < text.size() && !is_space(text[end])) ++end;
    Unit unit{text.substr(0, end), text.substr(end), false};
    while (!unit.parameters.empty() && is_space(unit.parameters.front()))
        unit.parameters.remove_prefix(1);
    if (unit.header.back() == '?') {
        unit.query = true;
        unit.header.remove_suffix(1);
    }
    if (!header_is_well_formed(unit.header)) return push_error(kSyntaxError);
    const CommandEntry *command = find_command(unit.header, unit.query);
    if (!command) return push_error(kUndefinedHeader);
    if (!command->takes_parameters && !trim(unit.parameters).empty())
        return push_error(kParameterNotAllowed);

    switch (command->action) {
        case Action::Frequency:
            if (unit.query) return responses.push_back(format_number(instrument.frequency_hz));
            return set_number(unit, kMinFrequencyHz, kMaxFrequencyHz, instrument.frequency_hz);
        case Action::Voltage:
            if (unit.query) return responses.push_back(format_number(instrument.amplitude_vpp));
            return set_number(unit, kMinAmplitudeVpp, kMaxAmplitudeVpp, instrument.amplitude_vpp);
        case Action::ByteOrder:
            if (unit.query) return responses.push_back(instrument.swapped ? "SWAP" : "NORM");
            if (const Choice *order = choose(unit, kByteOrders))
                instrument.swapped = std::string_view(order->stored) == "SWAP";
            return;
        case Action::DacData:
            return load_user_data(unit);
        case Action::UserWaveform:
            if (unit.query) return responses.push_back(instrument.user_waveform);
            if (const Choice *name = choose(unit, kUserWaveforms)) {
                // Only loaded waveform memory can be selected.
                if (selected_user_points().empty()) return push_error(kSettingsConflict);
                instrument.user_waveform = name->stored;
            }
            return;
        case Action::Shape:
            if (unit.query) return responses.push_back(instrument.function);
            if (const Choice *shape = choose(unit, kShapes)) {
                if (std::string_view(shape->stored) == "USER" && selected_user_points().empty())
                    return push_error(kSettingsConflict);
                instrument.function = shape->stored;
            }
            return;
        case Action::SystemError:
            return responses.push_back(next_error_reply());
        case Action::Identify:
            return responses.push_back(kIdentification);
        case Action::Reset:
            return reset_settings();
        case Action::Clear:
            instrument.errors.clear();
            return;
        case Action::OperationComplete:
            return responses.push_back("1");
    }
}

// Executes one terminated message: its units separated by ';' (a ';' inside
// a binary block is data). Queries' responses form one reply.
void execute_message(std::string_view message) {
    if (trim(message).empty()) return;
    if (instrument.reply_read < instrument.reply.size()) push_error(kQueryInterrupted);
    instrument.reply.clear();
    instrument.reply_read = 0;

    std::vector<std::string> responses;
    std::size_t unit_start = 0;
    for (std::size_t i = 0; i <= message.size(); ++i) {
        if (i < message.size() && message[i] == '#') {
            bool complete = false;
            std::size_t length = block_length(message, i, complete);
            if (length) {
                i = std::min(message.size(), i + length) - 1;
                continue;
            }
        }
        if (i == message.size() || message[i] == ';') {
            execute_unit(message.substr(unit_start, i - unit_start), responses);
            unit_start = i + 1;
        }
    }
    if (responses.empty()) return;
    for (std::size_t i = 0; i < responses.size(); ++i) {
        if (i) instrument.reply += ';';
        instrument.reply += responses[i];
    }
    instrument.reply += '\n';
}

// Takes bytes from the bus; runs every message they complete.
void take_bytes(std::string_view bytes, bool end_or_identify) {
    std::string &input = instrument.input;
    input.append(bytes);
    std::size_t i = 0;
    std::size_t message_start = 0;
    while (i < input.size()) {
        if (input[i] == '#') {
            bool complete = false;
            std::size_t length = block_length(input, i, complete);
            if (!complete) {
                i = input.size();  // the rest arrives later, or EOI ends the message
                break;
            }
            if (length) {
                i += length;
                continue;
            }
        }
        if (input[i] == '\n') {
            execute_message(std::string_view(input).substr(message_start, i - message_start));
            message_start = i + 1;
        }
        ++i;
    }
    if (end_or_identify) {
        if (message_start < input.size())
            execute_message(std::string_view(input).substr(message_start));
        input.clear();
    } else {
        input.erase(0, message_start);
        if (input.size() > kInputBufferBytes) {
            input.clear();
            push_error(kInputBufferOverrun);
        }
    }
}

// ---- Output model --------------------------------------------------------------

void publish_output() {
    static std::string last_warning;
    const benchsim::BenchOutput &last = instrument.last_output;
    bool signal_changed = !instrument.published || instrument.function != last.function ||
                          instrument.frequency_hz != last.frequency_hz ||
                          instrument.amplitude_vpp != last.amplitude_vpp ||
                          instrument.user_waveform != last.user_waveform ||
                          selected_user_points() != last.points;
    // A new BENCH_SIM_STATE gets the output at once, changed or not.
    std::string path = benchsim::bench_state_path();
    if (!signal_changed && instrument.remote == last.remote && path == instrument.published_path)
        return;
    benchsim::BenchOutput output;
    output.function = instrument.function;
    output.frequency_hz = instrument.frequency_hz;
    output.amplitude_vpp = instrument.amplitude_vpp;
    output.user_waveform = instrument.user_waveform;
    output.remote = instrument.remote;
    output.points = selected_user_points();
    output.since_ns = signal_changed ? benchsim::monotonic_ns() : last.since_ns;
    std::string error;
    if (!benchsim::write_bench_state(path, output, error)) {
        warn_once(last_warning, "cannot publish the output model: " + error +
                                    " (set BENCH_SIM_STATE to a writable file)");
    }
    // Remembered even when the write failed, so a broken path is reported
    // once and not retried on every call.
    instrument.last_output = std::move(output);
    instrument.published = true;
    instrument.published_path = path;
}

// ---- Status, logging, bus time ------------------------------------------------

std::string address_text(GpibDriverAddr address) {
    std::string text = std::to_string(address & 0xFF);
    if (address >> 8) text.append("+").append(std::to_string(address >> 8));
    return text;
}

// The log's status field: bit names joined by '|', "-" for none.
std::string status_text(int status) {
    std::string names = gpib_status_names(status, "|");
    return names.empty() ? "-" : names;
}

struct Call {
    Call(const char *routine_name, int board_index, std::string device = "-")
        : routine(routine_name), board(board_index), address(std::move(device)) {}
    const char *routine;
    int board;
    std::string address;
    std::string mode = "-";
    std::string count = "-";
    std::string data;
};

void finish(const Call &call, int status, int error, long count) {
    if (instrument.controller_in_charge) status |= CIC;
    ibsta = status;
    iberr = error;
    ibcnt = int(count);
    ibcntl = count;
    thread_status = status;
    thread_error = error;
    thread_count = count;

    const char *log_path = std::getenv("GPIB_SIM_LOG");
    if (!log_path || !*log_path) return;
    char status_hex[8];
    std::snprintf(status_hex, sizeof status_hex, "0x%04x", unsigned(status) & 0xFFFF);
    std::string line = std::string(call.routine) + " board=" + std::to_string(call.board) +
                       " addr=" + call.address + " mode=" + call.mode + " count=" + call.count +
                       " data=\"" + gpib_escaped_bytes(call.data) + "\" ibsta=" + status_hex +
                       " status=" + status_text(status) +
                       " iberr=" + ((status & ERR) ? gpib_error_name(error) : "-") +
                       " ibcnt=" + std::to_string(count) + "\n";
    static std::string last_warning;
    int fd = open(log_path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 || write(fd, line.data(), line.size()) != ssize_t(line.size())) {
        warn_once(last_warning, std::string("cannot append to GPIB_SIM_LOG file ") + log_path +
                                    ": " + std::strerror(errno));
    }
    if (fd >= 0) close(fd);
}

void fail(const Call &call, int error, int extra_status = 0) {
    finish(call, ERR | extra_status, error, 0);
}

void spend_bus_time(std::size_t bytes) {
    static std::string last_warning;
    long rate = environment_number("GPIB_SIM_BYTES_PER_S", 0, 0, 1000000000L, last_warning);
    if (rate <= 0 || bytes == 0) return;
    std::this_thread::sleep_for(std::chrono::duration<double>(double(bytes) / double(rate)));
}

// Every routine call first makes sure the state file shows the output: at
// the first call (the instrument "switched on") and after BENCH_SIM_STATE
// changed; otherwise this costs a comparison.
void publish_if_due() { publish_output(); }

// Board and controller checks common to every transfer: false after failing the call.
bool board_ready(const Call &call, int board) {
    if (board != 0) {
        fail(call, ENEB);
        return false;
    }
    if (!instrument.controller_in_charge) {
        fail(call, ECIC);
        return false;
    }
    return true;
}

bool address_valid(GpibDriverAddr address) {
    int primary = address & 0xFF;
    int secondary = address >> 8;
    return primary <= kMaxPrimaryAddress &&
           (secondary == 0 || (secondary >= 0x60 && secondary <= 0x7E));
}

// Checks one device address: false after failing the call (EARG, ENOL).
bool device_present(const Call &call, GpibDriverAddr address) {
    if (!address_valid(address)) {
        fail(call, EARG);
        return false;
    }
    if (address != kInstrumentAddress) {
        fail(call, ENOL);
        return false;
    }
    // Addressed while REN is asserted, the instrument goes remote.
    if (instrument.remote_enable) instrument.remote = true;
    return true;
}

std::string address_list_text(const GpibDriverAddr list[]) {
    std::string text;
    for (std::size_t i = 0; list && list[i] != GPIB_DRIVER_NOADDR; ++i) {
        if (!text.empty()) text += ',';
        text += address_text(list[i]);
    }
    return text.empty() ? "-" : text;
}

void change_remote(const char *routine, int board, const GpibDriverAddr list[], bool enable) {
    std::lock_guard lock(bus_mutex);
    publish_if_due();
    Call call{routine, board};
    call.address = address_list_text(list);
    if (!board_ready(call, board)) return;
    bool instrument_listed = false;
    std::size_t count = 0;
    for (; list && list[count] != GPIB_DRIVER_NOADDR; ++count) {
        if (!address_valid(list[count])) return fail(call, EARG);
        if (list[count] != kInstrumentAddress) return fail(call, ENOL);
        instrument_listed = true;
    }
    call.count = std::to_string(count);
    if (enable) {
        instrument.remote_enable = true;
        if (instrument_listed) instrument.remote = true;
    } else if (count == 0) {
        instrument.remote_enable = false;  // REN unasserted: everything goes local
        instrument.remote = false;
    } else {
        instrument.remote = false;  // go to local; REN stays asserted
    }
    publish_output();
    finish(call, CMPL, 0, 0);
}

}  // namespace

// ---- The exported routines ------------------------------------------------------

extern "C" {

void SendIFC(int board) {
    std::lock_guard lock(bus_mutex);
    publish_if_due();
    Call call{"SendIFC", board};
    if (board != 0) return fail(call, ENEB);
    instrument.controller_in_charge = true;
    finish(call, CMPL, 0, 0);
}

void EnableRemote(int board, const GpibDriverAddr addressList[]) {
    change_remote("EnableRemote", board, addressList, true);
}

void EnableLocal(int board, const GpibDriverAddr addressList[]) {
    change_remote("EnableLocal", board, addressList, false);
}

void Send(int board, GpibDriverAddr address, const void *buffer, long count, int eot_mode) {
    std::lock_guard lock(bus_mutex);
    publish_if_due();
    Call call{"Send", board, address_text(address)};
    call.count = std::to_string(count);
    switch (eot_mode) {
        case GPIB_DRIVER_NULLend:
            call.mode = "NULLend";
            break;
        case GPIB_DRIVER_DABend:
            call.mode = "DABend";
            break;
        case GPIB_DRIVER_NLend:
            call.mode = "NLend";
            break;
        default:
            call.mode = std::to_string(eot_mode);
    }
    if (!board_ready(call, board)) return;
    if (count < 0 || (count > 0 && !buffer) || eot_mode < GPIB_DRIVER_NULLend ||
        eot_mode > GPIB_DRIVER_NLend)
        return fail(call, EARG);
    if (!device_present(call, address)) return;

    call.data.assign(static_cast<const char *>(buffer), std::size_t(count));
    if (eot_mode == GPIB_DRIVER_NLend) call.data += '\n';
    spend_bus_time(call.data.size());
    take_bytes(call.data, eot_mode != GPIB_DRIVER_NULLend);
    publish_output();
    finish(call, CMPL, 0, count);
}

void Receive(int board, GpibDriverAddr address, void *buffer, long count, int termination) {
    std::unique_lock lock(bus_mutex);
    publish_if_due();
    Call call{"Receive", board, address_text(address)};
    call.count = std::to_string(count);
    if (termination == STOPend) {
        call.mode = "STOPend";
    } else {
        char text[16];
        std::snprintf(text, sizeof text, "0x%02x", unsigned(termination) & 0xFFFF);
        call.mode = text;
    }
    if (!board_ready(call, board)) return;
    if (count < 0 || (count > 0 && !buffer) || termination < 0 || termination > STOPend)
        return fail(call, EARG);
    if (!device_present(call, address)) return;

    if (instrument.reply_read >= instrument.reply.size()) {
        // Nothing to say: the controller waits out its time-out.
        static std::string last_warning;
        long timeout_ms =
            environment_number("GPIB_SIM_TIMEOUT_MS", kDefaultTimeoutMs, 0, 600000, last_warning);
        push_error(kQueryUnterminated);
        std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
        return fail(call, EABO, TIMO);
    }
    char *out = static_cast<char *>(buffer);
    long received = 0;
    int status = CMPL;
    while (received < count && instrument.reply_read < instrument.reply.size()) {
        char c = instrument.reply[instrument.reply_read++];
        out[received++] = c;
        if (termination != STOPend && (unsigned char)c == termination) break;
    }
    // EOI goes with the reply's last byte; a termination byte also ends the read.
    bool at_end = instrument.reply_read >= instrument.reply.size();
    bool at_termination =
        received > 0 && termination != STOPend && (unsigned char)out[received - 1] == termination;
    if (at_end || at_termination) status |= END;
    if (at_end) {
        instrument.reply.clear();
        instrument.reply_read = 0;
    }
    call.data.assign(out, std::size_t(received));
    spend_bus_time(std::size_t(received));
    finish(call, status, 0, received);
}

int ThreadIbsta(void) { return thread_status; }
int ThreadIberr(void) { return thread_error; }
int ThreadIbcnt(void) { return int(thread_count); }
long ThreadIbcntl(void) { return thread_count; }

const char *gpib_error_string(int error) { return gpib_error_text(error); }

}  // extern "C"
