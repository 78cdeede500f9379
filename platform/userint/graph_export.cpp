// SPDX-License-Identifier: GPL-3.0-or-later
// Getting the data out of a graph control (see graph_export.h).
#include "graph_export.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAbstractAxis>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QBuffer>
#include <QChart>
#include <QChartView>
#include <QClipboard>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QSvgGenerator>
#include <QValueAxis>
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "settings.h"
#include "userint_internal.h"

#ifndef LABBENCH_VERSION
#define LABBENCH_VERSION "unknown"
#endif

namespace userint_internal {

namespace {

QString &program_name_store() {
    static QString name;
    return name;
}

const char *const kLastFolderKey = "export/lastFolder";

// Far above the few lines this program keeps, far below what could stall it.
constexpr qint64 kMaxSettingsBytes = 64 * 1024;

// The program's settings file, labbench-<program>.conf in the one settings
// folder (settings.h), or an empty string when there is none or what is there
// must not be touched: anything but a regular file of bounded size. A link is
// never written through (it may point at another file, or at a device), and a
// FIFO would hold the program in open(); either is said once on stderr, and
// the program goes on without the remembered folder.
QString settings_path() {
    const std::string file = labbench::settings_file(
        "labbench-" + std::string(QFile::encodeName(program_name()).constData()) + ".conf");
    if (file.empty()) return QString();
    const QString path = QFile::decodeName(file.c_str());
    struct stat info;
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0) return path;  // none yet
    const char *refusal = S_ISLNK(info.st_mode)              ? "a symbolic link"
                          : !S_ISREG(info.st_mode)           ? "not a regular file"
                          : info.st_size > kMaxSettingsBytes ? "larger than a settings file"
                                                             : nullptr;
    if (!refusal) return path;
    // Said once, not at every save; again only when what is there changes.
    static std::string said;
    const std::string message = program_name().toLocal8Bit().toStdString() +
                                ": the settings file " + QFile::encodeName(path).toStdString() +
                                " is " + refusal + "; it is neither read nor written";
    if (message != said) std::fprintf(stderr, "%s\n", message.c_str());
    said = message;
    return QString();
}

// The text of a caption as shown: mnemonic marks removed ("Sampling &frequency").
QString shown_caption(QString text) {
    text.replace(QLatin1String("&&"), QLatin1String("\x01"));
    text.remove(QLatin1Char('&'));
    text.replace(QLatin1Char('\x01'), QLatin1Char('&'));
    return text.simplified();
}

// The name the operator reads beside a control: its buddy label, else its
// accessible name.
QString caption_of(const QWidget *panel, const QWidget *control) {
    for (const QLabel *label : panel->findChildren<QLabel *>())
        if (label->buddy() == control && !label->text().isEmpty())
            return shown_caption(label->text());
    return control->accessibleName().isEmpty() ? control->objectName() : control->accessibleName();
}

// The value a setting or read-out shows; a null string for controls that show
// none (buttons, lamps, graphs).
QString shown_value(const QWidget *w) {
    if (auto *spin = qobject_cast<const QAbstractSpinBox *>(w)) return spin->text();
    if (auto *ring = qobject_cast<const QComboBox *>(w)) return ring->currentText();
    if (auto *edit = qobject_cast<const QLineEdit *>(w)) return edit->text();
    if (auto *label = qobject_cast<const QLabel *>(w)) {
        // A label holding a number is a lamp, not a read-out.
        if (w->property("valueType").toString() == QLatin1String("int")) return QString();
        return label->text();
    }
    return QString();
}

// A control the operator sets, as against a read-out the program writes.
bool is_setting(const QWidget *w) {
    if (qobject_cast<const QAbstractSpinBox *>(w) || qobject_cast<const QComboBox *>(w))
        return true;
    auto *edit = qobject_cast<const QLineEdit *>(w);
    return edit && !edit->isReadOnly();
}

// True when a setting shown as `shown` is the one described as `described`:
// the same text, or the same number as the panel writes it with its decimals
// ("4.5" is shown "4.500"), or the same number in single precision, which is
// all a float field holds (33.333333 kHz is shown "33.333332").
bool same_setting(const QString &described, const QString &shown) {
    if (described == shown) return true;
    bool describedIsNumber = false, shownIsNumber = false;
    const double value = QLocale::c().toDouble(described, &describedIsNumber);
    const double shownValue = QLocale::c().toDouble(shown, &shownIsNumber);
    if (!describedIsNumber || !shownIsNumber) return false;
    const qsizetype point = shown.indexOf(QLatin1Char('.'));
    const int decimals = point < 0 ? 0 : static_cast<int>(shown.size() - point - 1);
    return QLocale::c().toString(value, 'f', decimals) == shown ||
           static_cast<float>(value) == static_cast<float>(shownValue);
}

// One metadata line; line breaks in a value become spaces, so that the line
// stays one comment line.
QString metadata_line(const QString &key, const QString &value) {
    QString line = QStringLiteral("# ") + key + QStringLiteral(": ") + value;
    for (QChar &c : line)
        if (c == QLatin1Char('\n') || c == QLatin1Char('\r')) c = QLatin1Char(' ');
    return line;
}

QString iso_time_with_offset(const QDateTime &local) {
    const int offset = local.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return local.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) +
           (offset < 0 ? QLatin1Char('-') : QLatin1Char('+')) +
           QStringLiteral("%1:%2")
               .arg(minutes / 60, 2, 10, QLatin1Char('0'))
               .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

void append_number(QByteArray &out, double value) {
    char text[32];
    const std::to_chars_result r = std::to_chars(text, text + sizeof text, value);
    out.append(text, r.ptr - text);
}

void append_field(QByteArray &out, const QString &field, char separator) {
    const QByteArray bytes = field.toUtf8();
    const bool quote = bytes.contains(separator) || bytes.contains('"') || bytes.contains('\n') ||
                       bytes.contains('\r');
    if (!quote) {
        out.append(bytes);
        return;
    }
    out.append('"');
    for (char c : bytes) {
        if (c == '"') out.append('"');
        out.append(c);
    }
    out.append('"');
}

QString axis_title(const QValueAxis *axis, const char *fallback) {
    const QString title = axis->titleText();
    return title.isEmpty() ? QString::fromLatin1(fallback) : title;
}

// ---- Files ------------------------------------------------------------------

QString start_folder() {
    const QString settings = settings_path();
    const QString remembered = settings.isEmpty() ? QString()
                                                  : QSettings(settings, QSettings::IniFormat)
                                                        .value(QString::fromLatin1(kLastFolderKey))
                                                        .toString();
    if (!remembered.isEmpty() && QFileInfo(remembered).isDir()) return remembered;
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    return QFileInfo(documents).isDir() ? documents : QDir::homePath();
}

void remember_folder(const QString &path) {
    const QString settings = settings_path();
    if (settings.isEmpty()) return;
    QSettings(settings, QSettings::IniFormat)
        .setValue(QString::fromLatin1(kLastFolderKey), QFileInfo(path).absolutePath());
}

QString default_file_name(const char *suffix) {
    return program_name() + QLatin1Char('-') +
           QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")) +
           QLatin1Char('.') + QLatin1String(suffix);
}

// Qt's own file dialog (the same on every desktop, and one the tests can
// operate); it asks before overwriting a file. An empty string: cancelled.
QString ask_save_name(QWidget *owner, const QString &caption, const QStringList &filters,
                      const QStringList &suffixes) {
    QFileDialog dialog(owner, caption, start_folder());
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters(filters);
    dialog.setDefaultSuffix(suffixes.first());
    QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, [&](const QString &filter) {
        dialog.setDefaultSuffix(suffixes.value(filters.indexOf(filter), suffixes.first()));
    });
    dialog.selectFile(default_file_name(suffixes.first().toLatin1().constData()));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
    return dialog.selectedFiles().first();
}

}  // namespace

QString ask_open_name(QWidget *owner, const QString &caption, const QStringList &filters) {
    QFileDialog dialog(owner, caption, start_folder());
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters(filters);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
    return dialog.selectedFiles().first();
}

namespace {

void report_save_failure(const QString &what, const QString &path, const QString &reason) {
    const QString title = program_name() + QStringLiteral(": could not save");
    const QString message =
        QStringLiteral(
            "The %1 could not be saved to\n%2\n\nReason: %3\n\nNothing was changed "
            "there. Choose another folder or name and save again.")
            .arg(what, QDir::toNativeSeparators(path), reason);
    MessagePopup(title.toUtf8().constData(), message.toUtf8().constData());
}

}  // namespace

QString program_name() {
    const QString &name = program_name_store();
    return name.isEmpty() ? QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName()
                          : name;
}

void set_program_name(const QString &name) { program_name_store() = name; }

QStringList graph_metadata(const QChartView *view, const GraphState &g) {
    QStringList lines;
    lines << QStringLiteral("# Program: %1 (LabBench %2)")
                 .arg(program_name(), QStringLiteral(LABBENCH_VERSION));
    lines << metadata_line(QStringLiteral("Saved"),
                           iso_time_with_offset(QDateTime::currentDateTime()));
    if (!view->accessibleName().isEmpty())
        lines << metadata_line(QStringLiteral("Graph"), view->accessibleName());
    const QWidget *panel = view->window();
    const bool described = std::any_of(g.plots.begin(), g.plots.end(),
                                       [](const GraphPlot &p) { return !p.metadata.empty(); });
    if (!described) {
        // The program said nothing of its data: the panel as shown is all there is.
        for (const QWidget *w : panel->findChildren<QWidget *>()) {
            if (w->property("controlId").toInt() <= 0) continue;
            const QString value = shown_value(w);
            if (!value.isNull()) lines << metadata_line(caption_of(panel, w), value);
        }
        return lines;
    }
    // Named after their plot's columns when there are several ("(plot 2)").
    for (size_t i = 0; i < g.plots.size(); ++i) {
        const QString plot =
            g.plots.size() > 1 ? QStringLiteral(" (plot %1)").arg(i + 1) : QString();
        for (const auto &[name, value] : g.plots[i].metadata)
            lines << metadata_line(name + plot, value);
    }
    if (g.reference)
        for (const auto &[name, value] : g.reference->plot.metadata)
            lines << metadata_line(name + QStringLiteral(" (reference: %1)").arg(g.reference->name),
                                   value);
    // A setting the operator has changed since: said, and said to be the panel's.
    for (const QWidget *w : panel->findChildren<QWidget *>()) {
        if (w->property("controlId").toInt() <= 0 || !is_setting(w)) continue;
        const QString caption = caption_of(panel, w);
        const QString value = shown_value(w);
        bool differs = false;
        for (const GraphPlot &p : g.plots)
            for (const auto &[name, described_value] : p.metadata)
                differs = differs || (name == caption && !same_setting(described_value, value));
        if (differs)
            lines << metadata_line(caption + QStringLiteral(" on the panel now, not of this data"),
                                   value);
    }
    return lines;
}

QByteArray graph_data_text(const GraphState &g, const QStringList &metadata, char separator,
                           const char *lineEnd) {
    QByteArray out;
    // The program's plots, then the reference as a last column pair.
    std::vector<const GraphPlot *> traces;
    for (const GraphPlot &p : g.plots) traces.push_back(&p);
    if (g.reference) traces.push_back(&g.reference->plot);
    qsizetype rows = 0;
    for (const GraphPlot *p : traces) rows = std::max(rows, p->points.size());
    out.reserve(64 * metadata.size() + (rows + 1) * 48 * static_cast<qsizetype>(traces.size()));
    for (const QString &line : metadata) {
        out.append(line.toUtf8());
        out.append(lineEnd);
    }
    const QString xTitle = axis_title(g.xAxis, "x"), yTitle = axis_title(g.yAxis, "y");
    for (size_t i = 0; i < traces.size(); ++i) {
        const QString plot =
            i == g.plots.size()
                ? QStringLiteral(" (reference: %1)").arg(g.reference->name)
                : (g.plots.size() > 1 ? QStringLiteral(" (plot %1)").arg(i + 1) : QString());
        if (i > 0) out.append(separator);
        append_field(out, xTitle + plot, separator);
        out.append(separator);
        append_field(out, yTitle + plot, separator);
    }
    out.append(lineEnd);
    for (qsizetype row = 0; row < rows; ++row) {
        for (size_t i = 0; i < traces.size(); ++i) {
            if (i > 0) out.append(separator);
            const QList<QPointF> &points = traces[i]->points;
            if (row < points.size()) {
                append_number(out, points[row].x());
                out.append(separator);
                append_number(out, points[row].y());
            } else {
                out.append(separator);
            }
        }
        out.append(lineEnd);
    }
    return out;
}

bool graph_has_data(const GraphState &g) {
    return std::any_of(g.plots.begin(), g.plots.end(),
                       [](const GraphPlot &p) { return !p.points.isEmpty(); }) ||
           (g.reference && !g.reference->plot.points.isEmpty());
}

bool write_file_atomically(const QString &path, const QByteArray &bytes, QString *error) {
    auto failed = [&](int code) {
        *error = QString::fromLocal8Bit(std::strerror(code));
        return false;
    };
    // A link the operator chose is followed: the file it names is replaced.
    const QFileInfo chosen(path);
    const QString target = chosen.isSymLink() ? chosen.symLinkTarget() : path;
    const QByteArray name = QFile::encodeName(target);
    struct stat old;
    const bool replacing = ::stat(name.constData(), &old) == 0;
    if (replacing && !S_ISREG(old.st_mode)) {
        *error = QStringLiteral("it is not a regular file");
        return false;
    }
    // Every byte is written, flushed and closed with its outcome checked
    // before the rename: a full disk or a failing device is the system's
    // reason, and leaves no partial file under either name.
    const int slash = name.lastIndexOf('/');
    QByteArray temporary = name.left(slash + 1) + '.' + name.mid(slash + 1) + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return failed(errno);
    auto discard = [&](int code) {
        ::close(fd);
        ::unlink(temporary.constData());
        return failed(code);
    };
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(fd, replacing ? (old.st_mode & 07777) : (0666 & ~mask)) != 0)
        return discard(errno);
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return discard(n < 0 ? errno : ENOSPC);
        done += n;
    }
    if (::fsync(fd) != 0 && errno != EINVAL && errno != EROFS) return discard(errno);
    if (::close(fd) != 0) {
        const int code = errno;
        ::unlink(temporary.constData());
        return failed(code);
    }
    if (::rename(temporary.constData(), name.constData()) != 0) {
        const int code = errno;
        ::unlink(temporary.constData());
        return failed(code);
    }
    return true;
}

void save_graph_data(QChartView *view, const GraphState &g) {
    if (!graph_has_data(g)) {
        MessagePopup((program_name() + QStringLiteral(": nothing to save")).toUtf8().constData(),
                     "The graph shows no data yet, so there is nothing to save.");
        return;
    }
    const QString path =
        ask_save_name(view->window(), QStringLiteral("Save data as CSV"),
                      {QStringLiteral("CSV files (*.csv)")}, {QStringLiteral("csv")});
    if (path.isEmpty()) return;
    QString error;
    if (!write_file_atomically(path, graph_data_text(g, graph_metadata(view, g), ',', "\r\n"),
                               &error)) {
        report_save_failure(QStringLiteral("data"), path, error);
        return;
    }
    remember_folder(path);
}

void save_graph_picture(QChartView *view) {
    const QString path = ask_save_name(
        view->window(), QStringLiteral("Save picture"),
        {QStringLiteral("PNG images (*.png)"), QStringLiteral("SVG drawings (*.svg)")},
        {QStringLiteral("png"), QStringLiteral("svg")});
    if (path.isEmpty()) return;
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix != QLatin1String("png") && suffix != QLatin1String("svg")) {
        report_save_failure(QStringLiteral("picture"), path,
                            QStringLiteral("a picture is saved as PNG or SVG, so its name must end "
                                           "in .png or .svg"));
        return;
    }
    // Drawn in memory first, then written as any file is: whole, or not at all.
    QByteArray picture;
    QBuffer buffer(&picture);
    buffer.open(QIODevice::WriteOnly);
    bool drawn = true;
    if (suffix == QLatin1String("svg")) {
        QSvgGenerator svg;
        svg.setOutputDevice(&buffer);
        svg.setSize(view->size());
        // Sized in mm for 96 px to the inch, the CSS pixel SVG viewers use.
        svg.setResolution(96);
        svg.setViewBox(QRect(QPoint(0, 0), view->size()));
        svg.setTitle(view->accessibleName());
        svg.setDescription(QStringLiteral("%1 (LabBench %2)")
                               .arg(program_name(), QStringLiteral(LABBENCH_VERSION)));
        QPainter painter;
        drawn = painter.begin(&svg);
        if (drawn) {
            view->render(&painter);
            drawn = painter.end();
        }
    } else {
        // grab() draws at the screen's pixel ratio: the picture has the screen's sharpness.
        drawn = view->grab().save(&buffer, "PNG");
    }
    if (!drawn) {
        report_save_failure(QStringLiteral("picture"), path,
                            QStringLiteral("the picture could not be drawn"));
        return;
    }
    QString error;
    if (!write_file_atomically(path, picture, &error)) {
        report_save_failure(QStringLiteral("picture"), path, error);
        return;
    }
    remember_folder(path);
}

void copy_graph_data(const QChartView *view, const GraphState &g) {
    QGuiApplication::clipboard()->setText(
        QString::fromUtf8(graph_data_text(g, graph_metadata(view, g), '\t', "\n")));
}

}  // namespace userint_internal
