// SPDX-License-Identifier: GPL-3.0-or-later
// Axis ticks of the graph controls: where the labelled ticks go and what they read.
//
// Ticks sit at whole multiples of a 1-2-5 step (..., 0.1, 0.2, 0.5, 1, 2, 5,
// 10, ...) inside the shown range, which itself stays exactly as the program or
// the zoom set it. The step is the finest one that gives at most ten intervals
// and leaves room between the labels on the axis as long as it is drawn; at
// least four intervals where the labels have the room. Label texts are built
// from the step's digits, so they never show the rounding noise of adding
// steps up in binary (0.2 + 0.2 + 0.2 ...).
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

struct GraphState;

namespace userint_internal {

struct AxisTicks {
    double step = 0;             // 0: no ticks (empty or invalid range)
    std::vector<double> values;  // ascending, within the range
    QStringList labels;          // one text per value, with a decimal point
};

// Ticks for the range [min, max] on an axis `lengthPx` pixels long. `extentPx`
// gives the room one label takes along the axis (its width on an x axis, its
// height on a y axis); `gapPx` is the least room between two labels.
AxisTicks choose_ticks(double min, double max, double lengthPx,
                       const std::function<double(const QString &)> &extentPx, double gapPx);

// Puts the ticks for the current ranges and plot area on both axes of `g`.
void update_ticks(GraphState &g);

}  // namespace userint_internal
