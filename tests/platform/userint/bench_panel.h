// SPDX-License-Identifier: GPL-3.0-or-later
// The panel every test of the GUI run-time drives: bench.uir, loaded beside the
// test program, with callbacks that record every event they get, so that each
// test states which events an operator's action must produce. PanelTest loads
// and shows it (handle 1) before each test and discards it after.
#pragma once

#include <gtest/gtest.h>

#include <QImage>
#include <QRect>
#include <QString>
#include <QWidget>
#include <functional>
#include <ostream>
#include <vector>

#include "panel_operator.h"
#include "userint.h"

namespace bench_panel {

// The panel's handle and its controls' identifiers, as bench.uir gives them.
enum {
    PANEL = 1,
    AMPL = 2,
    COUNT = 3,
    RUN = 4,
    DECADE = 5,
    QUIT = 6,
    BUSY = 7,
    GRAPH = 8,
    RMS = 9,
    NOTE = 10
};

struct Event {
    int panel, control, event;  // control 0: panel callback
    bool operator==(const Event &) const = default;
};
std::ostream &operator<<(std::ostream &os, const Event &e);

// Every event the panel's callbacks got, in order.
extern std::vector<Event> events;
// Runs inside a commit callback, with the control that committed.
extern std::function<void(int control)> inside_commit;

// How many events of kind `event` control `control` got (0: the panel's own).
int count_for(int control, int event = EVENT_COMMIT);

template <class W>
W *control(int id) {
    return panel_operator::find<W>(PANEL, id);
}

QString read_file(const QString &path);
// Writes a panel file that a case made (replacing any file of that name).
void write_file(const QString &path, const QByteArray &content);
// bench.uir beside the test program.
QString fixture_path();

// What the window system shows of the panel now (the backing store), without
// letting the event loop run.
QImage on_screen(QWidget *panel);

// How many pixels of `area` in `image` have the colour `colour` (0xRRGGBB).
int pixels_of_colour(const QImage &image, const QRect &area, QRgb colour);

class PanelTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    QWidget *panel = nullptr;
};

}  // namespace bench_panel
