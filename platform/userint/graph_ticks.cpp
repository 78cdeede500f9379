// SPDX-License-Identifier: GPL-3.0-or-later
// Axis ticks of the graph controls (see graph_ticks.h).
//
// The axes are category axes whose categories end at the ticks, with the label
// drawn at the end value: that shows exactly the texts made here, where a value
// axis would print its own sums of the step (0.6000000000000001, -5.55e-17).
#include "graph_ticks.h"

#include <QCategoryAxis>
#include <QChart>
#include <QFontMetricsF>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>

#include "userint_internal.h"

namespace userint_internal {

namespace {

constexpr int kMostIntervals = 10;
constexpr int kFewestIntervals = 4;
// Beyond this many steps from zero the tick numbers would not be exact.
constexpr double kLargestTickIndex = 1e15;

// The text of n * 10^exponent, with a decimal point and no trailing zeros.
QString decimal_text(long long n, int exponent) {
    if (n == 0) return QStringLiteral("0");
    std::string digits = std::to_string(std::llabs(n));
    if (exponent >= 0) {
        digits.append(static_cast<size_t>(exponent), '0');
    } else {
        const size_t decimals = static_cast<size_t>(-exponent);
        if (digits.size() <= decimals) digits.insert(0, decimals - digits.size() + 1, '0');
        digits.insert(digits.size() - decimals, 1, '.');
        while (digits.back() == '0') digits.pop_back();
        if (digits.back() == '.') digits.pop_back();
    }
    if (n < 0) digits.insert(0, 1, '-');
    return QString::fromStdString(digits);
}

double decimal_value(long long n, int exponent) {
    return exponent >= 0 ? static_cast<double>(n) * std::pow(10.0, exponent)
                         : static_cast<double>(n) / std::pow(10.0, -exponent);
}

QString shortest_text(double value) {
    char text[32];
    const std::to_chars_result r = std::to_chars(text, text + sizeof text, value);
    return QString::fromLatin1(text, static_cast<int>(r.ptr - text));
}

struct Candidate {
    AxisTicks ticks;
    bool fits = false;
    int intervals() const { return static_cast<int>(ticks.values.size()) - 1; }
};

Candidate candidate(double min, double max, int mantissa, int exponent, double lengthPx,
                    const std::function<double(const QString &)> &extentPx, double gapPx) {
    Candidate c;
    const double step = decimal_value(mantissa, exponent);
    // A tick a hair outside the range (by rounding) still counts as on its edge.
    constexpr double kSlack = 1e-9;
    const long long first = static_cast<long long>(std::ceil(min / step - kSlack));
    const long long last = static_cast<long long>(std::floor(max / step + kSlack));
    c.ticks.step = step;
    if (last - first > 4 * kMostIntervals) return c;
    double widest = 0;
    for (long long k = first; k <= last; ++k) {
        c.ticks.values.push_back(std::clamp(decimal_value(k * mantissa, exponent), min, max));
        c.ticks.labels << decimal_text(k * mantissa, exponent);
        widest = std::max(widest, extentPx(c.ticks.labels.back()));
    }
    c.fits = lengthPx * step / (max - min) >= widest + gapPx;
    return c;
}

}  // namespace

AxisTicks choose_ticks(double min, double max, double lengthPx,
                       const std::function<double(const QString &)> &extentPx, double gapPx) {
    if (!std::isfinite(min) || !std::isfinite(max) || !(min < max)) return {};
    const double span = max - min;
    if (std::max(std::fabs(min), std::fabs(max)) / span > kLargestTickIndex / 100) {
        // A narrow window far from zero: its two ends are the only exact labels.
        AxisTicks ends;
        ends.step = span;
        ends.values = {min, max};
        ends.labels = {shortest_text(min), shortest_text(max)};
        return ends;
    }
    // Steps from about a hundredth of the span up to the span, finest first.
    std::vector<Candidate> candidates;
    const int lowest = static_cast<int>(std::floor(std::log10(span / 100)));
    for (int exponent = lowest; exponent <= lowest + 3; ++exponent)
        for (int mantissa : {1, 2, 5}) {
            Candidate c = candidate(min, max, mantissa, exponent, lengthPx, extentPx, gapPx);
            if (c.intervals() >= 1 && c.intervals() <= 4 * kMostIntervals)
                candidates.push_back(std::move(c));
        }
    if (candidates.empty()) return {};
    // The finest step of at most ten intervals whose labels have room ...
    auto chosen = std::find_if(candidates.begin(), candidates.end(), [](const Candidate &c) {
        return c.fits && c.intervals() <= kMostIntervals;
    });
    // ... but never fewer than four intervals where a finer step still fits.
    if (chosen != candidates.end() && chosen->intervals() < kFewestIntervals)
        for (auto finer = chosen; finer != candidates.begin();) {
            --finer;
            if (finer->fits && finer->intervals() >= kFewestIntervals) {
                chosen = finer;
                break;
            }
        }
    // Not laid out yet, or very small: the coarsest step.
    if (chosen == candidates.end()) chosen = candidates.end() - 1;
    return chosen->ticks;
}

namespace {

void apply_ticks(QValueAxis *valueAxis, const AxisTicks &ticks) {
    auto *axis = qobject_cast<QCategoryAxis *>(valueAxis);
    if (!axis) return;
    const QStringList shown = axis->categoriesLabels();
    bool same = shown == ticks.labels;
    for (qsizetype i = 0; same && i < shown.size(); ++i)
        same = axis->endValue(shown[i]) == ticks.values[static_cast<size_t>(i)];
    if (same) return;
    for (const QString &label : shown) axis->remove(label);
    axis->setStartValue(ticks.values.empty() ? axis->min() : ticks.values.front());
    for (size_t i = 0; i < ticks.values.size(); ++i)
        axis->append(ticks.labels[static_cast<qsizetype>(i)], ticks.values[i]);
}

}  // namespace

void update_ticks(GraphState &g) {
    const QRectF area = g.chart->plotArea();
    const QFontMetricsF xMetrics(g.xAxis->labelsFont());
    const QFontMetricsF yMetrics(g.yAxis->labelsFont());
    // Labels stand apart by two digits' width across, by half a line up the y axis.
    const double xGap = 2 * xMetrics.horizontalAdvance(QLatin1Char('0'));
    const double yGap = 0.5 * yMetrics.height();
    apply_ticks(g.xAxis,
                choose_ticks(
                    g.xAxis->min(), g.xAxis->max(), area.width(),
                    [&](const QString &t) { return xMetrics.horizontalAdvance(t); }, xGap));
    apply_ticks(g.yAxis, choose_ticks(
                             g.yAxis->min(), g.yAxis->max(), area.height(),
                             [&](const QString &) { return yMetrics.height(); }, yGap));
}

}  // namespace userint_internal
