// SPDX-License-Identifier: GPL-3.0-or-later
// The programs' command line: --help, --version, and Qt's own options.
//
// HandleCommandLine is the first thing a program's main does, before it touches
// the bus, the ports or the display: --help and --version print and end the
// process, so they work without a display, without the instrument or board, and
// without loading a driver library. Qt's options stay in argv for InitCVIRTE,
// which hands them to Qt. Anything else ends the process with status 2, the
// usual status of a usage error, before the program has done anything.
//
// Nothing here uses Qt: a QApplication would need the display.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "userint.h"

#ifndef LABBENCH_VERSION
#define LABBENCH_VERSION "unknown"
#endif
#ifndef LABBENCH_DATADIR
#define LABBENCH_DATADIR "/usr/local/share/labbench"
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

// What --help says that differs between the programs.
struct ProgramText {
    const char *program;
    const char *purpose;      // a few lines on what the program does
    const char *environment;  // the variables that matter for it
    const char *simulated;    // and those of its simulator
    const char *panel;        // its panel file
};

constexpr const char *kDisplayVariables =
    "  DISPLAY, WAYLAND_DISPLAY  the display to open the window on\n"
    "  QT_QPA_PLATFORM      Qt's window system: xcb, wayland or offscreen (no screen)\n"
    "  XDG_RUNTIME_DIR      the session's runtime folder\n";

constexpr ProgramText kPrograms[] = {
    {"generator",
     "Builds one period of a phase-cut sine from a frequency, an amplitude and an\n"
     "angle, and uploads it to the arbitrary-waveform generator at GPIB address 8\n"
     "(board 0): at start-up and after every committed setting.\n",
     "  GPIB_LIBRARY         the GPIB driver library: a path or a library name\n"
     "                       (default libgpib.so.0, the Linux GPIB library)\n"
     "  GPIB_TRACE           1: print every GPIB call on stderr\n"
     "  LABBENCH_INSTRUMENT_<N>, LABBENCH_IO_TIMEOUT_MS\n"
     "                       the instrument at address N, and the time-out (ms), for\n"
     "                       the SCPI link driver library (LAN or USB instruments)\n",
     "With the simulated instrument (labbench-sim) also BENCH_SIM_STATE, GPIB_SIM_LOG,\n"
     "GPIB_SIM_BYTES_PER_S and GPIB_SIM_TIMEOUT_MS; see labbench-sim(1).\n",
     "generator.uir"},
    {"deska",
     "Captures 1000 samples from the measurement board at I/O port 0x300 at the\n"
     "chosen sampling frequency and gain, shows their RMS value and plots them.\n"
     "Direct port access needs the capability CAP_SYS_RAWIO. The capture runs with\n"
     "real-time priority (SCHED_FIFO 50), so that other programs cannot make it lose\n"
     "samples, where deska has the capability CAP_SYS_NICE or a real-time limit\n"
     "(RLIMIT_RTPRIO) of 50 or more; without either it runs at normal priority and\n"
     "says so when samples are lost. The package grants both capabilities, as does\n"
     "  sudo setcap cap_sys_rawio,cap_sys_nice+ep <program>\n"
     "and deska drops them once started.\n",
     "  PORTIO_LIBRARY       a port library to use instead of the real ports, such as\n"
     "                       the simulated board (default: unset, direct port access)\n"
     "  PORTIO_TRACE         1: print every port access on stderr\n",
     "With the simulated board (labbench-sim) also BENCH_SIM_STATE, BOARD_SIM_SIGNAL,\n"
     "BOARD_SIM_NOISE_V, BOARD_SIM_ABSENT and BOARD_SIM_TRACE; see labbench-sim(1).\n",
     "deska.uir"},
};

const ProgramText &text_for(const char *program) {
    for (const ProgramText &text : kPrograms)
        if (!std::strcmp(text.program, program)) return text;
    static const ProgramText other{program, "", "", "", ""};
    return other;
}

void print_usage_lines(std::FILE *out, const char *program) {
    std::fprintf(out,
                 "Usage: %s [Qt option...]\n"
                 "       %s --help | --version\n",
                 program, program);
}

// The folders LoadPanel searches, in its order: the program's own, the data
// folder beside it (<prefix>/bin/../share/labbench), the one it was built for.
std::string panel_folders() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string folders;
    if (length > 0) {
        std::string program(path, static_cast<std::size_t>(length));
        std::string folder = program.substr(0, program.rfind('/'));
        std::string prefix = folder.substr(0, folder.rfind('/'));
        folders += "  " + (folder.empty() ? std::string("/") : folder) + "\n";
        folders += "  " + prefix + "/share/labbench\n";
    } else {
        folders += "  the program's folder\n  ../share/labbench beside it\n";
    }
    folders += "  " LABBENCH_DATADIR "\n";
    return folders;
}

void print_help(const char *program) {
    const ProgramText &text = text_for(program);
    print_usage_lines(stdout, program);
    std::printf("%s\n", text.purpose);
    std::printf(
        "Options:\n"
        "  -h, --help           print this text and exit\n"
        "      --version        print the version and exit\n"
        "  -platform NAME       Qt's window system: xcb, wayland or offscreen\n"
        "  -display DISPLAY     the X display to open the window on\n"
        "  -style STYLE         the widget style, e.g. Fusion\n"
        "and Qt's other options (-stylesheet, -geometry, -reverse, -session, ...).\n\n");
    std::printf("Environment:\n%s%s%s\n", text.environment, kDisplayVariables, text.simulated);
    if (*text.panel)
        std::printf("The panel file %s is looked up in:\n%s\n", text.panel,
                    panel_folders().c_str());
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

void HandleCommandLine(const char *program, int argc, char *argv[]) {
    if (!argv) return;
    bool optionsEnded = false;
    for (int i = 1; i < argc && argv[i]; ++i) {
        const std::string_view arg = argv[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-")
            usage_error(program, "unexpected argument '" + std::string(arg) + "'");
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            print_help(program);
            finish(program, 0);
        }
        if (arg == "--version") {
            std::printf("%s (LabBench) %s\n", program, LABBENCH_VERSION);
            finish(program, 0);
        }
        bool valueInline = false;
        const QtOption *option = qt_option(arg, &valueInline);
        if (!option) usage_error(program, "unknown option '" + std::string(arg) + "'");
        if (option->takesValue && !valueInline) {
            if (i + 1 >= argc || !argv[i + 1])
                usage_error(program, "option '" + std::string(arg) + "' needs a value");
            ++i;
        }
    }
}
