// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up of the GUI run-time (InitCVIRTE) and its one-line error messages.
//
// InitCVIRTE probes the display before Qt sees it (display_probe.cpp), so a
// missing or dead display is one clear line on stderr instead of an abort
// inside Qt. This file is linked into every program that uses the run-time,
// which is why the leak checker's suppressions for the GUI's system libraries
// live here: they apply to every sanitizer-built program and test alike.
#include <sys/auxv.h>

#include <QApplication>
#include <QCoreApplication>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "display_probe.h"
#include "userint.h"
#include "userint_internal.h"

using namespace userint_internal;

namespace {

QApplication *application = nullptr;

// The value of Qt's option -<name> (or --<name>) in argv, or "": the last one
// counts, as in Qt.
std::string command_line_value(char *argv[], const char *name) {
    std::string value;
    for (int i = 0; argv && argv[i]; ++i) {
        const char *arg = argv[i];
        if (arg[0] == '-' && arg[1] == '-') ++arg;
        if (arg[0] == '-' && !std::strcmp(arg + 1, name) && argv[i + 1]) value = argv[i + 1];
    }
    return value;
}

// Qt's own option that names a folder of platform plugins.
bool is_plugin_path_option(const char *arg) {
    if (arg[0] == '-' && arg[1] == '-') ++arg;
    return !std::strcmp(arg, "-platformpluginpath");
}

// A program started with a file capability (deska, for its board's ports) runs
// in secure execution: whoever starts it chooses its environment and options,
// but not what the capability grants. Plugin code from a folder they name would
// run with the ports open, so Qt gets no such folder: it loads its plugins from
// the system's plugin folder and the program's own folder, both the
// installer's.
void forget_plugin_paths_when_secure(std::vector<std::string> &args) {
    if (getauxval(AT_SECURE) == 0) return;
    unsetenv("QT_PLUGIN_PATH");
    unsetenv("QT_QPA_PLATFORM_PLUGIN_PATH");
    for (size_t i = 0; i < args.size();) {
        if (is_plugin_path_option(args[i].c_str()))
            args.erase(args.begin() + i, args.begin() + std::min(args.size(), i + 2));
        else
            ++i;
    }
}

}  // namespace

namespace userint_internal {

bool started() { return application != nullptr; }

// Text for a one-line message: control characters (a newline in a file name
// or in a panel file) become '?'.
QByteArray one_line(const QString &text) {
    QString s = text;
    for (QChar &c : s)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f) c = QLatin1Char('?');
    return s.toLocal8Bit();
}

int report(const char *operation, int panel, int control, int code, const QString &detail) {
    if (control)
        std::fprintf(stderr, "%s(panel %d, control %d): %s\n", operation, panel, control,
                     one_line(detail).constData());
    else
        std::fprintf(stderr, "%s(panel %d): %s\n", operation, panel, one_line(detail).constData());
    return code;
}

}  // namespace userint_internal

int InitCVIRTE(void *, char *argv[], void *) {
    if (application) return 1;
    if (QCoreApplication::instance()) {
        application = qobject_cast<QApplication *>(QCoreApplication::instance());
        if (!application) {
            std::fprintf(stderr,
                         "InitCVIRTE: the GUI cannot start: the process already has a non-GUI Qt "
                         "application\n");
            return 0;
        }
        QApplication::setQuitOnLastWindowClosed(false);
        return 1;
    }
    const DisplayChoice choice =
        probe_display(command_line_value(argv, "platform"), command_line_value(argv, "display"));
    if (!choice.usable) {
        std::fprintf(stderr, "InitCVIRTE: the GUI cannot start: %s\n", choice.reason.c_str());
        return 0;
    }
    // The application object keeps argc and argv for its lifetime, so they
    // live in static storage; "-platform" makes Qt use the probed platform.
    static std::vector<std::string> args;
    static std::vector<char *> argPointers;
    static int argc = 0;
    args.clear();
    for (int i = 0; argv && argv[i]; ++i) args.emplace_back(argv[i]);
    if (args.empty()) args.emplace_back("labbench");
    forget_plugin_paths_when_secure(args);
    args.emplace_back("-platform");
    args.push_back(choice.platform);
    for (std::string &a : args) argPointers.push_back(a.data());
    argPointers.push_back(nullptr);
    argc = static_cast<int>(args.size());
    application = new QApplication(argc, argPointers.data());
    release_display_probe();
    QApplication::setQuitOnLastWindowClosed(false);
    return 1;
}

// ---- Sanitizer builds ---------------------------------------------------------------------

#if defined(__SANITIZE_ADDRESS__)
#define LABBENCH_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LABBENCH_LEAK_CHECKED 1
#endif
#endif
#ifdef LABBENCH_LEAK_CHECKED
// Allocations that system libraries under the GUI keep for the whole process,
// which the leak checker would report at exit of every GUI program: the font
// set Qt loads through fontconfig, and what the message bus library keeps
// after looking for a desktop session's bus that is not there (Xvfb, CI).
extern "C" const char *__lsan_default_suppressions() {
    return "leak:libfontconfig.so\n"
           "leak:libdbus-1.so\n";
}
#endif
