// SPDX-License-Identifier: GPL-3.0-or-later
// Probing the window system before Qt is started (see display_probe.h).
//
// The platform is chosen as Qt chooses it: the "-platform" argument, else
// QT_QPA_PLATFORM (possibly a ';'-separated list tried in order), else xcb,
// with Wayland as a fallback when only a Wayland display is present. offscreen
// and minimal need no display. For xcb the probe connects with libxcb, on a
// helper thread with a time limit, because connecting to a remote display
// that does not answer can block for minutes.
#include "display_probe.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <QDir>
#include <QLibraryInfo>
#include <QString>
#include <QStringList>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "environment.h"

namespace {

constexpr auto kConnectTimeLimit = std::chrono::seconds(5);

std::string env(const char *name) { return labbench::env_text(name); }

std::vector<std::string> split(const std::string &text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = text.find(separator, start);
        const std::string part =
            text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!part.empty()) parts.push_back(part);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return parts;
}

// Platform plugins shipped with Qt; for these we can tell whether the plugin
// is installed, for any other name Qt itself decides.
bool plugin_installed(const std::string &name, std::string &searched) {
    static const char *const kKnownPlugins[] = {"xcb",     "wayland",    "offscreen",
                                                "minimal", "minimalegl", "eglfs",
                                                "linuxfb", "vnc",        "vkkhrdisplay"};
    bool isKnown = false;
    for (const char *k : kKnownPlugins) isKnown = isKnown || name == k;
    if (!isKnown) return true;
    QStringList dirs;
    for (const std::string &d : split(env("QT_QPA_PLATFORM_PLUGIN_PATH"), ':'))
        dirs << QString::fromStdString(d);
    for (const std::string &d : split(env("QT_PLUGIN_PATH"), ':'))
        dirs << QString::fromStdString(d) + QStringLiteral("/platforms");
    dirs << QLibraryInfo::path(QLibraryInfo::PluginsPath) + QStringLiteral("/platforms");
    bool anyDir = false;
    const QString wanted = QStringLiteral("q") + QString::fromStdString(name);
    for (const QString &d : dirs) {
        QDir dir(d);
        if (!dir.exists()) continue;
        anyDir = true;
        for (const QString &file : dir.entryList(QDir::Files))
            if (file.startsWith(QStringLiteral("lib") + wanted) || file.startsWith(wanted))
                return true;
    }
    searched = dirs.join(QStringLiteral(", ")).toStdString();
    return !anyDir;  // no plugin folder found at all: leave it to Qt
}

struct XcbResult {
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    bool abandoned = false;  // the caller gave up waiting
    int error = 0;
    xcb_connection_t *connection = nullptr;
};

// An X server resets when its last client disconnects and refuses
// connections meanwhile; with a bare server (Xvfb) the probe would be that
// last client just before Qt connects. So the probe's connection stays open
// until the application has its own (release_display_probe).
xcb_connection_t *heldConnection = nullptr;

std::string probe_xcb(const std::string &display) {
    if (display.empty())
        return "no X display: DISPLAY is not set (start the program in a desktop session, "
               "or set QT_QPA_PLATFORM=offscreen for a run without a screen)";
    auto result = std::make_shared<XcbResult>();
    std::thread([result, display] {
        int screen = 0;
        xcb_connection_t *c = xcb_connect(display.c_str(), &screen);
        const int error = xcb_connection_has_error(c);
        std::lock_guard<std::mutex> g(result->lock);
        if (result->abandoned) {
            xcb_disconnect(c);
            return;
        }
        result->error = error;
        result->connection = c;
        result->finished = true;
        result->done.notify_all();
    }).detach();
    std::unique_lock<std::mutex> g(result->lock);
    if (!result->done.wait_for(g, kConnectTimeLimit, [&] { return result->finished; })) {
        result->abandoned = true;
        return "X display '" + display +
               "' did not answer within 5 s (check DISPLAY and the network to the X server)";
    }
    if (result->error == 0) {
        release_display_probe();
        heldConnection = result->connection;
        return {};
    }
    xcb_disconnect(result->connection);
    switch (result->error) {
        case XCB_CONN_CLOSED_PARSE_ERR:
            return "DISPLAY '" + display + "' is not a valid X display name (expected e.g. ':0')";
        case XCB_CONN_CLOSED_INVALID_SCREEN:
            return "X display '" + display + "' has no such screen";
        case XCB_CONN_CLOSED_MEM_INSUFFICIENT:
            return "out of memory while connecting to X display '" + display + "'";
        default:
            return "cannot connect to X display '" + display +
                   "': no X server answers there, or it refused the authorisation "
                   "(check DISPLAY, XAUTHORITY and xhost)";
    }
}

std::string probe_wayland() {
    std::string name = env("WAYLAND_DISPLAY");
    if (name.empty()) name = "wayland-0";
    std::string path = name;
    if (name[0] != '/') {
        const std::string runtimeDir = env("XDG_RUNTIME_DIR");
        if (runtimeDir.empty()) return "no Wayland display: XDG_RUNTIME_DIR is not set";
        path = runtimeDir + "/" + name;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return "Wayland socket path '" + path + "' is too long";
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::string("cannot create a socket: ") + std::strerror(errno);
    const int rc = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    const int err = errno;
    ::close(fd);
    if (rc != 0)
        return "cannot connect to the Wayland display at '" + path + "': " + std::strerror(err);
    return {};
}

// Why `spec` (a platform name with optional ":arguments") cannot start, or "";
// `xDisplay` is the X display Qt would open.
std::string probe_platform(const std::string &spec, const std::string &xDisplay) {
    const std::string name = spec.substr(0, spec.find(':'));
    std::string searched;
    if (!plugin_installed(name, searched))
        return "the Qt platform plugin '" + name + "' is not installed (looked in " + searched +
               ")";
    if (name == "offscreen" || name == "minimal") return {};
    if (name == "xcb") return probe_xcb(xDisplay);
    if (name == "wayland" || name.rfind("wayland-", 0) == 0) return probe_wayland();
    return {};  // eglfs, linuxfb, vnc...: nothing we can check without starting them
}

}  // namespace

void release_display_probe() {
    if (heldConnection) xcb_disconnect(heldConnection);
    heldConnection = nullptr;
}

DisplayChoice probe_display(const std::string &commandLinePlatform,
                            const std::string &commandLineDisplay) {
    const std::string xDisplay = commandLineDisplay.empty() ? env("DISPLAY") : commandLineDisplay;
    std::vector<std::string> candidates;
    if (!commandLinePlatform.empty())
        candidates = split(commandLinePlatform, ';');
    else if (!env("QT_QPA_PLATFORM").empty())
        candidates = split(env("QT_QPA_PLATFORM"), ';');
    DisplayChoice choice;
    if (candidates.empty()) {
        // Qt's default on Linux is xcb. A Wayland-only session (no DISPLAY)
        // would make it abort, so fall back to Wayland when it is usable.
        std::string why = probe_platform("xcb", xDisplay);
        if (why.empty()) {
            choice.usable = true;
            choice.platform = "xcb";
        } else if (!env("WAYLAND_DISPLAY").empty() && probe_platform("wayland", xDisplay).empty()) {
            choice.usable = true;
            choice.platform = "wayland";
        } else {
            choice.reason = why;
        }
        return choice;
    }
    for (const std::string &spec : candidates) {
        std::string why = probe_platform(spec, xDisplay);
        if (why.empty()) {
            choice.usable = true;
            choice.platform = spec;
            return choice;
        }
        if (choice.reason.empty()) choice.reason = why;
    }
    return choice;
}
