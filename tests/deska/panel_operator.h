// SPDX-License-Identifier: GPL-3.0-or-later
// Drives the deska panel as an operator does (keys and mouse on the real widgets) and
// reads what the operator sees. Shared by the deska test executables.
#pragma once

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "deska.h"
#include "userint.h"
#include "userint_testing.h"

// The program's own main, renamed in its test copy.
extern "C" int deska_main(int argc, char *argv[]);

namespace deska_operator {

// The run-time gives the first (and only) panel loaded the handle 1.
constexpr int Handle = 1;

template <class W>
W *widget(int id) {
    W *found = qobject_cast<W *>(userint_testing::controlWidget(Handle, id));
    if (found == nullptr) {
        std::fprintf(stderr, "control %d of the deska panel is missing or not a %s\n", id,
                     W::staticMetaObject.className());
        std::abort();
    }
    return found;
}

// Runs deska's entry with `script` inside its event loop, then clicks Quit;
// returns the entry's exit status.
inline int runDeska(const std::function<void()> &script) {
    userint_testing::runInEventLoop([script] {
        script();
        QTest::mouseClick(widget<QPushButton>(PANEL_QUIT), Qt::LeftButton);
    });
    static char name[] = "deska";
    static char *argv[] = {name, nullptr};
    return deska_main(1, argv);
}

// ---- What the operator does ---------------------------------------------------------

inline void typeFrequency(const char *kHz) {
    QDoubleSpinBox *field = widget<QDoubleSpinBox>(PANEL_FREQ);
    QTest::mouseClick(field, Qt::LeftButton);
    QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(field, kHz);
    QTest::keyClick(field, Qt::Key_Return);
}

// Picks ring item `index` with the keyboard (Home, then Down), committing each step.
inline void chooseGain(int index) {
    QComboBox *ring = widget<QComboBox>(PANEL_GAIN);
    QTest::keyClick(ring, Qt::Key_Home);
    for (int i = 0; i < index; i++) QTest::keyClick(ring, Qt::Key_Down);
}

inline void clickRun() { QTest::mouseClick(widget<QPushButton>(PANEL_RUN), Qt::LeftButton); }

// ---- What the operator sees -------------------------------------------------------------

inline std::string text(int id) { return widget<QLineEdit>(id)->text().toStdString(); }
inline double shownFrequency() { return widget<QDoubleSpinBox>(PANEL_FREQ)->value(); }
inline int busyLamp() {
    int lit = -1;
    GetCtrlVal(Handle, PANEL_BUSY, &lit);
    return lit;
}

}  // namespace deska_operator
