// SPDX-License-Identifier: GPL-3.0-or-later
// Operating a graph control's menu, shortcuts and file dialog as an operator
// does, with key and mouse events; shared by the run-time's and the
// programs' tests.
//
// The menu and the dialogs are modal: each helper schedules what the operator
// does inside them before the key or click that opens them, and gives up
// (failing the test) when nothing opens within a few seconds.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QChartView>
#include <QClipboard>
#include <QCompleter>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>

namespace graph_operator {

// Runs `act` on the first modal dialog (or popup menu, with `popup`) that
// opens, from inside its own event loop. Checks for one every 10 ms, 5 s at most.
inline void whenOpen(std::function<void(QWidget *)> act, bool popup = false) {
    auto timer = std::make_shared<QElapsedTimer>();
    timer->start();
    auto poll = std::make_shared<std::function<void()>>();
    *poll = [act, popup, timer, poll] {
        QWidget *open =
            popup ? QApplication::activePopupWidget() : QApplication::activeModalWidget();
        if (open) {
            act(open);
            *poll = nullptr;
            return;
        }
        if (timer->elapsed() > 5000) {
            ADD_FAILURE() << (popup ? "no menu opened" : "no dialog opened") << " within 5 s";
            *poll = nullptr;
            return;
        }
        QTimer::singleShot(10, [poll] {
            if (*poll) (*poll)();
        });
    };
    QTimer::singleShot(0, [poll] { (*poll)(); });
}

// Pastes `path` into Qt's file dialog as its file name and clicks Save (or
// Open, in a dialog that opens a file).
// With `overwrite` set, answers the dialog's question about replacing an
// existing file with Yes (true) or No (false, and then cancels the dialog).
inline void answerFileDialog(const QString &path, std::function<void(QFileDialog *)> look = {},
                             int overwrite = -1) {
    whenOpen([path, look, overwrite](QWidget *w) {
        auto *dialog = qobject_cast<QFileDialog *>(w);
        if (!dialog) {
            ADD_FAILURE() << "a " << w->metaObject()->className() << " opened, not a file dialog";
            w->close();
            return;
        }
        if (look) look(dialog);
        auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        if (!name) {
            ADD_FAILURE() << "the file dialog has no file name field";
            dialog->reject();
            return;
        }
        if (overwrite >= 0)
            whenOpen([dialog, overwrite](QWidget *question) {
                auto *box = qobject_cast<QMessageBox *>(question);
                if (!box) {
                    ADD_FAILURE() << "no question before overwriting";
                    return;
                }
                QTest::mouseClick(box->button(overwrite ? QMessageBox::Yes : QMessageBox::No),
                                  Qt::LeftButton);
                if (!overwrite) QTimer::singleShot(0, dialog, [dialog] { dialog->reject(); });
            });
        // The path is pasted, as typing it letter by letter would leave each
        // folder on the way selected in the dialog's list, and taken as a file.
        if (!QTest::qWaitForWindowActive(dialog)) ADD_FAILURE() << "the file dialog is not active";
        QClipboard *clipboard = QGuiApplication::clipboard();
        const QString kept = clipboard->text();
        clipboard->setText(path);
        QTest::mouseClick(name, Qt::LeftButton);
        QTest::keyClick(name, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(name, Qt::Key_V, Qt::ControlModifier);
        clipboard->setText(kept);
        if (QCompleter *c = name->completer(); c && c->popup() && c->popup()->isVisible())
            QTest::keyClick(c->popup(), Qt::Key_Escape);
        QPushButton *save = nullptr;
        if (auto *buttons = dialog->findChild<QDialogButtonBox *>()) {
            save = buttons->button(QDialogButtonBox::Save);
            if (!save) save = buttons->button(QDialogButtonBox::Open);
        }
        if (!save) {
            ADD_FAILURE() << "the file dialog has no Save or Open button";
            dialog->reject();
            return;
        }
        QTest::mouseClick(save, Qt::LeftButton);
        if (dialog->isVisible() && overwrite < 0) {
            ADD_FAILURE() << "the file dialog did not take " << path.toStdString();
            dialog->reject();
        }
    });
}

enum class MenuBy { RightClick, ShiftF10, MenuKey };

// Opens the graph's context menu by `how`.
inline void openMenu(QChartView *graph, MenuBy how) {
    switch (how) {
        case MenuBy::RightClick: {
            QWidget *window = graph->window();
            const QPoint at = graph->viewport()->mapTo(window, graph->viewport()->rect().center());
            QTest::mouseClick(window->windowHandle(), Qt::RightButton, Qt::NoModifier, at);
            break;
        }
        case MenuBy::ShiftF10:
            graph->setFocus(Qt::TabFocusReason);
            QTest::keyClick(graph, Qt::Key_F10, Qt::ShiftModifier);
            break;
        case MenuBy::MenuKey:
            graph->setFocus(Qt::TabFocusReason);
            QTest::keyClick(graph, Qt::Key_Menu);
            break;
    }
}

// The entries of the open menu, "-" for a separator, "(off)" after a disabled one.
inline QStringList entriesOf(QMenu *menu) {
    QStringList entries;
    for (QAction *a : menu->actions())
        entries << (a->isSeparator() ? QStringLiteral("-")
                                     : a->text() + (a->isEnabled() ? "" : " (off)"));
    return entries;
}

// Opens the graph's menu by `how`, reads its entries (as entriesOf) and
// closes it with Escape.
inline QStringList menuEntries(QChartView *graph, MenuBy how) {
    QStringList entries;
    whenOpen(
        [&entries](QWidget *w) {
            entries = entriesOf(qobject_cast<QMenu *>(w));
            QTest::keyClick(w, Qt::Key_Escape);
        },
        true);
    openMenu(graph, how);
    return entries;
}

// Opens the graph's menu by `how` and clicks the entry `entry`.
inline void chooseFromMenu(QChartView *graph, const QString &entry,
                           MenuBy how = MenuBy::RightClick) {
    whenOpen(
        [entry](QWidget *w) {
            auto *menu = qobject_cast<QMenu *>(w);
            QAction *chosen = nullptr;
            for (QAction *a : menu ? menu->actions() : QList<QAction *>())
                if (a->text() == entry) chosen = a;
            if (!chosen) {
                ADD_FAILURE() << "the graph's menu has no entry " << entry.toStdString();
                w->close();
                return;
            }
            QTest::mouseClick(menu, Qt::LeftButton, Qt::NoModifier,
                              menu->actionGeometry(chosen).center());
        },
        true);
    openMenu(graph, how);
}

}  // namespace graph_operator

#include <QDir>
#include <QFile>
#include <QGraphicsTextItem>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "userint_testing.h"

namespace graph_operator {

// A saved CSV file taken apart: '#' lines, the header row, then the columns
// read as numbers with std::from_chars (a decimal point in every locale).
struct CsvFile {
    QStringList metadata;
    QString header;
    std::vector<std::vector<double>> columns;
    bool wellFormed = false;
};

inline CsvFile readCsv(const QString &path) {
    CsvFile csv;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return csv;
    const QByteArray text = f.readAll();
    if (!text.endsWith("\r\n")) return csv;
    const QList<QByteArray> lines = text.chopped(1).split('\n');
    bool inData = false;
    for (QByteArray line : lines) {
        if (!line.endsWith('\r')) return csv;  // every line ends in CRLF
        line.chop(1);
        if (!inData && line.startsWith('#')) {
            csv.metadata << QString::fromUtf8(line);
            continue;
        }
        if (!inData) {
            csv.header = QString::fromUtf8(line);
            csv.columns.resize(static_cast<size_t>(line.count(',') + 1));
            inData = true;
            continue;
        }
        const QList<QByteArray> fields = line.split(',');
        if (fields.size() != static_cast<qsizetype>(csv.columns.size())) return csv;
        for (size_t i = 0; i < csv.columns.size(); ++i) {
            const QByteArray &field = fields[static_cast<qsizetype>(i)];
            if (field.isEmpty()) continue;
            double value = 0;
            const auto r = std::from_chars(field.data(), field.data() + field.size(), value);
            if (r.ec != std::errc() || r.ptr != field.data() + field.size()) return csv;
            csv.columns[i].push_back(value);
        }
    }
    csv.wellFormed = inData;
    return csv;
}

// When LABBENCH_CSV_CHECK names a folder, leaves the saved file there as
// `name`.csv with the plotted values beside it (`name`.expected, one "x y"
// line per point in hexadecimal floating point, exact), for the Python check.
inline void keepForPythonCheck(const QString &csvPath, const char *name,
                               const std::vector<double> &x, const std::vector<double> &y) {
    const char *folder = std::getenv("LABBENCH_CSV_CHECK");
    if (!folder || !*folder) return;
    const QString base = QDir(QString::fromLocal8Bit(folder)).filePath(QString::fromLatin1(name));
    QFile::remove(base + QStringLiteral(".csv"));
    ASSERT_TRUE(QFile::copy(csvPath, base + QStringLiteral(".csv")));
    QFile expected(base + QStringLiteral(".expected"));
    ASSERT_TRUE(expected.open(QIODevice::WriteOnly));
    for (size_t i = 0; i < x.size(); ++i) {
        char line[96];
        char *end = std::to_chars(line, line + 40, x[i], std::chars_format::hex).ptr;
        *end++ = ' ';
        end = std::to_chars(end, end + 40, y[i], std::chars_format::hex).ptr;
        *end++ = '\n';
        expected.write(line, end - line);
    }
}

// Every text the graph draws (tick labels, titles) stands clear of the others.
inline void expectNoOverlappingTexts(QChartView *view) {
    std::vector<std::pair<QString, QRectF>> texts;
    for (QGraphicsItem *item : view->scene()->items())
        if (auto *t = dynamic_cast<QGraphicsTextItem *>(item);
            t && t->isVisible() && !t->toPlainText().isEmpty())
            texts.emplace_back(t->toPlainText(), t->sceneBoundingRect());
    ASSERT_GE(texts.size(), 10u);
    for (size_t i = 0; i < texts.size(); i++)
        for (size_t j = i + 1; j < texts.size(); j++) {
            // Qt's text boxes carry a margin; the glyphs overlap only if the
            // boxes do by more than it.
            const QRectF a = texts[i].second.adjusted(2, 2, -2, -2);
            const QRectF b = texts[j].second.adjusted(2, 2, -2, -2);
            EXPECT_FALSE(a.intersects(b)) << '"' << texts[i].first.toStdString() << "\" overlaps \""
                                          << texts[j].first.toStdString() << '"';
        }
}

// Every value of a saved plot's x and y columns is the plotted one, exactly.
inline void expectColumnsArePlot(const CsvFile &csv, const std::vector<double> &x,
                                 const std::vector<double> &y) {
    ASSERT_EQ(csv.columns.size(), 2u);
    ASSERT_EQ(csv.columns[0].size(), x.size());
    ASSERT_EQ(csv.columns[1].size(), y.size());
    for (size_t i = 0; i < x.size(); i++) {
        ASSERT_EQ(csv.columns[0][i], x[i]) << "x of point " << i;
        ASSERT_EQ(csv.columns[1][i], y[i]) << "y of point " << i;
    }
}

// A folder of the test's own to save into, holding the program's settings too
// (XDG_CONFIG_HOME is its config/), so that no test reads or writes the
// operator's remembered folder.
class SaveFolder {
public:
    SaveFolder() {
        if (!dir_.isValid()) ADD_FAILURE() << "cannot make a temporary folder to save into";
        setenv("XDG_CONFIG_HOME", QFile::encodeName(dir_.filePath("config")).constData(), 1);
    }
    QString file(const char *name) const { return dir_.filePath(QString::fromLatin1(name)); }

private:
    QTemporaryDir dir_;
};

// The C library writes numbers with a decimal comma in `locale` (set in LC_ALL):
// the comma-decimal cases need the locales scripts/deps.sh installs.
inline void expectDecimalComma(const char *locale) {
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 2.5);
    ASSERT_STREQ(probe, "2,5") << locale << " is not installed (scripts/deps.sh)";
}

// The graph shows one plot of `points` points, and the saved file holds its
// every value; the file is kept for the Python check as `name`.
inline void expectTheOnePlotSaved(const CsvFile &csv, const QString &csvPath, int panel, int graph,
                                  size_t points, const char *name) {
    const auto plots = userint_testing::graph_plots(panel, graph);
    ASSERT_EQ(plots.size(), 1u);
    ASSERT_EQ(plots[0].x.size(), points) << "points plotted";
    expectColumnsArePlot(csv, plots[0].x, plots[0].y);
    keepForPythonCheck(csvPath, name, plots[0].x, plots[0].y);
}

}  // namespace graph_operator
