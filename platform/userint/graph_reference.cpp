// SPDX-License-Identifier: GPL-3.0-or-later
// Reading a reference trace for a graph control from a file (see graph_reference.h).
//
// The file is taken apart byte by byte with std::from_chars, without a string
// per line, so that a million rows read in well under a second.
#include "graph_reference.h"

#include <QFile>
#include <QFileInfo>
#include <charconv>
#include <cmath>
#include <string_view>
#include <vector>

namespace userint_internal {

namespace {

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"') s = s.substr(1, s.size() - 2);
    return s;
}

// The first two fields of a row and how many there are (2 means "two or more").
struct Fields {
    std::string_view first, second;
    int count = 0;
};

Fields split(std::string_view row) {
    char separator = 0;
    for (char c : {',', ';', '\t'})
        if (row.find(c) != std::string_view::npos) {
            separator = c;
            break;
        }
    Fields f;
    if (separator) {
        const size_t a = row.find(separator);
        f.first = trimmed(row.substr(0, a));
        const std::string_view rest = row.substr(a + 1);
        f.second = trimmed(rest.substr(0, rest.find(separator)));
        f.count = 2;
        return f;
    }
    // Columns separated by spaces.
    const std::string_view t = trimmed(row);
    const size_t a = t.find(' ');
    f.first = t.substr(0, a);
    f.count = t.empty() ? 0 : 1;
    if (a != std::string_view::npos) {
        f.second = trimmed(t.substr(a + 1));
        f.second = f.second.substr(0, f.second.find(' '));
        f.count = 2;
    }
    return f;
}

bool number(std::string_view text, double *value) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    const std::from_chars_result r =
        std::from_chars(text.data(), text.data() + text.size(), *value);
    return r.ec == std::errc() && r.ptr == text.data() + text.size() && std::isfinite(*value);
}

QString quoted(std::string_view text) {
    constexpr size_t kLongest = 40;
    QString shown =
        QString::fromUtf8(text.data(), static_cast<qsizetype>(std::min(text.size(), kLongest)));
    if (text.size() > kLongest) shown += QStringLiteral("…");
    return QLatin1Char('"') + shown + QLatin1Char('"');
}

}  // namespace

std::variant<QList<QPointF>, ReferenceProblem> parse_reference(const QByteArray &content) {
    std::string_view text(content.constData(), static_cast<size_t>(content.size()));
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);  // a UTF-8 byte order mark
    QList<QPointF> points;
    bool headerAllowed = true;
    qsizetype lineNumber = 0;
    while (!text.empty()) {
        ++lineNumber;
        const size_t end = text.find('\n');
        const std::string_view row = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (row.find('\0') != std::string_view::npos)
            return ReferenceProblem{lineNumber,
                                    QStringLiteral("the file holds a zero byte, so it is not a "
                                                   "text file of numbers")};
        const std::string_view bare = trimmed(row);
        if (bare.empty() || bare.front() == '#') continue;
        const Fields f = split(row);
        double x = 0, y = 0;
        const bool xRead = number(f.first, &x);
        const bool yRead = f.count == 2 && number(f.second, &y);
        if (headerAllowed && !xRead && !f.first.empty()) {
            headerAllowed = false;  // one header row, before the data, that names the x column
            continue;
        }
        headerAllowed = false;
        if (f.count == 2 && f.first.empty() && f.second.empty())
            continue;  // a LabBench file whose first plot ended before a later one
        if (f.count < 2)
            return ReferenceProblem{lineNumber,
                                    QStringLiteral("the row holds one column; a reference needs "
                                                   "two, x and y")};
        if (!xRead)
            return ReferenceProblem{
                lineNumber, f.first.empty() ? QStringLiteral("the x value is missing")
                                            : quoted(f.first) + QStringLiteral(" is not a number")};
        if (!yRead)
            return ReferenceProblem{lineNumber,
                                    f.second.empty()
                                        ? QStringLiteral("the y value is missing")
                                        : quoted(f.second) + QStringLiteral(" is not a number")};
        if (points.size() == kMaxReferenceRows)
            return ReferenceProblem{lineNumber,
                                    QStringLiteral("the file has more than 1 000 000 rows of "
                                                   "data, more than a reference may have")};
        points.append(QPointF(x, y));
    }
    if (points.isEmpty())
        return ReferenceProblem{0, QStringLiteral("the file holds no rows of two numbers")};
    return points;
}

std::variant<QList<QPointF>, ReferenceProblem> read_reference_file(const QString &path) {
    const QFileInfo info(path);
    if (!info.exists()) return ReferenceProblem{0, QStringLiteral("the file was not found")};
    if (info.isDir()) return ReferenceProblem{0, QStringLiteral("it is a folder, not a file")};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return ReferenceProblem{0,
                                QStringLiteral("the file cannot be read: ") + file.errorString()};
    // The size is taken from what can be read, not from the file's entry, which
    // a pipe or a special file does not fill in.
    const QByteArray content = file.read(kMaxReferenceBytes + 1);
    if (file.error() != QFileDevice::NoError)
        return ReferenceProblem{0,
                                QStringLiteral("the file cannot be read: ") + file.errorString()};
    if (content.size() > kMaxReferenceBytes)
        return ReferenceProblem{0, QStringLiteral("the file is larger than 64 MiB, more than a "
                                                  "reference may be")};
    return parse_reference(content);
}

}  // namespace userint_internal
