// SPDX-License-Identifier: GPL-3.0-or-later
// The programs' command line: --help, --version, and Qt's own options.
//
// HandleCommandLine is the first thing a program's main does, before it touches
// the bus, the ports or the display: --help and --version print and end the
// process, so they work without a display, without the instrument or board, and
// without loading a driver library. Qt's options stay in argv for InitCVIRTE,
// which hands them to Qt. Anything else ends the process with status 2, the
// usual status of a usage error, before the program has done anything. The
// texts of --help that are the program's own (what it does, its variables, its
// panel file) come from the program's ProgramIdentity.
//
// Nothing here uses Qt: a QApplication would need the display.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "panel_look.h"
#include "panel_search.h"
#include "shown_text.h"
#include "userint.h"

#ifndef LABBENCH_VERSION
#define LABBENCH_VERSION "unknown"
#endif

namespace {

// The options of Qt applications (QGuiApplication, QApplication, the xcb
// platform), written -name or --name. Those with a value take the next argument;
// -style and -stylesheet also take it after '=', as Qt allows for them alone.
struct QtOption {
    const char *name;
    bool takesValue;
    bool equalsForm;
};
constexpr QtOption kQtOptions[] = {
    {"platform", true, false},
    {"platformpluginpath", true, false},
    {"platformtheme", true, false},
    {"plugin", true, false},
    {"qwindowgeometry", true, false},
    {"qwindowicon", true, false},
    {"qwindowtitle", true, false},
    {"session", true, false},
    {"display", true, false},
    {"geometry", true, false},
    {"name", true, false},
    {"title", true, false},
    {"visual", true, false},
    {"style", true, true},
    {"stylesheet", true, true},
    {"reverse", false, false},
    {"widgetcount", false, false},
    {"nograb", false, false},
    {"dograb", false, false},
    {"sync", false, false},
};

// The display's variables matter to every program with a window.
constexpr const char *kDisplayVariables =
    "  DISPLAY, WAYLAND_DISPLAY  the display to open the window on\n"
    "  QT_QPA_PLATFORM      Qt's window system: xcb, wayland or offscreen (no screen)\n"
    "  XDG_RUNTIME_DIR      the session's runtime folder\n";

const char *or_empty(const char *text) { return text != nullptr ? text : ""; }

void print_usage_lines(std::FILE *out, const char *program) {
    std::fprintf(out,
                 "Usage: %s [Qt option...]\n"
                 "       %s --help | --version\n",
                 program, program);
}

void print_help(const ProgramIdentity &identity) {
    const char *program = identity.name;
    print_usage_lines(stdout, program);
    std::printf("%s\n", or_empty(identity.summary));
    std::printf(
        "Options:\n"
        "  -h, --help           print this text and exit\n"
        "      --version        print the version and exit\n"
        "  -platform NAME       Qt's window system: xcb, wayland or offscreen\n"
        "  -display DISPLAY     the X display to open the window on\n"
        "  -style STYLE         the widget style, e.g. Fusion\n"
        "and Qt's other options (-stylesheet, -geometry, -reverse, -session, ...).\n\n");
    std::printf("Environment:\n%s%s%s\n", or_empty(identity.environment), kDisplayVariables,
                or_empty(identity.simulated));
    if (identity.panel != nullptr && *identity.panel) {
        std::printf("The panel file %s is looked up in:\n", identity.panel);
        for (const std::string &folder : userint_internal::panel_search_folders())
            std::printf("  %s\n", folder.c_str());
        std::printf("\n");
    }
    std::printf("See %s(1).\n", program);
}

[[noreturn]] void finish(const char *program, int status) {
    // A help text that could not be written (a full disk, a closed pipe) is a failure.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "%s: cannot write to standard output\n", program);
        std::exit(1);
    }
    std::exit(status);
}

// A style sheet is a few KiB of text; Qt reads the whole file it is given.
constexpr off_t kMaxStyleSheetBytes = 1024 * 1024;

// An argument as a message shows it: control bytes (a terminal's escape
// sequences among them) and backslashes escaped, long ones cut.
std::string shown(std::string_view text) { return labbench::shown_text(text, 120); }

[[noreturn]] void usage_error(const char *program, const std::string &problem) {
    std::fprintf(stderr, "%s: %s\n", program, problem.c_str());
    print_usage_lines(stderr, program);
    std::fprintf(stderr, "Try '%s --help' for more information.\n", program);
    finish(program, 2);
}

// The Qt option `arg` names, with `*valueInline` set when its value follows '='.
const QtOption *qt_option(std::string_view arg, bool *valueInline) {
    *valueInline = false;
    if (arg.size() < 2 || arg[0] != '-') return nullptr;
    arg.remove_prefix(arg[1] == '-' ? 2 : 1);
    const std::size_t equals = arg.find('=');
    for (const QtOption &option : kQtOptions) {
        if (arg == option.name) return &option;
        if (option.equalsForm && equals != std::string_view::npos &&
            arg.substr(0, equals) == option.name) {
            *valueInline = true;
            return &option;
        }
    }
    return nullptr;
}

}  // namespace

void HandleCommandLine(const ProgramIdentity &identity, int argc, char *argv[]) {
    userint_internal::adopt_program_identity(identity);
    const char *program = identity.name;
    if (!argv) return;
    bool optionsEnded = false;
    for (int i = 1; i < argc && argv[i]; ++i) {
        const std::string_view arg = argv[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-")
            usage_error(program, "unexpected argument '" + shown(arg) + "'");
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            print_help(identity);
            finish(program, 0);
        }
        if (arg == "--version") {
            std::printf("%s (LabBench) %s\n", program, LABBENCH_VERSION);
            finish(program, 0);
        }
        bool valueInline = false;
        const QtOption *option = qt_option(arg, &valueInline);
        if (!option) usage_error(program, "unknown option '" + shown(arg) + "'");
        if (option->takesValue && !valueInline) {
            if (i + 1 >= argc || !argv[i + 1])
                usage_error(program, "option '" + shown(arg) + "' needs a value");
            ++i;
        }
        // Qt reads the whole style sheet file, blocking: a FIFO would hold the
        // program and a device such as /dev/zero would exhaust its memory.
        if (!std::strcmp(option->name, "stylesheet")) {
            const std::string_view value =
                valueInline ? arg.substr(arg.find('=') + 1) : std::string_view(argv[i]);
            const std::string path(value);
            struct stat info;
            std::string problem;
            if (::stat(path.c_str(), &info) != 0)
                problem = std::strerror(errno);
            else if (!S_ISREG(info.st_mode))
                problem = "not a regular file";
            else if (info.st_size > kMaxStyleSheetBytes)
                problem = std::to_string(info.st_size) +
                          " bytes, larger than a style sheet (at most " +
                          std::to_string(kMaxStyleSheetBytes) + ")";
            if (!problem.empty())
                usage_error(program,
                            "cannot use the style sheet '" + shown(value) + "': " + problem);
        }
    }
}
