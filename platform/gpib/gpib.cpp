// SPDX-License-Identifier: GPL-3.0-or-later
// IEEE 488.2 bus routines, forwarded to a GPIB driver library bound at run time.
//
// The driver is opened with dlopen on the first routine called (GPIB_LIBRARY,
// else the library the program chose, else libgpib.so.0) and every routine the
// programs use is resolved at once, so that a library lacking one is refused as
// a whole rather than failing halfway through a conversation with the
// instrument. The driver library has the Linux GPIB library's ABI, whose
// address type is unsigned and whose end-mode numbers differ from the
// programs' (see to_driver_end_mode); this file converts both.
// A driver that cannot be bound turns every routine into a failure with ERR and
// EDVR, announced once on stderr. GPIB_TRACE=1 prints each call on stderr.
#include "gpib.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>

#include "environment.h"
#include "gpib_testing.h"
#include "library.h"

// The program-side status words. They carry the same names as the driver
// library's own variables, so they must never interpose on them: hidden
// visibility keeps them out of the executable's dynamic symbol table even if
// someone links with -rdynamic, and the driver is opened RTLD_LOCAL. (The
// library is static and the executables are not built with exported symbols;
// keep it that way.)
__attribute__((visibility("hidden"))) int ibsta = 0;
__attribute__((visibility("hidden"))) int iberr = 0;
__attribute__((visibility("hidden"))) int ibcnt = 0;

namespace {

using DriverAddr = GpibDriverAddr;

constexpr const char *kDefaultLibrary = "libgpib.so.0";

// A bus has at most this many primary addresses; a list longer than that without
// its NOADDR terminator is treated as malformed instead of being read on and on.
constexpr int kMaxAddressList = GPIB_DRIVER_MAX_PRIMARY_ADDRESS + 1;

// Bytes of a transfer shown by the trace.
constexpr long kTraceBytes = 40;

// The most of a driver's failure text that is taken: it goes into a status line.
constexpr std::size_t kMaxDriverText = 400;

struct Driver {
    bool attempted = false;
    bool bound = false;
    bool trace = false;
    std::string library;
    std::string problem;  // why the library cannot be used, when it cannot
    void *handle = nullptr;

    void (*sendIfc)(int) = nullptr;
    void (*enableRemote)(int, const DriverAddr *) = nullptr;
    void (*enableLocal)(int, const DriverAddr *) = nullptr;
    void (*send)(int, DriverAddr, const void *, long, int) = nullptr;
    void (*receive)(int, DriverAddr, void *, long, int) = nullptr;

    // Status: the per-thread functions where exported, else the variables.
    int (*threadIbsta)() = nullptr;
    int (*threadIberr)() = nullptr;
    int (*threadIbcnt)() = nullptr;
    volatile int *varIbsta = nullptr;
    volatile int *varIberr = nullptr;
    volatile int *varIbcnt = nullptr;

    // The driver's own text for a failure; optional, older drivers lack it.
    const char *(*errorString)(int) = nullptr;
};

Driver &driver() {
    static Driver instance;
    return instance;
}

// The library the program chose (gpib_use_library), which GPIB_LIBRARY overrides.
std::string &chosen_library() {
    static std::string name;
    return name;
}

void report_unbound(Driver &d, const std::string &reason) {
    d.problem = "cannot use the GPIB driver library " + d.library + ": " + reason;
    std::fprintf(stderr,
                 "gpib: %s. Every GPIB routine will fail with EDVR; install the Linux GPIB "
                 "library or set GPIB_LIBRARY to the path of the driver library.\n",
                 d.problem.c_str());
    std::fflush(stderr);
}

// Looks up one symbol; empty text when found, else the loader's reason. A routine
// must be a function and a status variable a data object: a library exporting a
// routine's name as data would otherwise be called into its data (SIGSEGV).
template <typename T>
std::string resolve(void *handle, const char *name, T &target) {
    dlerror();
    void *symbol = dlsym(handle, name);
    if (symbol == nullptr) {
        const char *why = dlerror();
        return why != nullptr ? why : std::string("symbol ") + name + " is null";
    }
    Dl_info info;
    void *found = nullptr;
    if (dladdr1(symbol, &info, &found, RTLD_DL_SYMENT) == 0 || found == nullptr)
        return std::string("the loader cannot say what ") + name + " is";
    const int type = ELF64_ST_TYPE(static_cast<const ElfW(Sym) *>(found)->st_info);
    const bool isFunction = type == STT_FUNC || type == STT_GNU_IFUNC;
    if (std::is_function_v<std::remove_pointer_t<T>> != isFunction)
        return std::string(name) +
               (isFunction ? " is a routine, not a variable" : " is a data object, not a routine");
    target = reinterpret_cast<T>(symbol);
    return {};
}

Driver &bound_driver() {
    Driver &d = driver();
    if (d.attempted) return d;
    d.attempted = true;
    d.trace = labbench::env_switch("GPIB_TRACE");
    d.library = labbench::env_text("GPIB_LIBRARY");
    if (d.library.empty()) d.library = chosen_library();
    if (d.library.empty()) d.library = kDefaultLibrary;

    std::string why;
    d.handle = labbench::open_library(d.library, why);
    if (d.handle == nullptr) {
        report_unbound(d, why);
        return d;
    }

    std::string missing;
    auto need = [&](const char *name, auto &target) {
        if (!missing.empty()) return;
        std::string why = resolve(d.handle, name, target);
        if (!why.empty()) missing = std::string("it lacks the routine ") + name + " (" + why + ")";
    };
    need("SendIFC", d.sendIfc);
    need("EnableRemote", d.enableRemote);
    need("EnableLocal", d.enableLocal);
    need("Send", d.send);
    need("Receive", d.receive);

    auto status = [&](const char *function, auto &threadTarget, const char *variable,
                      auto &variableTarget) {
        if (!missing.empty()) return;
        if (resolve(d.handle, function, threadTarget).empty()) return;
        if (!resolve(d.handle, variable, variableTarget).empty())
            missing =
                std::string("it exports neither ") + function + " nor the variable " + variable;
    };
    status("ThreadIbsta", d.threadIbsta, "ibsta", d.varIbsta);
    status("ThreadIberr", d.threadIberr, "iberr", d.varIberr);
    status("ThreadIbcnt", d.threadIbcnt, "ibcnt", d.varIbcnt);

    if (!missing.empty()) {
        report_unbound(d, missing);
        dlclose(d.handle);
        Driver reset;
        reset.attempted = true;
        reset.trace = d.trace;
        reset.library = d.library;
        reset.problem = d.problem;
        d = reset;
        return d;
    }
    // A routine's text is optional: without it, failures are told by their code alone.
    if (!resolve(d.handle, "gpib_error_string", d.errorString).empty()) d.errorString = nullptr;
    d.bound = true;
    return d;
}

void set_outcome(int status, int error, int count) {
    ibsta = status;
    iberr = error;
    ibcnt = count;
}

// Copies the driver's status of the routine just called; the count is kept
// within [0, limit] so that a caller indexing its buffer with ibcnt stays inside it.
void take_driver_status(const Driver &d, long limit) {
    int status = d.threadIbsta ? d.threadIbsta() : *d.varIbsta;
    int error = d.threadIberr ? d.threadIberr() : *d.varIberr;
    int count = d.threadIbcnt ? d.threadIbcnt() : *d.varIbcnt;
    if (count < 0) count = 0;
    if (count > limit) count = static_cast<int>(limit);
    set_outcome(status, error, count);
}

void set_unbound_outcome() { set_outcome(ERR, EDVR, 0); }
void set_refused_outcome() { set_outcome(ERR, EARG, 0); }

// Calls the driver through `call` when it is bound and the caller's arguments
// are `valid`, and takes its status (the count within [0, limit]); otherwise
// the driver is not called, and the outcome says it is missing (EDVR) or the
// arguments were refused (EARG).
template <class Call>
void call_driver(const Driver &d, bool valid, long limit, Call call) {
    if (!d.bound) {
        set_unbound_outcome();
    } else if (!valid) {
        set_refused_outcome();
    } else {
        call();
        take_driver_status(d, limit);
    }
}

int to_driver_end_mode(int endMode) {
    switch (endMode) {
        case NULLend:
            return GPIB_DRIVER_NULLend;
        case DABend:
            return GPIB_DRIVER_DABend;
        case NLend:
            return GPIB_DRIVER_NLend;
        default:
            return -1;
    }
}

const char *end_mode_name(int endMode) {
    switch (endMode) {
        case NULLend:
            return "NULLend";
        case DABend:
            return "DABend";
        case NLend:
            return "NLend";
        default:
            return "unknown end mode";
    }
}

// Copies a NOADDR-terminated list into the driver's type; false when the list
// is missing or has no terminator within the bus's address range.
bool to_driver_list(const Addr4882_t *list, DriverAddr (&out)[kMaxAddressList + 1]) {
    if (list == nullptr) return false;
    for (int i = 0; i <= kMaxAddressList; ++i) {
        out[i] = static_cast<DriverAddr>(list[i]);
        if (list[i] == NOADDR) return true;
    }
    return false;
}

// The first kTraceBytes bytes of a transfer, quoted, "..." after them when cut.
std::string escaped(const void *buffer, long count) {
    long shown = count < kTraceBytes ? count : kTraceBytes;
    std::string text =
        "\"" + gpib_escaped_bytes({static_cast<const char *>(buffer), std::size_t(shown)}) + "\"";
    if (count > shown) text += "...";
    return text;
}

std::string address_text(Addr4882_t address) {
    return std::to_string(static_cast<DriverAddr>(address));
}

std::string list_text(const Addr4882_t *list) {
    if (list == nullptr) return "no list";
    std::string text = "addresses";
    for (int i = 0; i <= kMaxAddressList; ++i) {
        if (list[i] == NOADDR) return text;
        text += ' ';
        text += address_text(list[i]);
    }
    return text + " (no NOADDR at the end)";
}

// One trace line: the call as given, then the outcome now in ibsta/iberr/ibcnt.
void trace(const Driver &d, const std::string &call, const std::string &tail = {}) {
    if (!d.trace) return;
    char status[16];
    std::snprintf(status, sizeof status, "0x%04X", static_cast<unsigned>(ibsta) & 0xFFFFu);
    std::string line =
        "gpib: " + call + " -> ibsta " + status + " <" + gpib_status_names(ibsta) + ">";
    if (ibsta & ERR) line += std::string(", iberr ") + gpib_error_name(iberr);
    line += ", ibcnt " + std::to_string(ibcnt) + tail + "\n";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

std::string board_text(int board) { return "board " + std::to_string(board); }

}  // namespace

void SendIFC(int board) {
    Driver &d = bound_driver();
    call_driver(d, true, 0, [&] { d.sendIfc(board); });
    trace(d, "SendIFC(" + board_text(board) + ")");
}

static void enable(const char *routine, void (*Driver::*entry)(int, const DriverAddr *), int board,
                   const Addr4882_t addressList[]) {
    Driver &d = bound_driver();
    DriverAddr list[kMaxAddressList + 1];
    // The caller's list is read only for a bound driver.
    const bool valid = d.bound && to_driver_list(addressList, list);
    call_driver(d, valid, 0, [&] { (d.*entry)(board, list); });
    trace(d, std::string(routine) + "(" + board_text(board) + ", " + list_text(addressList) + ")");
}

void EnableRemote(int board, const Addr4882_t addressList[]) {
    enable("EnableRemote", &Driver::enableRemote, board, addressList);
}

void EnableLocal(int board, const Addr4882_t addressList[]) {
    enable("EnableLocal", &Driver::enableLocal, board, addressList);
}

void Send(int board, Addr4882_t address, const void *buffer, long count, int endMode) {
    Driver &d = bound_driver();
    int driverEndMode = to_driver_end_mode(endMode);
    bool valid = count >= 0 && (buffer != nullptr || count == 0) && driverEndMode >= 0;
    call_driver(d, valid, count, [&] {
        d.send(board, static_cast<DriverAddr>(address), buffer, count, driverEndMode);
    });
    if (d.trace) {
        std::string bytes;
        if (valid && buffer != nullptr) bytes.append(" ").append(escaped(buffer, count));
        trace(d, "Send(" + board_text(board) + ", address " + address_text(address) + ", " +
                     std::to_string(count) + (count == 1 ? " byte" : " bytes") + bytes + ", " +
                     end_mode_name(endMode) + ")");
    }
}

void Receive(int board, Addr4882_t address, void *buffer, long count, int termination) {
    Driver &d = bound_driver();
    bool valid = count >= 0 && (buffer != nullptr || count == 0);
    call_driver(d, valid, count, [&] {
        d.receive(board, static_cast<DriverAddr>(address), buffer, count, termination);
    });
    if (d.trace) {
        char term[32];
        if (termination == STOPend)
            std::snprintf(term, sizeof term, "STOPend");
        else
            std::snprintf(term, sizeof term, "end byte 0x%02X", termination & 0xFF);
        std::string received = valid && buffer != nullptr ? ": " + escaped(buffer, ibcnt) : "";
        trace(d,
              "Receive(" + board_text(board) + ", address " + address_text(address) + ", max " +
                  std::to_string(count) + " bytes, " + term + ")",
              received);
    }
}

std::string gpib_error_hint(int error, int primaryAddress) {
    const std::string at = std::to_string(primaryAddress);
    switch (error) {
        case EDVR:
            return "GPIB driver error: the driver library is not bound or the board cannot be "
                   "opened; install and configure the Linux GPIB library, or set GPIB_LIBRARY to "
                   "the driver library";
        case ECIC:
            return "the GPIB board is not controller-in-charge: clear the interface (SendIFC) and "
                   "make the board the system controller";
        case ENOL:
            return "no listener at address " + at + ": is the instrument on and set to address " +
                   at + "?";
        case EADR:
            return "addressing failed for address " + at + ": use a primary address from 0 to " +
                   std::to_string(GPIB_DRIVER_MAX_PRIMARY_ADDRESS);
        case EARG:
            return "invalid argument to a GPIB routine: check the address list, byte count and "
                   "end mode";
        case ESAC:
            return "the GPIB board is not the system controller: configure it as system controller";
        case EABO:
            return "time-out: the instrument at address " + at + " is busy or not answering";
        case ENEB:
            return "no such GPIB board: check that the interface is installed and configured as "
                   "board 0";
        case EDMA:
            return "DMA error on the GPIB board: check the driver's board configuration";
        case EOIP:
            return "an asynchronous GPIB operation is still in progress";
        case ECAP:
            return "the GPIB board or driver does not support this operation";
        case EFSO:
            return "file system error in the GPIB driver";
        case EBUS:
            return "GPIB bus error: command bytes were not accepted; check the cables and that "
                   "every device on the bus is powered";
        case ESTB:
            return "serial-poll status bytes were lost";
        case ESRQ:
            return "a device keeps the service request line asserted";
        case ETAB:
            return "GPIB table problem: too many devices in an address list";
        default:
            return std::string("unknown GPIB error ") + gpib_error_name(error);
    }
}

std::string gpib_driver_library() { return bound_driver().library; }

std::string gpib_driver_problem() { return bound_driver().problem; }

std::string gpib_driver_error_text(int error) {
    const Driver &d = bound_driver();
    if (!d.bound || d.errorString == nullptr) return {};
    const char *text = d.errorString(error);
    if (text == nullptr || text[0] == '\0') return {};
    // A driver that only repeats the code's meaning adds nothing to its name.
    if (std::strcmp(text, gpib_error_text(error)) == 0) return {};
    return std::string(text, strnlen(text, kMaxDriverText));
}

std::string gpib_library_for_choice(const std::string &library) {
    std::string named = labbench::env_text("GPIB_LIBRARY");
    if (named.empty()) named = library.empty() ? kDefaultLibrary : library;
    return named;
}

void gpib_use_library(const std::string &library) {
    chosen_library() = library;
    Driver &d = driver();
    // The same library stays bound, with the connections and state it holds.
    if (d.attempted && gpib_library_for_choice(library) == d.library) return;
    if (d.handle != nullptr) dlclose(d.handle);
    d = Driver{};
}

void gpib_unbind_for_testing() {
    Driver &d = driver();
    if (d.handle != nullptr) dlclose(d.handle);
    d = Driver{};
    chosen_library().clear();
    set_outcome(0, 0, 0);
}
