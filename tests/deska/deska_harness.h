// SPDX-License-Identifier: GPL-3.0-or-later
// The deska panel in an operator's words, for the deska test executables: the
// program's entry run with a test script, and its controls operated and read
// through the shared panel operator (tests/support/panel_operator.h).
#pragma once

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <functional>
#include <string>

#include "deska.h"
#include "panel_operator.h"
#include "scripted_port.h"
#include "userint.h"
#include "userint_testing.h"

// The program's own main, renamed in its test copy.
extern "C" int deska_main(int argc, char *argv[]);

namespace deska_operator {

// The run-time gives the first (and only) panel loaded the handle 1.
constexpr int Handle = 1;

template <class W>
W *widget(int id) {
    return panel_operator::control<W>(Handle, id);
}

// Runs deska's entry with `script` inside its event loop, then clicks Quit;
// returns the entry's exit status.
inline int runDeska(const std::function<void()> &script) {
    return panel_operator::runProgram(deska_main, "deska", [script] {
        script();
        panel_operator::click(widget<QPushButton>(PANEL_QUIT));
    });
}

// ---- What the operator does ---------------------------------------------------------

inline void typeFrequency(const char *kHz) {
    panel_operator::enter(widget<QDoubleSpinBox>(PANEL_FREQ), QString::fromLatin1(kHz));
}

// Picks ring item `index` with the arrow keys, committing each step.
inline void chooseGain(int index) {
    panel_operator::chooseItem(widget<QComboBox>(PANEL_GAIN), index);
}

inline void clickRun() { panel_operator::click(widget<QPushButton>(PANEL_RUN)); }

// Clicks Run until the program read a capture of the scripted board, paced at
// `period_ms`, on time (late by under 0.45 periods; a capture the program
// itself started or ended late says nothing of the board), five times at most.
// False when the machine was too busy for each of them: the test skips.
inline bool runCaptureReadOnTime(double period_ms) {
    for (int attempt = 0; attempt < 5; attempt++) {
        clickRun();
        if (scripted_port::readLateness_ms() < 0.45 * period_ms) return true;
    }
    return false;
}

// ---- What the operator sees -------------------------------------------------------------

inline std::string text(int id) { return panel_operator::text(Handle, id); }
inline std::string statusText() {
    char line[1024] = "";
    GetCtrlVal(Handle, PANEL_STATUS, line);
    return line;
}
inline double shownFrequency() { return widget<QDoubleSpinBox>(PANEL_FREQ)->value(); }
inline int busyLamp() {
    int lit = -1;
    GetCtrlVal(Handle, PANEL_BUSY, &lit);
    return lit;
}

}  // namespace deska_operator
