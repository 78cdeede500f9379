// SPDX-License-Identifier: GPL-3.0-or-later
// Operating a panel as an operator does, for every test that drives one: key
// and mouse events (QTest) on the real widgets of a loaded panel, and a
// program's entry run with a test script inside its event loop.
//
// Each action is one gesture an operator makes, so a test states what the
// operator did and the run-time turns it into commits as it would on a desk:
// typing into a numeric field commits on Return (or not at all, when the test
// says so), a ring moves one committing step per arrow key, a button is
// clicked. A control the test cannot go on without ends the test process with
// a message naming it, rather than a crash on a null widget later.
#pragma once

#include <QObject>
#include <QString>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "userint_testing.h"

class QAbstractSpinBox;
class QComboBox;
class QWidget;

namespace panel_operator {

// The widget of control `id` on `panel` when it is a W, else nullptr.
template <class W = QWidget>
W *find(int panel, int id) {
    return qobject_cast<W *>(userint_testing::control_widget(panel, id));
}

// The widget of control `id` on `panel`, which must be a W: a missing control
// ends the test process with a message naming it.
template <class W = QWidget>
W *control(int panel, int id) {
    W *found = find<W>(panel, id);
    if (found == nullptr) {
        std::fprintf(stderr, "control %d of panel %d is missing or not a %s\n", id, panel,
                     W::staticMetaObject.className());
        std::abort();
    }
    return found;
}

// Makes the panel's window the active one and waits (at most 5 s) until it is.
void activate(int panel);

// Runs `entry`, a program's main renamed in its test copy, as program `name`
// on the offscreen platform, with `script` inside its event loop once panel 1
// (the program's first) is shown and active. Returns the entry's exit status.
int runProgram(int (*entry)(int, char **), const char *name, std::function<void()> script);

// ---- Gestures -----------------------------------------------------------------------

// Clicks into the field's text, selects it all (Ctrl+A) and types `text`,
// leaving the edit pending as typing alone does.
void typeInto(QWidget *field, const QString &text);
// Types `text` as typeInto does and presses Return, which commits it.
void enter(QWidget *field, const QString &text);
// `value` with `decimals` digits as the field's locale writes it.
QString asTyped(const QWidget *field, double value, int decimals);
// Moves a ring to item `index` with the arrow keys from its current item, as
// a keyboard user does: each step is a commit.
void chooseItem(QComboBox *ring, int index);
// Opens the ring's list (F4), moves `downPresses` rows down and takes the row
// with Return.
void chooseFromList(QComboBox *ring, int downPresses);
// Opens the ring's list with a click and clicks row `row`.
void chooseWithMouse(QComboBox *ring, int row);
void click(QWidget *button);
// Clicks a spin box's up or down arrow (QStyle::SC_SpinBoxUp or SC_SpinBoxDown).
void clickSpinArrow(QAbstractSpinBox *spin, int arrow);
// One notch of the mouse wheel, away from the operator.
void wheelUp(QWidget *widget);

// ---- What the operator reads ---------------------------------------------------------

// The text of string control `id` (a read-out or a text input), through GetCtrlVal.
std::string text(int panel, int id);

// Writes `to`, a copy of the panel file `from` in which the text `original`,
// found exactly once, is replaced by `edited`: a panel that has drifted from its
// program, put beside a copy of it. Returns "" or what went wrong.
std::string writeEditedPanel(const QString &from, const QString &to, const char *original,
                             const char *edited);

}  // namespace panel_operator
