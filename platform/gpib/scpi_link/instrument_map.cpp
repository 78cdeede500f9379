// SPDX-License-Identifier: GPL-3.0-or-later
// The operator's mapping from GPIB addresses to instruments, and the parser
// of its resource texts (see instrument_map.h). Parsing is by hand with ASCII
// character classes, so neither the locale nor a stray character changes
// what a text means; anything not understood is refused with a reason.
#include "instrument_map.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

#define GPIB_DRIVER_CONSTANTS_ONLY
#include "gpib_driver.h"
#include "settings.h"
#include "shown_text.h"

namespace scpilink {
namespace {

// What a text may take of a message: a mapping line is a few dozen
// characters, so anything longer is not one and is shown cut.
constexpr std::size_t kShownBytes = 80;

constexpr const char *kForms =
    "expected TCPIP::<host>::<port>::SOCKET (e.g. TCPIP::192.168.1.20::5025::SOCKET) or "
    "USBTMC::<device file> (e.g. USBTMC::/dev/usbtmc0)";

std::string quoted(std::string_view text) { return "'" + shown_text(text) + "'"; }

char to_upper(char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; }

bool same_word(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (to_upper(a[i]) != to_upper(b[i])) return false;
    return true;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view trim(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    return text;
}

// Fields separated by "::". An IPv6 address contains "::" itself, so it is
// taken whole when written in brackets; a bare one is reassembled by the caller.
std::vector<std::string_view> split_fields(std::string_view text) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    while (true) {
        std::size_t search = start;
        if (search < text.size() && text[search] == '[') {
            std::size_t close = text.find(']', search);
            if (close != std::string_view::npos) search = close;
        }
        std::size_t separator = text.find("::", search);
        if (separator == std::string_view::npos) {
            fields.push_back(text.substr(start));
            return fields;
        }
        fields.push_back(text.substr(start, separator - start));
        start = separator + 2;
    }
}

bool host_character(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == ':' || c == '_' || c == '%';
}

bool parse_socket(std::string_view text, const std::vector<std::string_view> &fields,
                  Resource &resource, std::string &why) {
    if (fields.size() < 4 || !same_word(fields.back(), "SOCKET")) {
        why = quoted(text) + " is not a socket resource: " + kForms;
        return false;
    }
    std::string_view port = fields[fields.size() - 2];
    // A bare IPv6 address was split at its own "::"; the host is everything
    // between the first field and the port.
    std::size_t host_begin = fields[0].size() + 2;
    std::size_t host_end = std::size_t(port.data() - text.data()) - 2;
    std::string_view host = text.substr(host_begin, host_end - host_begin);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (host.empty()) {
        why = quoted(text) + " names no host: " + kForms;
        return false;
    }
    for (char c : host) {
        if (!host_character(c)) {
            why = quoted(text) + " has a host with the character '" + std::string(1, c) +
                  "': " + kForms;
            return false;
        }
    }
    unsigned number = 0;
    auto parsed = std::from_chars(port.data(), port.data() + port.size(), number);
    if (port.empty() || parsed.ec != std::errc() || parsed.ptr != port.data() + port.size() ||
        number < 1 || number > 65535) {
        why = quoted(text) + " has the port '" + std::string(port) +
              "', not a number from 1 to 65535: " + kForms;
        return false;
    }
    resource.kind = Resource::Kind::Socket;
    resource.host = std::string(host);
    resource.port = std::to_string(number);
    return true;
}

void warn_once(const std::string &message) {
    static std::mutex mutex;
    static std::set<std::string> said;
    std::lock_guard lock(mutex);
    if (!said.insert(message).second) return;
    std::fprintf(stderr, "labbench scpi link: %s\n", message.c_str());
}

// The configuration file's bytes, or false with `why` set. Opened without
// blocking, so that a FIFO cannot hold the first Send; only a regular file
// of at most kMaxConfBytes is read, so that a link to a device cannot fill
// the memory.
bool read_conf(const std::string &path, std::string &text, std::string &why) {
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return true;  // no file: no mappings
        why = std::strerror(errno);
        return false;
    }
    struct stat info;
    bool usable = fstat(fd, &info) == 0;
    if (!usable) {
        why = std::strerror(errno);
    } else if (!S_ISREG(info.st_mode)) {
        why = "not a regular file";
        usable = false;
    } else if (info.st_size > kMaxConfBytes) {
        why = std::to_string(info.st_size) + " bytes, more than a mapping file holds (at most " +
              std::to_string(kMaxConfBytes) + ")";
        usable = false;
    }
    // One byte more than the limit, to notice a file growing while it is read.
    text.assign(usable ? std::size_t(kMaxConfBytes) + 1 : 0, '\0');
    std::size_t done = 0;
    while (usable && done < text.size()) {
        ssize_t n = read(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            why = std::strerror(errno);
            usable = false;
        }
        if (n <= 0) break;
        done += std::size_t(n);
    }
    close(fd);
    if (usable && done > std::size_t(kMaxConfBytes)) {
        why = "more than " + std::to_string(kMaxConfBytes) + " bytes";
        usable = false;
    }
    text.resize(usable ? done : 0);
    return usable;
}

}  // namespace

std::string shown_text(std::string_view text) { return labbench::shown_text(text, kShownBytes); }

bool parse_resource(std::string_view text, Resource &resource, std::string &why) {
    text = trim(text);
    resource = Resource{};
    resource.text = std::string(text);
    if (text.empty()) {
        why = "the resource text is empty: " + std::string(kForms);
        return false;
    }
    std::vector<std::string_view> fields = split_fields(text);
    if (same_word(fields[0], "TCPIP") || same_word(fields[0], "TCPIP0"))
        return parse_socket(text, fields, resource, why);
    if (same_word(fields[0], "USBTMC") && fields.size() == 2 && !fields[1].empty() &&
        fields[1].front() == '/') {
        resource.kind = Resource::Kind::Usbtmc;
        resource.device = std::string(fields[1]);
        return true;
    }
    int primary = 0;
    if (parse_gpib_resource(text, primary)) {
        why = quoted(text) +
              " is not understood by the SCPI link: it names an instrument on a GPIB bus, "
              "for the Linux GPIB library (leave GPIB_LIBRARY unset); the SCPI link " +
              kForms;
        return false;
    }
    if (same_word(fields[0], "USBTMC")) {
        why = quoted(text) + " names no device file (an absolute path): " + kForms;
        return false;
    }
    why = quoted(text) + " is not understood: " + kForms;
    return false;
}

bool parse_gpib_resource(std::string_view text, int &primary_address) {
    std::vector<std::string_view> fields = split_fields(trim(text));
    if (fields.size() != 3 || !(same_word(fields[0], "GPIB0") || same_word(fields[0], "GPIB")) ||
        !same_word(fields[2], "INSTR"))
        return false;
    int number = -1;
    auto parsed = std::from_chars(fields[1].data(), fields[1].data() + fields[1].size(), number);
    if (fields[1].empty() || parsed.ec != std::errc() ||
        parsed.ptr != fields[1].data() + fields[1].size() || number < 0 ||
        number > GPIB_DRIVER_MAX_PRIMARY_ADDRESS)
        return false;
    primary_address = number;
    return true;
}

std::string instruments_conf_path() { return labbench::settings_file("instruments.conf"); }

Mapping find_instrument(int primary_address) {
    Mapping mapping;
    std::string unread;  // why the configuration file was not read
    std::string variable = "LABBENCH_INSTRUMENT_" + std::to_string(primary_address);
    std::string conf = instruments_conf_path();
    // An empty variable maps nothing, as if it were unset.
    const char *value = std::getenv(variable.c_str());
    if (value && *value) {
        mapping.text = value;
        mapping.origin = variable;
    } else if (!conf.empty()) {
        std::string text, why;
        if (!read_conf(conf, text, why)) {
            warn_once(conf + ": not read (" + why + "); no instrument is mapped from it");
            unread = " (" + conf + " was not read: " + why + ")";
        }
        std::string_view rest = text;
        for (int number = 1; !rest.empty(); ++number) {
            std::size_t end = rest.find('\n');
            std::string_view content = rest.substr(0, end);
            rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
            content = trim(content.substr(0, content.find('#')));
            if (content.empty()) continue;
            std::size_t equals = content.find('=');
            std::string_view key = trim(content.substr(0, equals));
            int address = -1;
            auto parsed = std::from_chars(key.data(), key.data() + key.size(), address);
            if (equals == std::string_view::npos || key.empty() || parsed.ec != std::errc() ||
                parsed.ptr != key.data() + key.size() || address < 0 ||
                address > GPIB_DRIVER_MAX_PRIMARY_ADDRESS) {
                warn_once(conf + ":" + std::to_string(number) + ": " + quoted(content) +
                          " is not '<address 0.." +
                          std::to_string(GPIB_DRIVER_MAX_PRIMARY_ADDRESS) +
                          "> = <resource>'; line skipped");
                continue;
            }
            // The first line for an address holds; later ones are reported.
            if (address != primary_address) continue;
            if (!mapping.origin.empty()) {
                warn_once(conf + ":" + std::to_string(number) + ": address " + shown_text(key) +
                          " is mapped again; the line " + mapping.origin + " holds");
                continue;
            }
            mapping.text = std::string(trim(content.substr(equals + 1)));
            mapping.origin = conf + ":" + std::to_string(number);
        }
    }
    if (mapping.origin.empty()) {
        mapping.outcome = Mapping::Outcome::Unmapped;
        mapping.why =
            "no instrument is mapped to it: set " + variable +
            "=TCPIP::<host>::<port>::SOCKET (or USBTMC::/dev/usbtmc0), or add the line '" +
            std::to_string(primary_address) + " = <resource>' to " +
            (conf.empty() ? std::string("$XDG_CONFIG_HOME/labbench/instruments.conf") : conf) +
            unread;
        return mapping;
    }
    std::string why;
    if (!parse_resource(mapping.text, mapping.resource, why)) {
        mapping.outcome = Mapping::Outcome::Malformed;
        mapping.why = mapping.origin + ": " + why;
        return mapping;
    }
    mapping.outcome = Mapping::Outcome::Found;
    return mapping;
}

namespace {

// Makes `folder` and the folders above it that are missing (mode 0700, as a
// configuration folder of one user); false with `why` set when it cannot.
bool make_folders(const std::string &folder, std::string &why) {
    for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        const std::string part = folder.substr(0, slash);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
            why = "cannot make the folder " + part + ": " + std::strerror(errno);
            return false;
        }
        if (slash == std::string::npos) return true;
    }
}

}  // namespace

bool store_instrument(int primary_address, std::string_view resource, std::string &why) {
    const std::string conf = instruments_conf_path();
    if (conf.empty()) {
        why = "neither XDG_CONFIG_HOME nor HOME is set, so there is no instruments.conf";
        return false;
    }
    std::string text, reason;
    if (!read_conf(conf, text, reason)) {
        why = conf + " cannot be used (" + reason + "); it is left as it is";
        return false;
    }
    const std::string line =
        std::to_string(primary_address) + " = " + std::string(trim(resource)) + "\n";
    std::string written;
    if (text.empty()) written = "# address = resource: the instrument at each GPIB address\n";
    bool placed = false;
    std::string_view rest = text;
    while (!rest.empty()) {
        std::size_t end = rest.find('\n');
        std::string_view whole = rest.substr(0, end == std::string_view::npos ? rest.size() : end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        std::string_view content = trim(whole.substr(0, whole.find('#')));
        std::size_t equals = content.find('=');
        std::string_view key = trim(content.substr(0, equals));
        int address = -1;
        auto parsed = std::from_chars(key.data(), key.data() + key.size(), address);
        const bool mine = equals != std::string_view::npos && !key.empty() &&
                          parsed.ec == std::errc() && parsed.ptr == key.data() + key.size() &&
                          address == primary_address;
        if (!mine) {
            written.append(whole).append("\n");
        } else if (!placed) {
            written += line;
            placed = true;
        }
    }
    if (!placed) written += line;
    if (written.size() > std::size_t(kMaxConfBytes)) {
        why = conf + " would grow beyond " + std::to_string(kMaxConfBytes) +
              " bytes, more than a mapping file holds";
        return false;
    }
    const std::string folder = conf.substr(0, conf.rfind('/'));
    if (!make_folders(folder, why)) return false;
    std::string temporary = conf + ".XXXXXX";
    int fd = mkstemp(temporary.data());
    if (fd < 0) {
        why = "cannot write beside " + conf + ": " + std::strerror(errno);
        return false;
    }
    bool ok = fchmod(fd, 0644) == 0;
    std::size_t done = 0;
    while (ok && done < written.size()) {
        ssize_t n = write(fd, written.data() + done, written.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += std::size_t(n);
    }
    ok = ok && fsync(fd) == 0;
    const int error = errno;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(temporary.c_str(), conf.c_str()) != 0) {
        why = "cannot write " + conf + ": " + std::strerror(ok ? errno : error);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace scpilink
