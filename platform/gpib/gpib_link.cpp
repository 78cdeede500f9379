// SPDX-License-Identifier: GPL-3.0-or-later
// The instrument behind an address (gpib_link.h). The driver libraries are
// told apart by their file names, which the build and the package fix; the
// SCPI link's mapping is read with the same code the link itself uses, so the
// window names exactly the instrument the link will talk to.
#include "gpib_link.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "environment.h"
#include "gpib.h"
#include "instrument_map.h"
#include "shown_text.h"

const char GPIB_SCPI_LINK_LIBRARY[] = "liblabbench_scpi_link.so";
const char GPIB_SIMULATED_LIBRARY[] = "liblabbench_sim_gpib.so";

bool gpib_library_is(const std::string &library, const char *fileName) {
    std::size_t slash = library.rfind('/');
    std::string name = slash == std::string::npos ? library : library.substr(slash + 1);
    // A versioned name (.so.1) is the same library.
    std::size_t n = std::strlen(fileName);
    return name.compare(0, n, fileName) == 0 && (name.size() == n || name[n] == '.');
}

namespace {

// The instrument at `primaryAddress` reached through the driver library
// `library`, with `mapping` the operator's mapping of the address.
GpibInstrument instrument_through(const std::string &library, const scpilink::Mapping &mapping,
                                  int primaryAddress) {
    GpibInstrument instrument;
    instrument.library = library;
    instrument.busAddress = primaryAddress;
    instrument.simulated = gpib_library_is(instrument.library, GPIB_SIMULATED_LIBRARY);
    if (!gpib_library_is(instrument.library, GPIB_SCPI_LINK_LIBRARY)) {
        int bus = 0;
        if (mapping.outcome == scpilink::Mapping::Outcome::Malformed &&
            scpilink::parse_gpib_resource(mapping.text, bus))
            instrument.busAddress = bus;
        return instrument;
    }
    instrument.resource = mapping.text;
    if (mapping.outcome != scpilink::Mapping::Outcome::Found) {
        instrument.link = GpibInstrument::Link::Unmapped;
        instrument.why = mapping.why;
        return instrument;
    }
    instrument.resource = mapping.resource.text;
    if (mapping.resource.kind == scpilink::Resource::Kind::Socket) {
        instrument.link = GpibInstrument::Link::Socket;
        instrument.host = mapping.resource.host;
        instrument.port = mapping.resource.port;
    } else {
        instrument.link = GpibInstrument::Link::Usb;
        instrument.device = mapping.resource.device;
    }
    return instrument;
}

}  // namespace

GpibInstrument gpib_instrument(int primaryAddress) {
    return instrument_through(gpib_driver_library(), scpilink::find_instrument(primaryAddress),
                              primaryAddress);
}

namespace {

// The folder of the running executable, from /proc/self/exe; empty if unknown.
std::string executable_folder() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    const std::string text(path, static_cast<std::size_t>(n));
    return text.substr(0, text.rfind('/'));
}

bool is_regular_file(const std::string &path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

}  // namespace

std::string gpib_scpi_link_path(void) {
    const std::string folder = executable_folder();
    const std::string name = std::string("/") + GPIB_SCPI_LINK_LIBRARY;
    // Installed, bin/ and the private library folder share one prefix.
    if (!folder.empty()) {
        const std::string prefix = folder.substr(0, folder.rfind('/'));
        const std::string installed = prefix + "/" LABBENCH_PKGLIBDIR + name;
        if (is_regular_file(installed)) return installed;
    }
    // A program or a test run from a build tree (the nearest folder above it
    // with a CMakeCache.txt) takes the link built there.
    for (std::string up = folder; up.size() > 1; up = up.substr(0, up.rfind('/'))) {
        if (!is_regular_file(up + "/CMakeCache.txt")) continue;
        const std::string built = up + "/" LABBENCH_SCPI_LINK_IN_TREE + name;
        if (is_regular_file(built)) return built;
        break;
    }
    // Where the package puts it; when it is missing there too, the loader's
    // message names this path.
    return LABBENCH_FULL_PKGLIBDIR + name;
}

namespace {

// Whether a mapping names an instrument on a GPIB bus, or none at all.
bool maps_to_a_bus(const scpilink::Mapping &mapping) {
    int bus = 0;
    return mapping.outcome == scpilink::Mapping::Outcome::Unmapped ||
           (mapping.outcome == scpilink::Mapping::Outcome::Malformed &&
            scpilink::parse_gpib_resource(mapping.text, bus));
}

// The mapping of `primaryAddress` once `resource` is chosen for it: the
// environment's still wins over the file.
scpilink::Mapping mapping_with(const std::string &resource, int primaryAddress) {
    const std::string variable = "LABBENCH_INSTRUMENT_" + std::to_string(primaryAddress);
    if (!labbench::env_text(variable.c_str()).empty())
        return scpilink::find_instrument(primaryAddress);
    scpilink::Mapping mapping;
    mapping.text = resource;
    mapping.origin = "the choice";
    if (scpilink::parse_resource(resource, mapping.resource, mapping.why))
        mapping.outcome = scpilink::Mapping::Outcome::Found;
    else
        mapping.outcome = scpilink::Mapping::Outcome::Malformed;
    return mapping;
}

// `resource` when it names an instrument, else false with `why` saying what is wrong.
bool understood(const std::string &resource, std::string &why) {
    int bus = 0;
    scpilink::Resource parsed;
    return scpilink::parse_gpib_resource(resource, bus) ||
           scpilink::parse_resource(resource, parsed, why);
}

}  // namespace

void gpib_pick_library_for(int primaryAddress) {
    if (!labbench::env_text("GPIB_LIBRARY").empty()) return;
    const scpilink::Mapping mapping = scpilink::find_instrument(primaryAddress);
    gpib_use_library(maps_to_a_bus(mapping) ? std::string() : gpib_scpi_link_path());
}

bool gpib_query_identity(const std::string &resource, int primaryAddress, std::string &answer,
                         std::string &why) {
    if (!understood(resource, why)) return false;
    const scpilink::Mapping mapping = mapping_with(resource, primaryAddress);
    const bool bus = maps_to_a_bus(mapping);
    const GpibInstrument instrument =
        instrument_through(gpib_library_for_choice(bus ? std::string() : gpib_scpi_link_path()),
                           mapping, primaryAddress);
    // The SCPI link takes the mapping from the environment first: for the
    // query it names the instrument to try there, unless the operator's
    // environment names one already, which choosing this one would not change.
    const std::string variable = "LABBENCH_INSTRUMENT_" + std::to_string(primaryAddress);
    const bool override = !bus && labbench::env_text(variable.c_str()).empty();
    if (override) setenv(variable.c_str(), resource.c_str(), 1);
    gpib_use_library(bus ? std::string() : gpib_scpi_link_path());

    static const char query[] = "*IDN?";
    const Addr4882_t address = static_cast<Addr4882_t>(instrument.busAddress);
    char reply[256];
    const char *failed = nullptr;
    Send(0, address, query, sizeof query - 1, DABend);
    if (ibsta & ERR)
        failed = "query *IDN?";
    else {
        Receive(0, address, reply, sizeof reply - 1, STOPend);
        if (ibsta & ERR) failed = "reply to *IDN?";
    }
    if (failed != nullptr) {
        const int error = iberr;
        std::string detail = gpib_driver_error_text(error);
        const std::string code = std::string(gpib_error_name(error)) + ": ";
        if (detail.compare(0, code.size(), code) == 0) detail.erase(0, code.size());
        why = std::string("no answer: the ") + failed + " failed (" + gpib_error_name(error) + ")" +
              (detail.empty() ? "" : ": " + detail) + "; " +
              gpib_failure_advice(error, instrument, instrument.busAddress);
    } else {
        long received = ibcnt;
        while (received > 0 && (reply[received - 1] == '\n' || reply[received - 1] == '\r'))
            --received;
        answer.assign(reply, static_cast<std::size_t>(received));
    }
    if (override) unsetenv(variable.c_str());
    gpib_pick_library_for(primaryAddress);
    return failed == nullptr;
}

bool gpib_choose_instrument(const std::string &resource, int primaryAddress, std::string &why) {
    if (!understood(resource, why)) return false;
    const scpilink::Mapping mapping = mapping_with(resource, primaryAddress);
    const GpibInstrument before = gpib_instrument(primaryAddress);
    const GpibInstrument next = instrument_through(
        gpib_library_for_choice(maps_to_a_bus(mapping) ? std::string() : gpib_scpi_link_path()),
        mapping, primaryAddress);
    long holder = 0;
    std::string unguarded;
    const GpibClaim claim = gpib_claim_instrument(next, &holder, unguarded);
    if (claim == GpibClaim::Held) {
        why = (holder > 0 ? "process " + std::to_string(holder) : std::string("another process")) +
              " controls " + gpib_instrument_phrase(next) + " already; quit it first";
        return false;
    }
    if (claim == GpibClaim::Unguarded)
        std::fprintf(stderr,
                     "gpib: cannot make sure that no other program controls the instrument: %s\n",
                     unguarded.c_str());
    if (!scpilink::store_instrument(primaryAddress, resource, why)) {
        // The instrument before stays the one, and so does its claim.
        std::string ignored;
        gpib_claim_instrument(before, nullptr, ignored);
        return false;
    }
    return true;
}

std::string gpib_choice_note(int primaryAddress) {
    const std::string conf = scpilink::instruments_conf_path();
    std::string note = "Use keeps the choice in " +
                       (conf.empty() ? std::string("instruments.conf") : conf) +
                       " and uploads the panel's settings to the instrument.";
    const std::string library = labbench::env_text("GPIB_LIBRARY");
    if (!library.empty())
        // A path, shown whole (escaped) up to the longest one the system opens: the
        // resource names' 80 bytes would cut off where most library paths say which
        // library it is.
        note += " GPIB_LIBRARY is set, so every choice is reached through its driver library " +
                labbench::shown_text(library, PATH_MAX) + ".";
    const std::string variable = "LABBENCH_INSTRUMENT_" + std::to_string(primaryAddress);
    const std::string mapped = labbench::env_text(variable.c_str());
    if (!mapped.empty())
        note += " " + variable + " is set to " + scpilink::shown_text(mapped) +
                ", which the SCPI link takes in place of a LAN or USB instrument chosen here.";
    return note;
}

std::string gpib_failure_advice(int error, const GpibInstrument &instrument, int primaryAddress) {
    const std::string problem = gpib_driver_problem();
    if (error == EDVR && !problem.empty())
        return problem +
               ": install the Linux GPIB library, or set GPIB_LIBRARY to the driver library's path";
    const bool unreachable = error == ENOL || error == EABO;
    switch (instrument.link) {
        case GpibInstrument::Link::Socket:
            if (!unreachable) break;
            return "no instrument answers at " + instrument.host + " port " + instrument.port +
                   ": is the instrument on the network and its SCPI socket enabled?";
        case GpibInstrument::Link::Usb:
            if (!unreachable) break;
            return "no instrument answers on " + instrument.device +
                   ": is it plugged in and on, and may you read and write " + instrument.device +
                   " (a udev rule or a group)?";
        case GpibInstrument::Link::Unmapped:
            return "no instrument is chosen for address " + std::to_string(primaryAddress) +
                   ": name it in " + scpilink::instruments_conf_path() +
                   " or in LABBENCH_INSTRUMENT_" + std::to_string(primaryAddress);
        case GpibInstrument::Link::Bus:
            break;
    }
    return gpib_error_hint(error, primaryAddress);
}

std::string gpib_instrument_phrase(const GpibInstrument &instrument) {
    if (instrument.link == GpibInstrument::Link::Socket ||
        instrument.link == GpibInstrument::Link::Usb)
        return "the instrument " + instrument.resource;
    return "the instrument at address " + std::to_string(instrument.busAddress);
}

namespace {

int claimFd = -1;
std::string claimedKey;

// What names one instrument whatever the spelling of its library's path.
std::string instrument_key(const GpibInstrument &instrument) {
    if (instrument.link == GpibInstrument::Link::Socket)
        return "TCPIP::" + instrument.host + "::" + instrument.port + "::SOCKET";
    if (instrument.link == GpibInstrument::Link::Usb) return "USBTMC::" + instrument.device;
    std::string library = instrument.library;
    if (library.find('/') != std::string::npos) {
        if (char *real = realpath(library.c_str(), nullptr)) {
            library = real;
            std::free(real);
        }
    }
    return library + " address " + std::to_string(instrument.busAddress);
}

// FNV-1a: a short, stable file name for any key.
std::string key_hash(const std::string &key) {
    std::uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : key) hash = (hash ^ c) * 1099511628211ull;
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

// $XDG_RUNTIME_DIR, else a folder of this user's own in $TMPDIR or /tmp.
std::string lock_folder(std::string &why) {
    const std::string runtime = labbench::env_text("XDG_RUNTIME_DIR");
    if (runtime.size() > 1 && runtime[0] == '/') return runtime;
    const std::string tmp = labbench::env_text("TMPDIR");
    std::string folder = (tmp.size() > 1 && tmp[0] == '/' ? tmp : std::string("/tmp")) +
                         "/labbench-" + std::to_string(getuid());
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        why = "cannot make " + folder + ": " + std::strerror(errno);
        return {};
    }
    struct stat info;
    if (lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != getuid() ||
        (info.st_mode & 077) != 0) {
        why = folder + " is not a private folder of this user";
        return {};
    }
    return folder;
}

// The process id in a lock file's first line, 0 when there is none yet.
long read_holder(int fd) {
    char text[64] = "";
    ssize_t n = pread(fd, text, sizeof text - 1, 0);
    if (n <= 0) return 0;
    text[n] = '\0';
    return std::strtol(text, nullptr, 10);
}

}  // namespace

GpibClaim gpib_claim_instrument(const GpibInstrument &instrument, long *holder, std::string &why) {
    if (holder != nullptr) *holder = 0;
    const std::string key = instrument_key(instrument);
    if (claimFd >= 0 && key == claimedKey) return GpibClaim::Claimed;
    const std::string folder = lock_folder(why);
    if (folder.empty()) return GpibClaim::Unguarded;
    const std::string path = folder + "/labbench-instrument-" + key_hash(key) + ".lock";
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        why = "cannot open " + path + ": " + std::strerror(errno);
        return GpibClaim::Unguarded;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) {
            why = "cannot lock " + path + ": " + std::strerror(errno);
            close(fd);
            return GpibClaim::Unguarded;
        }
        // The holder writes its process id right after locking: wait for it a moment.
        long pid = read_holder(fd);
        for (int i = 0; i < 50 && pid == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            pid = read_holder(fd);
        }
        close(fd);
        if (holder != nullptr) *holder = pid;
        return GpibClaim::Held;
    }
    // Should the write fail, the lock holds all the same; only the holder's id is missing.
    const std::string content = std::to_string(getpid()) + "\n" + key + "\n";
    if (ftruncate(fd, 0) == 0) (void)!pwrite(fd, content.data(), content.size(), 0);
    gpib_release_instrument();
    claimFd = fd;
    claimedKey = key;
    return GpibClaim::Claimed;
}

void gpib_release_instrument(void) {
    if (claimFd < 0) return;
    close(claimFd);  // releases the lock
    claimFd = -1;
    claimedKey.clear();
}
