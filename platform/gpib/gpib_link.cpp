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

const char GPIB_SCPI_LINK_LIBRARY[] = "liblabbench_scpi_link.so";
const char GPIB_SIMULATED_LIBRARY[] = "liblabbench_sim_gpib.so";

bool gpib_library_is(const std::string &library, const char *fileName) {
    std::size_t slash = library.rfind('/');
    std::string name = slash == std::string::npos ? library : library.substr(slash + 1);
    // A versioned name (.so.1) is the same library.
    std::size_t n = std::strlen(fileName);
    return name.compare(0, n, fileName) == 0 && (name.size() == n || name[n] == '.');
}

GpibInstrument gpib_instrument(int primaryAddress) {
    GpibInstrument instrument;
    instrument.library = gpib_driver_library();
    instrument.simulated = gpib_library_is(instrument.library, GPIB_SIMULATED_LIBRARY);
    if (!gpib_library_is(instrument.library, GPIB_SCPI_LINK_LIBRARY)) return instrument;

    scpilink::Mapping mapping = scpilink::find_instrument(primaryAddress);
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
    // A program or a test run from the build tree takes the link built there.
    const std::string tree = LABBENCH_BUILD_TREE "/";
    if (folder.compare(0, tree.size(), tree) == 0 && is_regular_file(LABBENCH_BUILT_SCPI_LINK))
        return LABBENCH_BUILT_SCPI_LINK;
    // Where the package puts it; when it is missing there too, the loader's
    // message names this path.
    return LABBENCH_FULL_PKGLIBDIR + name;
}

void gpib_pick_library_for(int primaryAddress) {
    if (!labbench::env_text("GPIB_LIBRARY").empty()) return;
    const scpilink::Mapping mapping = scpilink::find_instrument(primaryAddress);
    if (mapping.outcome == scpilink::Mapping::Outcome::Unmapped) return;
    gpib_use_library(gpib_scpi_link_path());
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

std::string gpib_instrument_phrase(const GpibInstrument &instrument, int primaryAddress) {
    if (instrument.link == GpibInstrument::Link::Socket ||
        instrument.link == GpibInstrument::Link::Usb)
        return "the instrument " + instrument.resource;
    return "the instrument at address " + std::to_string(primaryAddress);
}

namespace {

int claimFd = -1;
std::string claimedKey;

// What names one instrument whatever the spelling of its library's path.
std::string instrument_key(const GpibInstrument &instrument, int primaryAddress) {
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
    return library + " address " + std::to_string(primaryAddress);
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

GpibClaim gpib_claim_instrument(const GpibInstrument &instrument, int primaryAddress, long *holder,
                                std::string &why) {
    if (holder != nullptr) *holder = 0;
    const std::string key = instrument_key(instrument, primaryAddress);
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
