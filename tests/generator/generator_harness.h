// SPDX-License-Identifier: GPL-3.0-or-later
// Test harness of the generator: runs the program's entry in the test process on
// the recording GPIB driver, and operates its panel as an operator does, with key and
// mouse events on the real widgets.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "recording_gpib.h"

class QWidget;
class QString;

extern "C" int generator_main(int argc, char *argv[]);

// The recording GPIB driver the program binds (GPIB_LIBRARY points at it from
// the first use, which also resets it).
RecordingGpib &bus();

// The test process's own runtime folder (XDG_RUNTIME_DIR, set on the first call),
// so that the instrument lock of one test's generator never refuses another's.
const std::string &testRuntimeDir();

// Runs generator_main offscreen with `script` inside its event loop. Unless the
// script ended the program, the quit button is clicked after it. Returns the exit code.
int runGenerator(const std::function<void()> &script);
// Runs generator_main offscreen on the driver library `driver`; the script must
// end the program itself (QuitAtExit does it even when an assertion returns early).
int runGeneratorOn(const char *driver, const std::function<void()> &script);
struct QuitAtExit {
    ~QuitAtExit();
};

// ---- Operator actions on the panel (through tests/support/panel_operator.h) ---------------
QWidget *control(int id);
// Clicks into a numeric field, replaces its text with `value` (as the panel's locale
// writes it) and, if `commit`, presses Return.
void typeValue(int id, double value, int decimals, bool commit = true);
// Moves the decade ring to item `index` with the arrow keys, as a keyboard user does.
void chooseDecade(int index);
void clickButton(int id);
std::string statusLine();

// ---- What the instrument should get -----------------------------------------------------
// The 16-bit pattern of table entry i for `angle`: zero where the half-period is
// held (entries up to 10 x angle into each half-period), else the sine code.
std::uint16_t expectedEntry(int i, float angle);
// "data:dac volatile,#47200" and the 3600 entries, low byte first.
std::string expectedBlock(float angle);
// The six transfers of one upload and the error query after them, in order.
std::vector<std::string> uploadTexts(const std::string &freqText, const std::string &voltText,
                                     float angle);
// Checks that `sends` is exactly one upload of these texts and this angle's block
// followed by the error query (the instrument answering "no error" at once),
// each to address 8 on board 0 with EOI on its last byte and no newline; a block
// mismatch is reported at its first differing byte.
void expectUpload(const std::vector<BusCall> &sends, const std::string &freqText,
                  const std::string &voltText, float angle);
