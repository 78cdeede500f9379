// SPDX-License-Identifier: GPL-3.0-or-later
// Reading a reference trace for a graph control from a file.
//
// A reference is a file of rows of two numbers, x and y: a CSV file saved by
// LabBench (its '#' lines and header row are skipped, and of several x/y
// column pairs the first is taken), or any text file of two numeric columns
// separated by commas, semicolons, tabs or spaces, with an optional header row
// and '#' comment lines. Numbers are read with a decimal point whatever the
// locale. A file that cannot be used is refused with the line and the reason,
// so that the operator can mend it.
#pragma once

#include <QByteArray>
#include <QList>
#include <QPointF>
#include <QString>
#include <variant>

namespace userint_internal {

// Largest reference accepted: rows of data, and bytes of file.
constexpr qsizetype kMaxReferenceRows = 1000000;
constexpr qint64 kMaxReferenceBytes = 64 * 1024 * 1024;

// Why a file cannot be a reference: the line (from 1; 0 when it is about the
// whole file) and what is wrong, in the operator's terms.
struct ReferenceProblem {
    qsizetype line = 0;
    QString what;
};

// The points of `content`, in the file's order, or the first problem found.
std::variant<QList<QPointF>, ReferenceProblem> parse_reference(const QByteArray &content);

// The points of the file at `path` (at most kMaxReferenceBytes), or why not.
std::variant<QList<QPointF>, ReferenceProblem> read_reference_file(const QString &path);

}  // namespace userint_internal
