// SPDX-License-Identifier: GPL-3.0-or-later
// The one table of GPIB error codes and status bits with their names and
// meanings, and the one byte escaping of traces (see gpib_codes.h).
#include "gpib_codes.h"

#include <array>
#include <cstdio>

#define GPIB_DRIVER_CONSTANTS_ONLY
#include "gpib_driver.h"

namespace {

constexpr GpibCode kErrorCodes[] = {
    {EDVR, "EDVR", "system error"},
    {ECIC, "ECIC", "board is not controller-in-charge"},
    {ENOL, "ENOL", "no listeners on the bus"},
    {EADR, "EADR", "board not addressed correctly"},
    {EARG, "EARG", "invalid argument"},
    {ESAC, "ESAC", "board is not system controller"},
    {EABO, "EABO", "I/O operation aborted (time-out)"},
    {ENEB, "ENEB", "no such board"},
    {EDMA, "EDMA", "DMA error"},
    {EOIP, "EOIP", "I/O operation already in progress"},
    {ECAP, "ECAP", "capability not supported"},
    {EFSO, "EFSO", "file system error"},
    {EBUS, "EBUS", "bus error"},
    {ESTB, "ESTB", "serial poll status byte lost"},
    {ESRQ, "ESRQ", "SRQ line stuck on"},
    {ETAB, "ETAB", "table problem"},
};

constexpr GpibCode kStatusBits[] = {
    {ERR, "ERR", "error"},
    {TIMO, "TIMO", "time-out"},
    {END, "END", "EOI or end byte seen"},
    {SRQI, "SRQI", "SRQ line asserted"},
    {RQS, "RQS", "device requests service"},
    {SPOLL, "SPOLL", "board serial-polled"},
    {EVENT, "EVENT", "event queued"},
    {CMPL, "CMPL", "complete"},
    {LOK, "LOK", "lockout state"},
    {REM, "REM", "remote state"},
    {CIC, "CIC", "controller-in-charge"},
    {ATN, "ATN", "ATN asserted"},
    {TACS, "TACS", "talker"},
    {LACS, "LACS", "listener"},
    {DTAS, "DTAS", "device trigger"},
    {DCAS, "DCAS", "device clear"},
};

const GpibCode *find_error(int error) {
    for (const GpibCode &entry : kErrorCodes)
        if (entry.code == error) return &entry;
    return nullptr;
}

}  // namespace

std::span<const GpibCode> gpib_error_codes() { return kErrorCodes; }
std::span<const GpibCode> gpib_status_bits() { return kStatusBits; }

const char *gpib_error_name(int error) {
    if (const GpibCode *entry = find_error(error)) return entry->name;
    thread_local char unknown[24];
    std::snprintf(unknown, sizeof unknown, "E?%d", error);
    return unknown;
}

const char *gpib_error_text(int error) {
    // "NAME: meaning", built once so that the text outlives every call.
    static const auto texts = [] {
        std::array<std::string, std::size(kErrorCodes)> joined;
        for (std::size_t i = 0; i < joined.size(); ++i)
            joined[i] = std::string(kErrorCodes[i].name) + ": " + kErrorCodes[i].meaning;
        return joined;
    }();
    if (const GpibCode *entry = find_error(error)) return texts[entry - kErrorCodes].c_str();
    return "unknown error";
}

std::string gpib_status_names(int status, std::string_view separator) {
    std::string names;
    for (const GpibCode &entry : kStatusBits) {
        if (!(status & entry.code)) continue;
        if (!names.empty()) names += separator;
        names += entry.name;
    }
    return names;
}

std::string gpib_escaped_bytes(std::string_view bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() + 8);
    for (unsigned char c : bytes) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c >= 0x20 && c < 0x7F) {
                    out += char(c);
                } else {
                    out += "\\x";
                    out += kHex[c >> 4];
                    out += kHex[c & 15];
                }
        }
    }
    return out;
}
