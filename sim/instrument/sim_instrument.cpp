// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated arbitrary-waveform generator's protocol side (see
// sim_instrument.h): message framing, the SCPI parser and command table, the
// settings, the error queue, the reply and the published output model. No
// bus, time-out or status word here: those are the host's.
#include "sim_instrument.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bench_state.h"

namespace siminstrument {

void warn_once(std::string &last, const std::string &message) {
    if (message == last) return;
    last = message;
    std::fprintf(stderr, "labbench simulated instrument: %s\n", message.c_str());
}

namespace {

constexpr const char *kIdentification = "LabBench,SimWave 3600,SIM0001,1.0";

constexpr double kMinFrequencyHz = 100e-6;
constexpr double kMaxFrequencyHz = 15e6;
constexpr double kMinAmplitudeVpp = 0.05;
constexpr double kMaxAmplitudeVpp = 10.0;
constexpr std::size_t kMinPoints = 8;
constexpr std::size_t kMaxPoints = 16000;
constexpr int kMaxCode = 2047;
constexpr std::size_t kErrorQueueLength = 20;
// Bytes held of a message not yet terminated: room for the largest block
// (16000 points) and its command. Beyond that the held message is dropped.
constexpr std::size_t kInputBufferBytes = 65536;

// The SCPI errors this instrument queues (the host's -420 is in the header).
constexpr ScpiError kSyntaxError{-102, "Syntax error"};
constexpr ScpiError kParameterNotAllowed{-108, "Parameter not allowed"};
constexpr ScpiError kMissingParameter{-109, "Missing parameter"};
constexpr ScpiError kUndefinedHeader{-113, "Undefined header"};
constexpr ScpiError kBlockDataError{-160, "Block data error"};
constexpr ScpiError kSettingsConflict{-221, "Settings conflict"};
constexpr ScpiError kDataOutOfRange{-222, "Data out of range"};
constexpr ScpiError kIllegalParameterValue{-224, "Illegal parameter value"};
constexpr ScpiError kQueueOverflow{-350, "Queue overflow"};
// The output could not be published to the bench state file; the text after
// the ';' names the file and the system's reason.
constexpr int kDeviceSpecificError = -300;
constexpr std::size_t kMaxErrorText = 200;
constexpr ScpiError kInputBufferOverrun{-363, "Input buffer overrun"};
constexpr ScpiError kQueryInterrupted{-410, "Query INTERRUPTED"};

// ---- Parsing -----------------------------------------------------------------

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

struct Unit {
    std::string_view header;
    std::string_view parameters;  // leading blanks removed; trailing kept (block bytes)
    bool query;
};

enum class Number { Valid, NotANumber, OutOfRange };

// A decimal number. One that is well formed but beyond what a double holds
// (1e400, or 1e-400) is OutOfRange: a setting's -222, not a syntax error.
Number parse_number(std::string_view text, double &value) {
    text = trim(text);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return Number::NotANumber;
    char first = text.front();
    if (!(is_digit(first) || first == '.' || first == '-')) return Number::NotANumber;
    auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ptr != text.data() + text.size()) return Number::NotANumber;
    if (result.ec == std::errc::result_out_of_range) return Number::OutOfRange;
    if (result.ec != std::errc() || !std::isfinite(value)) return Number::NotANumber;
    return Number::Valid;
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

const std::vector<Choice> kByteOrders{{"NORMal", "NORM"}, {"SWAPped", "SWAP"}};
const std::vector<Choice> kShapes{{"SINusoid", "SIN"}, {"SQUare", "SQU"}, {"TRIangle", "TRI"},
                                  {"RAMP", "RAMP"},    {"NOISe", "NOIS"}, {"DC", "DC"},
                                  {"USER", "USER"}};
const std::vector<Choice> kUserWaveforms{{"VOLATILE", "VOLATILE"}};

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

// Decodes the (non-empty) block of DATA:DAC: a definite-length block ("#", a digit
// giving the number of count digits, the count, that many bytes; blanks may
// follow) of 16-bit codes, most significant byte first unless `swapped`.
// Returns nullptr with the codes in `points`, or the error to queue: -160
// for a malformed block or odd count, -222 for a point count outside
// 8..16000 or a code outside -2047..+2047.
const ScpiError *decode_dac_block(std::string_view block, bool swapped,
                                  std::vector<std::int16_t> &points) {
    if (block.front() != '#') return &kBlockDataError;
    bool complete = false;
    std::size_t length = block_length(block, 0, complete);
    if (length == 0 || !complete) return &kBlockDataError;
    if (!trim(block.substr(length)).empty()) return &kBlockDataError;
    // The header is "#", one digit N and exactly N count digits; the data
    // follow at once and may themselves be digits.
    std::size_t header = 2 + std::size_t(block[1] - '0');
    std::string_view bytes = block.substr(header, length - header);
    if (bytes.size() % 2 != 0) return &kBlockDataError;

    std::size_t count = bytes.size() / 2;
    if (count < kMinPoints || count > kMaxPoints) return &kDataOutOfRange;
    points.assign(count, 0);
    for (std::size_t i = 0; i < count; ++i) {
        unsigned first = (unsigned char)bytes[2 * i];
        unsigned second = (unsigned char)bytes[2 * i + 1];
        unsigned word = swapped ? (second << 8 | first) : (first << 8 | second);
        int code = std::int16_t(word);
        if (code < -kMaxCode || code > kMaxCode) return &kDataOutOfRange;
        points[i] = std::int16_t(code);
    }
    return nullptr;
}

}  // namespace

// ---- The instrument's state and commands ---------------------------------------

struct Instrument::State {
    // Input and output.
    bool remote = false;  // set by the host's bus
    std::string input;    // bytes of a message not yet terminated
    std::string reply;    // reply not yet read
    std::size_t reply_read = 0;

    // Instrument settings.
    bool swapped = false;  // FORM:BORD SWAP: least significant byte first
    std::string function = "SIN";
    double frequency_hz = 1000.0;
    double amplitude_vpp = 0.1;
    std::string user_waveform = "VOLATILE";
    std::vector<std::int16_t> volatile_points;
    struct QueuedError {
        int number;
        std::string text;
    };
    std::deque<QueuedError> errors;

    // What was last written to the state file.
    bool published = false;
    // An upload or a selection of the output since the last publish: published
    // even when this instrument holds the same output as before, because another
    // instrument (another process on the same bench) may have written the state
    // file meanwhile, and the board must measure what was selected last.
    bool output_commanded = false;
    std::string published_path;
    benchsim::BenchOutput last_output;
    bool publish_failed = false;  // the last write of last_output failed
    std::string publish_warning;  // the last failure reported
    std::string path_warning;     // the last BENCH_SIM_STATE refused

    void push_error(int number, std::string text) {
        auto &queue = errors;
        if (queue.size() < kErrorQueueLength) {
            queue.push_back({number, std::move(text)});
        } else {
            queue.back() = {kQueueOverflow.number, kQueueOverflow.text};
        }
    }
    void push_error(const ScpiError &error) { push_error(error.number, error.text); }

    // A numeric setting: -109 without a value, -102 when it is not a number,
    // -222 (old value kept) outside low..high.
    void set_number(const Unit &unit, double low, double high, double &setting) {
        std::string_view text = trim(unit.parameters);
        double value = 0;
        if (text.empty()) return push_error(kMissingParameter);
        Number number = parse_number(text, value);
        if (number == Number::NotANumber) return push_error(kSyntaxError);
        if (number == Number::OutOfRange || value < low || value > high)
            return push_error(kDataOutOfRange);
        setting = value;
    }

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

    const std::vector<std::int16_t> &selected_user_points() {
        // VOLATILE is the only user waveform memory this instrument has.
        return volatile_points;
    }

    void reset_settings() {
        swapped = false;
        function = "SIN";
        frequency_hz = 1000.0;
        amplitude_vpp = 0.1;
        user_waveform = "VOLATILE";
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
        std::vector<std::int16_t> points;
        if (const ScpiError *error = decode_dac_block(block, swapped, points))
            return push_error(*error);
        volatile_points = std::move(points);
        output_commanded = true;
    }

    std::string next_error() {
        if (errors.empty()) return "+0,\"No error\"";
        QueuedError error = std::move(errors.front());
        errors.pop_front();
        return std::to_string(error.number) + ",\"" + error.text + "\"";
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
                if (unit.query) return responses.push_back(format_number(frequency_hz));
                return set_number(unit, kMinFrequencyHz, kMaxFrequencyHz, frequency_hz);
            case Action::Voltage:
                if (unit.query) return responses.push_back(format_number(amplitude_vpp));
                return set_number(unit, kMinAmplitudeVpp, kMaxAmplitudeVpp, amplitude_vpp);
            case Action::ByteOrder:
                if (unit.query) return responses.push_back(swapped ? "SWAP" : "NORM");
                if (const Choice *order = choose(unit, kByteOrders))
                    swapped = std::string_view(order->stored) == "SWAP";
                return;
            case Action::DacData:
                return load_user_data(unit);
            case Action::UserWaveform:
                if (unit.query) return responses.push_back(user_waveform);
                if (const Choice *name = choose(unit, kUserWaveforms)) {
                    // Only loaded waveform memory can be selected.
                    if (selected_user_points().empty()) return push_error(kSettingsConflict);
                    user_waveform = name->stored;
                    output_commanded = true;
                }
                return;
            case Action::Shape:
                if (unit.query) return responses.push_back(function);
                if (const Choice *shape = choose(unit, kShapes)) {
                    if (std::string_view(shape->stored) == "USER" && selected_user_points().empty())
                        return push_error(kSettingsConflict);
                    function = shape->stored;
                    output_commanded = true;
                }
                return;
            case Action::SystemError:
                return responses.push_back(next_error());
            case Action::Identify:
                return responses.push_back(kIdentification);
            case Action::Reset:
                return reset_settings();
            case Action::Clear:
                errors.clear();
                return;
            case Action::OperationComplete:
                return responses.push_back("1");
        }
    }

    // Executes one terminated message: its units separated by ';' (a ';' inside
    // a binary block is data). Queries' responses form one reply.
    void execute_message(std::string_view message) {
        if (trim(message).empty()) return;
        if (reply_read < reply.size()) push_error(kQueryInterrupted);
        reply.clear();
        reply_read = 0;

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
            if (i) reply += ';';
            reply += responses[i];
        }
        reply += '\n';
    }

    // Takes bytes from the bus; runs every message they complete.
    void take_bytes(std::string_view bytes, bool end_or_identify) {
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

    void publish() {
        const benchsim::BenchOutput &last = last_output;
        bool signal_changed =
            !published || function != last.function || frequency_hz != last.frequency_hz ||
            amplitude_vpp != last.amplitude_vpp || user_waveform != last.user_waveform ||
            selected_user_points() != last.points;
        // A new BENCH_SIM_STATE gets the output at once, changed or not.
        std::string refusal;
        std::string path = benchsim::bench_state_path(&refusal);
        if (!refusal.empty()) warn_once(path_warning, refusal);
        bool unchanged = published && !signal_changed && !output_commanded &&
                         remote == last.remote && path == published_path;
        // An output that could not be written is tried again at every call,
        // so that the file catches up once there is room again.
        if (unchanged && !publish_failed) return;
        output_commanded = false;
        benchsim::BenchOutput output;
        output.function = function;
        output.frequency_hz = frequency_hz;
        output.amplitude_vpp = amplitude_vpp;
        output.user_waveform = user_waveform;
        output.remote = remote;
        output.points = selected_user_points();
        output.since_ns = signal_changed ? benchsim::monotonic_ns() : last.since_ns;
        std::string error;
        publish_failed = !benchsim::write_bench_state(path, output, error);
        if (publish_failed) {
            warn_once(publish_warning, "cannot publish the output model: " + error +
                                           " (set BENCH_SIM_STATE to a writable file)");
            // Where the operator looks: the error queue, once for each output
            // that could not be published (a retry of the same one adds none).
            if (!unchanged) {
                std::string text = "Device-specific error;" + error;
                if (text.size() > kMaxErrorText) text.resize(kMaxErrorText);
                for (char &c : text)
                    if (c == '"' || (unsigned char)c < 0x20) c = '\'';
                push_error(kDeviceSpecificError, std::move(text));
            }
        }
        last_output = std::move(output);
        published = true;
        published_path = path;
    }
};

// ---- The host's interface -------------------------------------------------------

Instrument::Instrument() : state_(std::make_unique<State>()) {}
Instrument::~Instrument() = default;

void Instrument::take_bytes(std::string_view bytes, bool end) { state_->take_bytes(bytes, end); }

void Instrument::clear_io() {
    state_->input.clear();
    state_->reply.clear();
    state_->reply_read = 0;
}

bool Instrument::has_reply() const { return state_->reply_read < state_->reply.size(); }

std::size_t Instrument::read_reply(char *out, std::size_t max, int stop_byte, bool &last) {
    State &s = *state_;
    std::size_t copied = 0;
    while (copied < max && s.reply_read < s.reply.size()) {
        char c = s.reply[s.reply_read++];
        out[copied++] = c;
        if (stop_byte >= 0 && (unsigned char)c == stop_byte) break;
    }
    last = s.reply_read >= s.reply.size();
    if (last) {
        s.reply.clear();
        s.reply_read = 0;
    }
    return copied;
}

void Instrument::push_error(const ScpiError &error) { state_->push_error(error); }
std::string Instrument::next_error() { return state_->next_error(); }

bool Instrument::remote() const { return state_->remote; }
void Instrument::set_remote(bool remote) { state_->remote = remote; }

void Instrument::publish() { state_->publish(); }

}  // namespace siminstrument
