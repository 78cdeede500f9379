// SPDX-License-Identifier: GPL-3.0-or-later
// Test harness of the generator (see generator_harness.h).
#include "generator_harness.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <QComboBox>
#include <QWidget>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "generator_ui.h"
#include "panel_operator.h"
#include "userint.h"
#include "userint_testing.h"

const std::string &testRuntimeDir() {
    // Removed with its lock files when the test process ends.
    static struct Folder {
        std::string path;
        Folder() {
            char name[] = "/tmp/generator-test-runtime-XXXXXX";
            if (mkdtemp(name) == nullptr) {
                std::perror("mkdtemp");
                std::abort();
            }
            path = name;
            setenv("XDG_RUNTIME_DIR", name, 1);
        }
        ~Folder() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    } folder;
    return folder.path;
}

RecordingGpib &bus() {
    static RecordingGpib *instance = [] {
        setenv("GPIB_LIBRARY", RECORDING_GPIB_PATH, 1);
        return new RecordingGpib(RECORDING_GPIB_PATH);  // kept open for the process
    }();
    return *instance;
}

static bool quitSent(size_t from) {
    for (size_t i = from; i < bus().size(); i++)
        if (bus().at(i).routine == "EnableLocal") return true;
    return false;
}

int runGenerator(const std::function<void()> &script) {
    testRuntimeDir();
    bus();
    return panel_operator::runProgram(generator_main, "generator", [script] {
        size_t start = bus().size();
        script();
        if (!quitSent(start) && control(PANEL_QUIT) != nullptr)
            panel_operator::click(control(PANEL_QUIT));
    });
}

int runGeneratorOn(const char *driver, const std::function<void()> &script) {
    testRuntimeDir();
    setenv("GPIB_LIBRARY", driver, 1);
    return panel_operator::runProgram(generator_main, "generator", script);
}

QuitAtExit::~QuitAtExit() {
    if (control(PANEL_QUIT) != nullptr) panel_operator::click(control(PANEL_QUIT));
}

QWidget *control(int id) { return panel_operator::find(PANEL, id); }

void typeValue(int id, double value, int decimals, bool commit) {
    QWidget *w = control(id);
    ASSERT_NE(w, nullptr) << "no control " << id << " on the panel";
    const QString typed = panel_operator::asTyped(w, value, decimals);
    if (commit)
        panel_operator::enter(w, typed);
    else
        panel_operator::typeInto(w, typed);
}

void chooseDecade(int index) {
    panel_operator::chooseItem(panel_operator::find<QComboBox>(PANEL, PANEL_DECADE), index);
}

void clickButton(int id) { panel_operator::click(control(id)); }

std::string statusLine() { return panel_operator::text(PANEL, PANEL_STATUS); }

std::uint16_t expectedEntry(int i, float angle) {
    const double tenfold = 10.0 * (double)angle;
    bool held = i < 1800 ? i <= tenfold : i - 1800 <= tenfold;
    return held ? 0 : (std::uint16_t)(int)(std::sin(0.001745 * i) * 2047.0);
}

std::string expectedBlock(float angle) {
    std::string block = "data:dac volatile,#47200";
    for (int i = 0; i < 3600; i++) {
        std::uint16_t code = expectedEntry(i, angle);
        block += (char)(code & 0xFF);
        block += (char)(code >> 8);
    }
    return block;
}

std::vector<std::string> uploadTexts(const std::string &freqText, const std::string &voltText,
                                     float angle) {
    return {
        freqText,         voltText,   "FORM:BORD SWAP", expectedBlock(angle), "FUNC:USER VOLATILE",
        "FUNC:SHAP USER", "SYST:ERR?"};
}

// The driver library's end mode for EOI with the last byte and nothing appended.
static const int DRIVER_EOI_LAST = 1;

void expectUpload(const std::vector<BusCall> &sends, const std::string &freqText,
                  const std::string &voltText, float angle) {
    std::vector<std::string> want = uploadTexts(freqText, voltText, angle);
    ASSERT_EQ(sends.size(), want.size()) << "an upload is six transfers and the error query";
    for (size_t k = 0; k < want.size(); k++) {
        const BusCall &c = sends[k];
        EXPECT_EQ(c.board, 0) << "transfer " << k;
        EXPECT_EQ(c.address, 8) << "transfer " << k;
        EXPECT_EQ(c.mode, DRIVER_EOI_LAST) << "transfer " << k << " must end with EOI, no newline";
        EXPECT_EQ((size_t)c.count, c.bytes.size()) << "transfer " << k;
        if (want[k].size() < 100) {
            EXPECT_EQ(c.bytes, want[k]) << "transfer " << k;
            continue;
        }
        ASSERT_EQ(c.bytes.size(), want[k].size()) << "the block (transfer " << k << ") length";
        auto diff = std::mismatch(c.bytes.begin(), c.bytes.end(), want[k].begin());
        if (diff.first != c.bytes.end()) {
            size_t at = diff.first - c.bytes.begin();
            ADD_FAILURE() << "block for angle " << angle << " differs at byte " << at
                          << (at >= 24 ? " (entry " + std::to_string((at - 24) / 2) + ")" : "")
                          << ": got 0x" << std::hex << (int)(unsigned char)*diff.first
                          << ", expected 0x" << (int)(unsigned char)*diff.second;
        }
    }
}
