// SPDX-License-Identifier: GPL-3.0-or-later
// The bench state file as another local user or a careless operator can
// leave it: the instrument must never write through a link planted beside
// the state file, must keep its default file in a private folder of the
// user's, and the board must measure the default signal (with one warning)
// rather than hang, eat memory or compute nonsense from whatever is found at
// the path. Both simulators are loaded as the programs load them.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "bench_state.h"
#include "gpib_driver.h"
#include "sim_test_support.h"

namespace {

namespace fs = std::filesystem;

constexpr unsigned short kBase = 0x300;
constexpr unsigned short kControl = kBase + 3, kCounter1 = kBase + 1, kCounter2 = kBase + 2;
constexpr unsigned short kLow = kBase + 4, kStatus = kBase + 5, kMode = kBase + 11;
constexpr unsigned char kNotReady = 0x10;

unsigned code_for(double volts) {
    double code = std::floor((volts + 5.0) * 4096.0 / 10.0);
    return unsigned(std::clamp(code, 0.0, 4095.0));
}

std::int64_t now_ns() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

std::string contents(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_text(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::size_t count_lines(const std::string &text) {
    return std::size_t(std::count(text.begin(), text.end(), '\n'));
}

// A state file of a +2 V user waveform with `frequency` and `amplitude` as written.
std::string state_text(const std::string &frequency = "1000", const std::string &amplitude = "4") {
    return "labbench-bench-state 1\nfunction USER\nfrequency_hz " + frequency + "\namplitude_vpp " +
           amplitude +
           "\nuser_waveform VOLATILE\nremote 1\nsince_ns 0\npoints 8\n"
           "2047 2047 2047 2047 2047 2047 2047 2047\nend\n";
}

class StateFile : public ::testing::Test {
protected:
    simtest::TempDir dir;
    // No XDG_RUNTIME_DIR: the default lives in the private folder in TMPDIR.
    simtest::ScopedEnv tmpdir_env{"TMPDIR", dir.path()};
    simtest::ScopedEnv runtime_env{"XDG_RUNTIME_DIR", nullptr};
    simtest::ScopedEnv state_env{"BENCH_SIM_STATE", nullptr};
    simtest::ScopedEnv signal_env{"BOARD_SIM_SIGNAL", "dc:0:1.0"};
    std::string folder = dir.file("labbench-" + std::to_string(geteuid()));
    std::string default_path = folder + "/labbench-bench.state";

    simtest::Library instrument{LABBENCH_SIM_GPIB_PATH};
    simtest::Library board{LABBENCH_SIM_BOARD_PATH};
    void (*SendIFC)(int) = instrument.get<void (*)(int)>("SendIFC");
    void (*Send)(int, GpibDriverAddr, const void *, long, int) =
        instrument.get<void (*)(int, GpibDriverAddr, const void *, long, int)>("Send");
    unsigned char (*inb)(unsigned short) =
        board.get<unsigned char (*)(unsigned short)>("portio_inb");
    void (*outb)(unsigned short,
                 unsigned char) = board.get<void (*)(unsigned short, unsigned char)>("portio_outb");

    void SetUp() override {
        ASSERT_TRUE(instrument.loaded());
        ASSERT_TRUE(board.loaded());
        ASSERT_EQ(benchsim::default_bench_state_path(), default_path);
    }

    // Sends one message to the instrument; returns what it said on stderr.
    std::string send(const std::string &message) {
        testing::internal::CaptureStderr();
        SendIFC(0);
        Send(0, 8, message.data(), long(message.size()), GPIB_DRIVER_DABend);
        return testing::internal::GetCapturedStderr();
    }

    // Starts a 10 kHz capture, reads its first result and stops it. The
    // board's stderr goes to `warnings`.
    std::optional<unsigned> measure(std::string &warnings) {
        testing::internal::CaptureStderr();
        outb(kControl, 0x74);
        outb(kControl, 0xB4);
        outb(kCounter1, 20);
        outb(kCounter1, 0);
        outb(kCounter2, 10);
        outb(kCounter2, 0);
        outb(kMode, 4);
        std::optional<unsigned> sample;
        std::int64_t deadline = now_ns() + 2'000'000'000;
        unsigned char high;
        while ((high = inb(kStatus)) & kNotReady && now_ns() < deadline) {
        }
        if (!(high & kNotReady)) sample = unsigned(high & 0x0F) << 8 | inb(kLow);
        outb(kMode, 0);
        warnings = testing::internal::GetCapturedStderr();
        return sample;
    }
};

TEST_F(StateFile, NoLinkBesideTheStateFileIsWrittenThrough) {
    // Links at the names a temporary file could be guessed to have, all
    // pointing at a file of the user's that must survive.
    std::string state = dir.file("bench.state");
    simtest::ScopedEnv named("BENCH_SIM_STATE", state);
    std::string victim = dir.file("victim");
    write_text(victim, "precious\n");
    std::vector<std::string> planted;
    for (const std::string &suffix :
         std::vector<std::string>{".tmp", ".tmp." + std::to_string(getpid()), ".new", "~"}) {
        planted.push_back(state + suffix);
        fs::create_symlink(victim, planted.back());
    }

    send("FREQ 1234");
    EXPECT_EQ(contents(victim), "precious\n");
    benchsim::BenchOutput output;
    std::string error;
    ASSERT_TRUE(benchsim::read_bench_state(state, output, error)) << error;
    EXPECT_EQ(output.frequency_hz, 1234);
    EXPECT_EQ(fs::status(state).permissions() & fs::perms::others_all, fs::perms::none);
    std::vector<std::string> left;
    for (const auto &entry : fs::directory_iterator(dir.path()))
        if (entry.path() != state && entry.path() != victim &&
            std::find(planted.begin(), planted.end(), entry.path()) == planted.end())
            left.push_back(entry.path().filename());
    EXPECT_EQ(left, std::vector<std::string>{}) << "no temporary file may be left behind";
}

TEST_F(StateFile, DefaultStateFileLivesInAPrivateFolder) {
    send("FREQ 250;VOLT 4;:DATA:DAC VOLATILE,#216" + std::string(16, '\x07') +
         ";:FUNC:USER VOLATILE;:FUNC USER");
    struct stat info;
    ASSERT_EQ(lstat(folder.c_str(), &info), 0) << "the instrument creates " << folder;
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_EQ(info.st_uid, geteuid());
    benchsim::BenchOutput output;
    std::string error;
    ASSERT_TRUE(benchsim::read_bench_state(default_path, output, error)) << error;
    EXPECT_EQ(output.frequency_hz, 250);

    std::string warnings;
    std::optional<unsigned> sample = measure(warnings);
    ASSERT_TRUE(sample);
    EXPECT_EQ(*sample, code_for(2.0 * 0x0707 / 2047)) << "the board reads the private file";
    EXPECT_EQ(warnings, "");
}

TEST_F(StateFile, FolderNotPrivateIsNeitherWrittenNorRead) {
    std::string elsewhere = dir.file("elsewhere");
    struct Case {
        const char *name;
        void (*plant)(const std::string &folder, const std::string &elsewhere);
        bool needs_root = false;
    } cases[] = {
        {"open to everyone",
         [](const std::string &f, const std::string &) {
             fs::create_directory(f);
             fs::permissions(f, fs::perms::all);
         }},
        {"a link to another folder",
         [](const std::string &f, const std::string &e) {
             fs::create_directory(e);
             fs::permissions(e, fs::perms::owner_all);
             fs::create_directory_symlink(e, f);
         }},
        {"another user's",
         [](const std::string &f, const std::string &) {
             fs::create_directory(f);
             fs::permissions(f, fs::perms::owner_all);
             ASSERT_EQ(chown(f.c_str(), 65534, 65534), 0);
         },
         true},
    };
    int frequency_hz = 4321;  // a new one each time, so the instrument publishes again
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needs_root && geteuid() != 0) continue;  // only root can give a folder away
        fs::remove_all(folder);
        fs::remove_all(elsewhere);
        c.plant(folder, elsewhere);
        // A state file someone else left there, which the board must not believe.
        std::string planted =
            (fs::is_symlink(folder) ? elsewhere : folder) + "/labbench-bench.state";
        write_text(planted, state_text());

        std::string said = send("FREQ " + std::to_string(++frequency_hz));
        EXPECT_NE(said.find("is not a private folder of this user"), std::string::npos) << said;
        EXPECT_EQ(contents(planted), state_text()) << "the instrument must not write there";

        std::string warnings;
        std::optional<unsigned> sample = measure(warnings);
        ASSERT_TRUE(sample);
        EXPECT_EQ(*sample, code_for(1.0)) << "the default signal, not the planted file";
        EXPECT_EQ(count_lines(warnings), 1u) << warnings;
        EXPECT_NE(warnings.find("is not a private folder"), std::string::npos) << warnings;
        fs::remove_all(folder);
    }
}

TEST_F(StateFile, BoardMeasuresTheDefaultSignalWhenTheFileIsNotAStateFile) {
    // The instrument's output at +2 V when the file is read, 1 V (the default
    // signal) when it is refused.
    std::string named = dir.file("named.state");
    std::string real = dir.file("real.state");
    write_text(real, state_text());
    fs::create_directory(folder);
    fs::permissions(folder, fs::perms::owner_all);
    struct Case {
        const char *name;
        std::string path;                               // "": the default location
        std::function<void(const std::string &)> make;  // what is found at the path
        const char *warning;                            // nullptr: read, no warning
    } cases[] = {
        {"a FIFO", named, [](const std::string &p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); },
         "not a regular file"},
        {"a device", "/dev/zero", [](const std::string &) {}, "not a regular file"},
        {"a 1 GiB sparse file", named,
         [](const std::string &p) {
             write_text(p, state_text());
             fs::resize_file(p, std::uintmax_t(1) << 30);
         },
         "larger than any bench state file"},
        {"a nan frequency", named, [](const std::string &p) { write_text(p, state_text("nan")); },
         "bad value 'nan'"},
        {"an infinite amplitude", named,
         [](const std::string &p) { write_text(p, state_text("1000", "-inf")); },
         "bad value '-inf'"},
        {"a link at the default location", "",
         [&](const std::string &p) { fs::create_symlink(real, p); }, "a link"},
        {"a link the user named", named, [&](const std::string &p) { fs::create_symlink(real, p); },
         nullptr},
        {"a regular state file at the default location", "",
         [](const std::string &p) { write_text(p, state_text()); }, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = c.path.empty() ? default_path : c.path;
        std::optional<simtest::ScopedEnv> env;
        if (!c.path.empty()) env.emplace("BENCH_SIM_STATE", c.path);
        if (path != "/dev/zero") fs::remove(path);
        c.make(path);

        std::string warnings;
        std::optional<unsigned> sample = measure(warnings);
        ASSERT_TRUE(sample) << "the capture must run";
        if (c.warning) {
            EXPECT_EQ(*sample, code_for(1.0)) << "the default signal";
            EXPECT_EQ(count_lines(warnings), 1u) << warnings;
            EXPECT_NE(warnings.find(c.warning), std::string::npos) << warnings;
        } else {
            EXPECT_EQ(*sample, code_for(2.0)) << "the instrument's output";
            EXPECT_EQ(warnings, "");
        }
        if (path != "/dev/zero") fs::remove(path);
    }
}

}  // namespace
