// SPDX-License-Identifier: GPL-3.0-or-later
// Tests of the graph control's tools, driven as an operator drives them: the
// context menu (right click, Shift+F10, Menu key), the panel's shortcuts, Qt's
// file dialog, dragging, panning and Ctrl+wheel on the plot, the zoom keys,
// cursors and a reference trace. Also the axes' ticks, the focus frame and the
// look of read-outs. Runs offscreen on the panel from bench.uir.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCategoryAxis>
#include <QChart>
#include <QChartView>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QGraphicsLineItem>
#include <QGuiApplication>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QLineSeries>
#include <QRegularExpression>
#include <QSvgRenderer>
#include <QTemporaryDir>
#include <QTest>
#include <QValueAxis>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string_view>
#include <thread>

#include "capture_stderr.h"
#include "graph_operator.h"
#include "graph_reference.h"
#include "graph_ticks.h"
#include "scoped_env.h"
#include "small_tmpfs.h"
#include "userint.h"
#include "userint_testing.h"

namespace {

using graph_operator::MenuBy;

enum { PANEL = 1, RMS = 9, GRAPH = 8, QUIT = 6 };

int onAnything(int, int, int, void *, int, int) { return 0; }
int onQuitAnything(int, int, int, void *, int, int) { return 0; }
int onPanelAnything(int, int, void *, int, int) { return 0; }
const CallbackRegistration callbacks{
    {"onCommit", onAnything}, {"onQuit", onQuitAnything}, {"onPanel", onPanelAnything}};

// ---- Ticks ----------------------------------------------------------------------

struct TickCase {
    const char *what;
    double min, max, lengthPx;
    const char *labels;  // the chosen ticks, comma-separated
};

TEST(AxisTicks, OneTwoFiveStepsThatFitWithinTheShownRange) {
    // Labels 7 px per character across, 16 px high, with 14 px / 8 px between them.
    const TickCase cases[] = {
        {"deska 1 kHz, time", 0, 999, 400, "0,100,200,300,400,500,600,700,800,900"},
        {"deska 0.2 kHz, time: 500s would touch", 0, 4995, 400, "0,1000,2000,3000,4000"},
        {"deska 0.2 kHz, time, wider", 0, 4995, 800,
         "0,500,1000,1500,2000,2500,3000,3500,4000,4500"},
        {"deska x1, volts", -5, 5, 270, "-5,-4,-3,-2,-1,0,1,2,3,4,5"},
        {"deska x2, volts", -2.5, 2.5, 270, "-2.5,-2,-1.5,-1,-0.5,0,0.5,1,1.5,2,2.5"},
        {"deska x16, volts", -0.3125, 0.3125, 270, "-0.3,-0.2,-0.1,0,0.1,0.2,0.3"},
        {"generator, degrees", 0, 360, 400, "0,50,100,150,200,250,300,350"},
        {"generator, codes", -1, 1, 240, "-1,-0.8,-0.6,-0.4,-0.2,0,0.2,0.4,0.6,0.8,1"},
        {"short axis: fewer, never touching", -1, 1, 100, "-1,-0.5,0,0.5,1"},
        {"far from zero", 1e9, 1e9 + 1, 400, "1000000000,1000000000.5,1000000001"},
        {"small numbers", 0, 3e-6, 400,
         "0,0.0000005,0.000001,0.0000015,0.000002,0.0000025,0.000003"},
        {"empty range", 1, 1, 400, ""},
        {"reversed range", 2, 1, 400, ""},
    };
    for (const TickCase &c : cases) {
        const userint_internal::AxisTicks ticks = userint_internal::choose_ticks(
            c.min, c.max, c.lengthPx,
            [&](const QString &t) {
                return c.lengthPx > 250 && c.max > 10 ? 7.0 * t.size() : 16.0;
            },
            c.lengthPx > 250 && c.max > 10 ? 14.0 : 8.0);
        EXPECT_EQ(ticks.labels.join(',').toStdString(), c.labels) << c.what;
        for (size_t i = 0; i < ticks.values.size(); ++i) {
            EXPECT_GE(ticks.values[i], c.min) << c.what;
            EXPECT_LE(ticks.values[i], c.max) << c.what;
            EXPECT_EQ(ticks.values[i], ticks.labels[static_cast<qsizetype>(i)].toDouble())
                << c.what << ": a tick sits where its label says";
        }
    }
}

// ---- The panel ------------------------------------------------------------------

QString clipboard_text() { return QGuiApplication::clipboard()->text(); }
// The copied header and rows, without the '#' lines that describe them.
std::string copied_rows() {
    QStringList lines = clipboard_text().split(QLatin1Char('\n'));
    while (!lines.isEmpty() && lines.first().startsWith(QLatin1Char('#'))) lines.removeFirst();
    return lines.join(QLatin1Char('\n')).toStdString();
}

QString read_all(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QStringLiteral("(none)");
}

class GraphTools : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(LoadPanel(0, "bench.uir", PANEL), PANEL);
        DisplayPanel(PANEL);
        panel = userint_testing::panel_widget(PANEL);
        ASSERT_TRUE(QTest::qWaitForWindowActive(panel));
        graph = qobject_cast<QChartView *>(userint_testing::control_widget(PANEL, GRAPH));
        ASSERT_NE(graph, nullptr);
        ASSERT_TRUE(folder.isValid());
        userint_testing::clear_popups();
        userint_testing::answer_popups_with([](const userint_testing::Popup &) {});
    }
    void TearDown() override {
        userint_testing::answer_popups_with(nullptr);
        DiscardPanel(PANEL);
    }
    // Two plots of different lengths: 0.1 steps (0.30000000000000004 is the
    // third x as a double), and integer codes with gain and offset.
    void plotTwo() {
        const double first[] = {1.5, -0.25, 3, 1e-7};
        const short second[] = {100, -200, 300};
        ASSERT_GT(
            PlotWaveform(PANEL, GRAPH, first, 4, WAVE_DOUBLE, 1, 0, 0, 0.1, 0, 0, 0, 1, 0xFF0000),
            0);
        ASSERT_GT(
            PlotWaveform(PANEL, GRAPH, second, 3, WAVE_INT16, 0.5, 1, 10, 2, 0, 0, 0, 1, 0x0000FF),
            0);
    }
    QValueAxis *axis(Qt::Orientation o) {
        return qobject_cast<QValueAxis *>(graph->chart()->axes(o).value(0));
    }
    struct View {
        double xMin, xMax, yMin, yMax;
    };
    View shownView() {
        return {axis(Qt::Horizontal)->min(), axis(Qt::Horizontal)->max(), axis(Qt::Vertical)->min(),
                axis(Qt::Vertical)->max()};
    }
    // A point of the plot area, as fractions of its width and height from the top left.
    QPoint inPlot(double fx, double fy) {
        const QRectF area = graph->chart()->plotArea();
        const QPointF chartPoint(area.left() + fx * area.width(), area.top() + fy * area.height());
        return graph->mapFromScene(graph->chart()->mapToScene(chartPoint));
    }
    QString path(const char *name) { return folder.filePath(QString::fromLatin1(name)); }
    // A shortcut on the panel, once its window is active again (after a dialog).
    void press(Qt::Key key, Qt::KeyboardModifiers modifiers) {
        panel->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(panel));
        QTest::keyClick(panel, key, modifiers);
    }

    QWidget *panel = nullptr;
    QChartView *graph = nullptr;
    QTemporaryDir folder;
};

const char *const kTwoPlotsText =
    "t [ms] (plot 1)\tU [V] (plot 1)\tt [ms] (plot 2)\tU [V] (plot 2)\n"
    "0\t1.5\t10\t51\n"
    "0.1\t-0.25\t12\t-99\n"
    "0.2\t3\t14\t151\n"
    "0.30000000000000004\t1e-07\t\t\n";

class MenuOpening : public GraphTools, public ::testing::WithParamInterface<MenuBy> {};

TEST_P(MenuOpening, OffersTheFiveCommandsAndCopiesFromIt) {
    const QStringList entries = graph_operator::menuEntries(graph, GetParam());
    EXPECT_EQ(
        entries.join('|').toStdString(),
        "Save data as CSV… (off)|Save picture…|Copy data (off)|-|Zoom out (off)|Reset zoom (off)|-|"
        "Cursors|Copy cursor read-out (off)|-|Open reference…|Clear reference (off)")
        << "an empty graph has nothing to save or copy, no zoom to undo and no reference";

    plotTwo();
    QGuiApplication::clipboard()->clear();
    graph_operator::chooseFromMenu(graph, QStringLiteral("Copy data"), GetParam());
    EXPECT_TRUE(clipboard_text().startsWith(QStringLiteral("# Program: bench")));
    EXPECT_EQ(copied_rows(), kTwoPlotsText);
}

INSTANTIATE_TEST_SUITE_P(ByMouseAndKeyboard, MenuOpening,
                         ::testing::Values(MenuBy::RightClick, MenuBy::ShiftF10, MenuBy::MenuKey));

TEST_F(GraphTools, CtrlCOnTheFocusedGraphCopiesTheDataAsColumns) {
    plotTwo();
    QGuiApplication::clipboard()->setText(QStringLiteral("before"));
    QTest::keyClick(panel, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(clipboard_text().toStdString(), "before")
        << "Ctrl+C copies only from a focused graph";
    graph->setFocus(Qt::TabFocusReason);
    QTest::keyClick(graph, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(copied_rows(), kTwoPlotsText);
}

TEST_F(GraphTools, CtrlSSavesCsvBesideThenRenamesAsksBeforeOverwritingAndRemembersTheFolder) {
    plotTwo();
    SetCtrlVal(PANEL, RMS, "1,5 \"peak\"");  // a value that needs quoting in a field, not here
    const QString csv = path("data.csv");
    QString defaultName;
    graph_operator::answerFileDialog(
        csv, [&](QFileDialog *d) { defaultName = d->selectedFiles().value(0); });
    press(Qt::Key_S, Qt::ControlModifier);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("/bench-\\d{8}-\\d{6}\\.csv$"))
                    .match(defaultName)
                    .hasMatch())
        << defaultName.toStdString();

    const QStringList lines = read_all(csv).split(QStringLiteral("\r\n"));
    ASSERT_GE(lines.size(), 9) << read_all(csv).toStdString();
    EXPECT_EQ(lines[0].toStdString(), "# Program: bench (LabBench " LABBENCH_VERSION ")");
    EXPECT_TRUE(
        QRegularExpression(
            QStringLiteral("^# Saved: \\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d[+-]\\d\\d:\\d\\d$"))
            .match(lines[1])
            .hasMatch())
        << lines[1].toStdString();
    EXPECT_TRUE(lines.contains(QStringLiteral("# Amplitude [V]: 4.500")))
        << lines.join('\n').toStdString();
    EXPECT_TRUE(lines.contains(QStringLiteral("# Decade: x 1")));
    EXPECT_TRUE(lines.contains(QStringLiteral("# RMS [V]: 1,5 \"peak\"")));
    const qsizetype header = lines.indexOf(
        QStringLiteral("t [ms] (plot 1),U [V] (plot 1),t [ms] (plot 2),U [V] (plot 2)"));
    ASSERT_GT(header, 1);
    for (qsizetype i = 0; i < header; ++i)
        EXPECT_TRUE(lines[i].startsWith('#')) << "metadata first: " << lines[i].toStdString();
    EXPECT_EQ(lines.mid(header + 1).join('\n').toStdString(),
              "0,1.5,10,51\n0.1,-0.25,12,-99\n0.2,3,14,151\n0.30000000000000004,1e-07,,\n");

    // The next dialog starts in the folder just used, also after a restart
    // (the folder is kept in the program's settings).
    QFile::remove(csv);
    struct stat before {};
    QFile old(csv);
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("old,data\r\n");
    old.close();
    ::stat(QFile::encodeName(csv).constData(), &before);
    QString startedIn;
    graph_operator::answerFileDialog(
        csv, [&](QFileDialog *d) { startedIn = d->directory().absolutePath(); }, 0);
    press(Qt::Key_S, Qt::ControlModifier);
    EXPECT_EQ(startedIn, QDir(folder.path()).absolutePath());
    EXPECT_EQ(read_all(csv).toStdString(), "old,data\r\n") << "No keeps the file as it was";

    // Kept open, the old file still reads whole after Yes: the new one was
    // written beside it and renamed over it, never written into it.
    QFile held(csv);
    ASSERT_TRUE(held.open(QIODevice::ReadOnly));
    graph_operator::answerFileDialog(csv, {}, 1);
    press(Qt::Key_S, Qt::ControlModifier);
    EXPECT_EQ(held.readAll().toStdString(), "old,data\r\n");
    EXPECT_TRUE(read_all(csv).startsWith(QStringLiteral("# Program: bench")));
    struct stat after {};
    ::stat(QFile::encodeName(csv).constData(), &after);
    EXPECT_NE(before.st_ino, after.st_ino) << "a new file took the name";
    EXPECT_EQ(QDir(folder.path()).entryList(QDir::Files), QStringList{QStringLiteral("data.csv")})
        << "nothing is left beside it";
    EXPECT_TRUE(userint_testing::popups().empty());
}

// A program describes each plot as it plots it; the file and the copy say that,
// whatever the panel shows by then, and add a changed setting only as the panel's.
TEST_F(GraphTools, PlotsDescribedByTheProgramAreSavedAndCopiedAsDescribed) {
    enum { AMPLITUDE = 2, DECADE = 5 };
    const double first[] = {1.5, -0.25};
    const short second[] = {100, -200};
    const int one =
        PlotWaveform(PANEL, GRAPH, first, 2, WAVE_DOUBLE, 1, 0, 0, 0.1, 0, 0, 0, 1, 0xFF0000);
    const int two =
        PlotWaveform(PANEL, GRAPH, second, 2, WAVE_INT16, 1, 0, 0, 1, 0, 0, 0, 1, 0x0000FF);
    ASSERT_GT(one, 0);
    ASSERT_GT(two, 0);
    EXPECT_EQ(SetPlotMetadata(PANEL, GRAPH, one, "Amplitude [V]", "4.5"), 0);
    EXPECT_EQ(SetPlotMetadata(PANEL, GRAPH, one, "Decade", "x 10"), 0);
    EXPECT_EQ(SetPlotMetadata(PANEL, GRAPH, one, "Verdict", "two\nlines"), 0);
    EXPECT_EQ(SetPlotMetadata(PANEL, GRAPH, one, "Decade", "x 100 k"), 0) << "replaces its value";
    EXPECT_EQ(SetPlotMetadata(PANEL, GRAPH, two, "RMS [V]", "0.5"), 0);
    EXPECT_EQ(SetPlotMetadata(PANEL, GRAPH, two + 1, "Gain", "x1"), UIE_BAD_ARGUMENT);
    EXPECT_EQ(SetPlotMetadata(PANEL, GRAPH, one, "", "x1"), UIE_BAD_ARGUMENT);
    EXPECT_EQ(SetPlotMetadata(PANEL, RMS, one, "Gain", "x1"), UIE_BAD_CONTROL);
    // The panel now: the amplitude as described (4.500 is 4.5), the decade not, the
    // RMS read-out another text (a read-out is never the panel's setting).
    SetCtrlVal(PANEL, AMPLITUDE, 4.5);
    SetCtrlVal(PANEL, DECADE, 0);
    SetCtrlVal(PANEL, RMS, "1.0");

    // The lines between the program's, the time's and the graph's and the header row.
    auto described = [](const QStringList &lines, QChar separator) -> std::string {
        const qsizetype header = lines.indexOf(
            QStringLiteral("t [ms] (plot 1),U [V] (plot 1),t [ms] (plot 2),U [V] (plot 2)")
                .replace(QLatin1Char(','), separator));
        if (header < 3) return "(no header row)";
        return lines.mid(3, header - 3).join('\n').toStdString();
    };
    const char *const expected =
        "# Amplitude [V] (plot 1): 4.5\n"
        "# Decade (plot 1): x 100 k\n"
        "# Verdict (plot 1): two lines\n"
        "# RMS [V] (plot 2): 0.5\n"
        "# Decade on the panel now, not of this data: x 1";
    graph_operator::answerFileDialog(path("described.csv"));
    press(Qt::Key_S, Qt::ControlModifier);
    const QString csv = read_all(path("described.csv"));
    EXPECT_EQ(described(csv.split(QStringLiteral("\r\n")), QLatin1Char(',')), expected)
        << csv.toStdString();
    graph->setFocus(Qt::TabFocusReason);
    QTest::keyClick(graph, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(described(clipboard_text().split('\n'), QLatin1Char('\t')), expected)
        << "Copy data says the same";
    EXPECT_EQ(copied_rows(),
              "t [ms] (plot 1)\tU [V] (plot 1)\tt [ms] (plot 2)\tU [V] (plot 2)\n"
              "0\t1.5\t0\t100\n0.1\t-0.25\t1\t-200\n");

    // The description goes with its plot; the one left keeps its own, unnumbered.
    ASSERT_EQ(DeleteGraphPlot(PANEL, GRAPH, one, 1), 0);
    QTest::keyClick(graph, Qt::Key_C, Qt::ControlModifier);
    const QStringList lines = clipboard_text().split('\n');
    ASSERT_GE(lines.size(), 5);
    EXPECT_EQ(lines.mid(3, 2).join('\n').toStdString(), "# RMS [V]: 0.5\nt [ms]\tU [V]");
}

TEST_F(GraphTools, SavingIntoAFolderThatCannotBeWrittenSaysWhyAndCarriesOn) {
    plotTwo();
    // Root may write into any folder with write permission off; a read-only
    // file system stops it too.
    QString target;
    if (geteuid() == 0) {
        target = QStringLiteral("/proc/bench-data.csv");
    } else {
        QDir(folder.path()).mkdir(QStringLiteral("locked"));
        QFile::setPermissions(path("locked"), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        target = path("locked/bench-data.csv");
    }
    graph_operator::answerFileDialog(target);
    press(Qt::Key_S, Qt::ControlModifier);
    ASSERT_EQ(userint_testing::popups().size(), 1u);
    const userint_testing::Popup popup = userint_testing::popups()[0];
    EXPECT_EQ(popup.title, "bench: could not save");
    EXPECT_NE(popup.message.find(target.toStdString()), std::string::npos) << popup.message;
    EXPECT_NE(popup.message.find("Reason: "), std::string::npos) << popup.message;
    EXPECT_FALSE(QFile::exists(target));
    // The program carries on: the graph still copies.
    graph->setFocus(Qt::TabFocusReason);
    QTest::keyClick(graph, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(copied_rows(), kTwoPlotsText);
}

// A full file system (a small tmpfs of the test's own): the data, an SVG and
// a PNG each fail with the system's reason, leave no file, partial or
// temporary, and leave the remembered folder as it was.
TEST_F(GraphTools, SavingToAFullDiskSaysNoSpaceAndLeavesNoFile) {
    SmallTmpfs disk("64k");
    if (!disk.available()) GTEST_SKIP() << disk.reason();
    plotTwo();
    graph_operator::answerFileDialog(path("first.csv"));
    press(Qt::Key_S, Qt::ControlModifier);
    ASSERT_TRUE(QFile::exists(path("first.csv")));
    disk.fill();
    struct Case {
        const char *name;
        Qt::KeyboardModifiers modifiers;
    };
    for (const Case &c : {Case{"data.csv", Qt::ControlModifier},
                          Case{"graph.svg", Qt::ControlModifier | Qt::ShiftModifier},
                          Case{"graph.png", Qt::ControlModifier | Qt::ShiftModifier}}) {
        SCOPED_TRACE(c.name);
        userint_testing::clear_popups();
        const QString target = QString::fromStdString(disk.file(c.name));
        graph_operator::answerFileDialog(target);
        press(Qt::Key_S, c.modifiers);
        ASSERT_EQ(userint_testing::popups().size(), 1u);
        const std::string message = userint_testing::popups()[0].message;
        EXPECT_NE(message.find(target.toStdString()), std::string::npos) << message;
        EXPECT_NE(message.find("Reason: No space left on device"), std::string::npos) << message;
        EXPECT_EQ(QDir(QString::fromStdString(disk.file(""))).entryList(QDir::Files | QDir::Hidden),
                  QStringList{QStringLiteral("filler")});
    }
    QString startedIn;
    graph_operator::answerFileDialog(
        path("second.csv"), [&](QFileDialog *d) { startedIn = d->directory().absolutePath(); });
    press(Qt::Key_S, Qt::ControlModifier);
    EXPECT_EQ(startedIn, QDir(folder.path()).absolutePath()) << "a failed save is not remembered";
}

// The settings file (where the folder last saved to is kept) as a link to a
// file of the user's, or as a FIFO: neither is read or written through, one
// line says so, and saving goes on with the default folder.
TEST_F(GraphTools, ASettingsFileThatIsALinkOrAFifoIsLeftAlone) {
    plotTwo();
    const QString settings =
        QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME")) + QStringLiteral("/labbench");
    ASSERT_TRUE(QDir().mkpath(settings));
    const QByteArray conf = QFile::encodeName(settings + QStringLiteral("/labbench-bench.conf"));
    const QByteArray precious = QFile::encodeName(path("precious.txt"));
    for (const char *kind : {"link", "fifo"}) {
        SCOPED_TRACE(kind);
        QFile::remove(QString::fromLocal8Bit(conf));
        {
            QFile file(QString::fromLocal8Bit(precious));
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write("the user's own\n");
        }
        if (std::string_view(kind) == "link")
            ASSERT_EQ(::symlink(precious.constData(), conf.constData()), 0);
        else
            ASSERT_EQ(::mkfifo(conf.constData(), 0600), 0);
        // Should the program open the FIFO after all, a writer ends the wait.
        std::atomic<bool> done{false};
        std::thread unblock([&] {
            for (int waited = 0; waited < 10000 && !done; waited += 20)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (done) return;
            const int fd = ::open(conf.constData(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0) ::close(fd);
        });
        StderrCapture err;
        const QString csv = path(kind) + QStringLiteral(".csv");
        graph_operator::answerFileDialog(csv);
        press(Qt::Key_S, Qt::ControlModifier);
        graph_operator::answerFileDialog(csv, {}, 1);
        press(Qt::Key_S, Qt::ControlModifier);
        const std::string said = err.text();
        done = true;
        unblock.join();
        EXPECT_TRUE(QFile::exists(csv));
        EXPECT_EQ(read_all(QString::fromLocal8Bit(precious)).toStdString(), "the user's own\n");
        struct stat info;
        ASSERT_EQ(::lstat(conf.constData(), &info), 0);
        EXPECT_TRUE(std::string_view(kind) == "link" ? S_ISLNK(info.st_mode)
                                                     : S_ISFIFO(info.st_mode));
        EXPECT_LE(std::count(said.begin(), said.end(), '\n'), 1) << said;
        EXPECT_NE(said.find("labbench-bench.conf is "), std::string::npos) << said;
    }
    QFile::remove(QString::fromLocal8Bit(conf));
}

// Earlier versions kept the settings file in $XDG_CONFIG_HOME/LabBench: it moves
// into the one settings folder, and the folder it remembers is where the next
// save starts.
TEST_F(GraphTools, ASettingsFileInTheOldFolderIsMovedAndStillRemembered) {
    plotTwo();
    QTemporaryDir config;
    ASSERT_TRUE(config.isValid());
    testsupport::ScopedEnv xdg("XDG_CONFIG_HOME", QFile::encodeName(config.path()).toStdString());
    ASSERT_TRUE(QDir().mkpath(config.filePath(QStringLiteral("LabBench"))));
    {
        QFile old(config.filePath(QStringLiteral("LabBench/labbench-bench.conf")));
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("[export]\nlastFolder=" + QFile::encodeName(folder.path()) + "\n");
    }
    StderrCapture err;
    QString startedIn;
    graph_operator::answerFileDialog(
        path("moved.csv"), [&](QFileDialog *d) { startedIn = d->directory().absolutePath(); });
    press(Qt::Key_S, Qt::ControlModifier);
    const std::string said = err.text();
    EXPECT_EQ(startedIn, QDir(folder.path()).absolutePath()) << said;
    EXPECT_TRUE(QFile::exists(config.filePath(QStringLiteral("labbench/labbench-bench.conf"))));
    EXPECT_FALSE(QFile::exists(config.filePath(QStringLiteral("LabBench"))));
    EXPECT_NE(said.find("moved "), std::string::npos) << said;
}

TEST_F(GraphTools, CtrlShiftSSavesThePictureAsPngOrSvgByItsName) {
    plotTwo();
    const QSize shown = graph->size();
    const qreal ratio = graph->devicePixelRatioF();
    graph_operator::answerFileDialog(path("graph.png"));
    press(Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier);
    const QImage png(path("graph.png"), "PNG");
    ASSERT_FALSE(png.isNull()) << "the PNG does not decode";
    EXPECT_EQ(png.size(), shown * ratio);
    int blue = 0;
    for (int y = 0; y < png.height(); ++y)
        for (int x = 0; x < png.width(); ++x) {
            const QColor c = png.pixelColor(x, y);
            blue += c.blue() > 200 && c.green() < 100 && c.red() < 100;
        }
    EXPECT_GT(blue, 50) << "the picture shows the plots";

    // The dialog opens once the menu has closed; its answer waits for it.
    graph_operator::answerFileDialog(path("graph.svg"));
    graph_operator::chooseFromMenu(graph, QStringLiteral("Save picture…"));
    QSvgRenderer svg(path("graph.svg"));
    ASSERT_TRUE(svg.isValid()) << "the SVG does not decode";
    EXPECT_EQ(svg.viewBox().size(), shown);
    // Its width and height are given in mm for 96 px to the inch, as SVG viewers count.
    const QRegularExpressionMatch width =
        QRegularExpression(QStringLiteral("width=\"([0-9.]+)mm\""))
            .match(read_all(path("graph.svg")));
    ASSERT_TRUE(width.hasMatch());
    EXPECT_NEAR(width.captured(1).toDouble() / 25.4 * 96, shown.width(), 1);
    EXPECT_TRUE(read_all(path("graph.svg")).contains(QStringLiteral("t [ms]")))
        << "titles are in the drawing";
    EXPECT_TRUE(userint_testing::popups().empty());
}

TEST_F(GraphTools, DragAndCtrlWheelZoomWhileTheDataStaysWhole) {
    plotTwo();
    const View home = shownView();
    graph->setFocus(Qt::TabFocusReason);
    QTest::keyClick(graph, Qt::Key_C, Qt::ControlModifier);
    const std::string whole = copied_rows();

    // Drag from a quarter to three quarters of the plot area.
    QWidget *plotArea = graph->viewport();
    QTest::mousePress(plotArea, Qt::LeftButton, Qt::NoModifier, inPlot(0.25, 0.25));
    QTest::mouseMove(plotArea, inPlot(0.5, 0.5));
    QTest::mouseRelease(plotArea, Qt::LeftButton, Qt::NoModifier, inPlot(0.75, 0.75));
    const View dragged = shownView();
    const double xSpan = home.xMax - home.xMin, ySpan = home.yMax - home.yMin;
    EXPECT_NEAR(dragged.xMin, home.xMin + 0.25 * xSpan, 0.01 * xSpan);
    EXPECT_NEAR(dragged.xMax, home.xMin + 0.75 * xSpan, 0.01 * xSpan);
    EXPECT_NEAR(dragged.yMin, home.yMin + 0.25 * ySpan, 0.01 * ySpan);
    EXPECT_NEAR(dragged.yMax, home.yMin + 0.75 * ySpan, 0.01 * ySpan);
    // A click is no rectangle.
    QTest::mouseClick(plotArea, Qt::LeftButton, Qt::NoModifier, inPlot(0.5, 0.5));
    EXPECT_EQ(shownView().xMin, dragged.xMin);

    // Ctrl+wheel: one notch narrows the view by 1.25 about the pointer.
    const QPoint at = inPlot(0.2, 0.6);
    const double xAt = dragged.xMin + 0.2 * (dragged.xMax - dragged.xMin);
    QWheelEvent wheel(at, plotArea->mapToGlobal(at), QPoint(), QPoint(0, 120), Qt::NoButton,
                      Qt::ControlModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(plotArea, &wheel);
    const View wheeled = shownView();
    EXPECT_NEAR(wheeled.xMax - wheeled.xMin, (dragged.xMax - dragged.xMin) / 1.25, 1e-9 * xSpan);
    EXPECT_NEAR(wheeled.xMin + 0.2 * (wheeled.xMax - wheeled.xMin), xAt, 0.01 * xSpan)
        << "the value under the pointer stays under it";

    QTest::keyClick(graph, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(copied_rows(), whole) << "zoom never changes what is copied";

    graph_operator::chooseFromMenu(graph, QStringLiteral("Zoom out"));
    EXPECT_EQ(shownView().xMin, dragged.xMin) << "Zoom out goes back one step";
    EXPECT_EQ(shownView().yMax, dragged.yMax);
    graph_operator::chooseFromMenu(graph, QStringLiteral("Reset zoom"));
    EXPECT_EQ(shownView().xMin, home.xMin) << "Reset zoom returns to the program's view";
    EXPECT_EQ(shownView().xMax, home.xMax);
    EXPECT_EQ(shownView().yMin, home.yMin);

    // A new plot shows in the program's view, even when zoomed.
    SetAxisScalingMode(PANEL, GRAPH, 1, 0, -400, 400);
    QTest::mousePress(plotArea, Qt::LeftButton, Qt::NoModifier, inPlot(0.1, 0.1));
    QTest::mouseRelease(plotArea, Qt::LeftButton, Qt::NoModifier, inPlot(0.4, 0.4));
    ASSERT_NE(shownView().yMax, 400);
    const float again[] = {1, 2, 3};
    PlotWaveform(PANEL, GRAPH, again, 3, WAVE_FLOAT, 1, 0, 0, 1, 0, 0, 0, 1, 0x00FF00);
    EXPECT_EQ(shownView().yMin, -400) << "the program's fixed range";
    EXPECT_EQ(shownView().yMax, 400);
    EXPECT_EQ(shownView().xMin, 0) << "autoscaled to all plots";
    EXPECT_EQ(shownView().xMax, 14);
    const QStringList entries = graph_operator::menuEntries(graph, MenuBy::MenuKey);
    EXPECT_TRUE(entries.contains(QStringLiteral("Reset zoom (off)")))
        << entries.join('|').toStdString();
}

TEST_F(GraphTools, ZoomedAxesKeepExactTicksWithinTheView) {
    SetAxisScalingMode(PANEL, GRAPH, 0, 0, 0, 360);
    SetAxisScalingMode(PANEL, GRAPH, 1, 0, -1, 1);
    auto *y = qobject_cast<QCategoryAxis *>(axis(Qt::Vertical));
    ASSERT_NE(y, nullptr);
    EXPECT_EQ(y->min(), -1);
    EXPECT_EQ(y->max(), 1);
    EXPECT_TRUE(y->categoriesLabels().contains(QStringLiteral("0")))
        << y->categoriesLabels().join(',').toStdString();
    QWidget *plotArea = graph->viewport();
    QTest::mousePress(plotArea, Qt::LeftButton, Qt::NoModifier, inPlot(0.1, 0.1));
    QTest::mouseRelease(plotArea, Qt::LeftButton, Qt::NoModifier, inPlot(0.6, 0.6));
    for (QValueAxis *a : {axis(Qt::Horizontal), axis(Qt::Vertical)}) {
        auto *c = qobject_cast<QCategoryAxis *>(a);
        ASSERT_GE(c->count(), 5) << "at least four intervals";
        for (const QString &label : c->categoriesLabels()) {
            EXPECT_GE(label.toDouble(), a->min());
            EXPECT_LE(label.toDouble(), a->max());
            EXPECT_EQ(c->endValue(label), label.toDouble());
        }
    }
}

TEST_F(GraphTools, ReadOutsLookReadOnlyAndTheirTextCopies) {
    auto *rms = qobject_cast<QLineEdit *>(userint_testing::control_widget(PANEL, RMS));
    ASSERT_NE(rms, nullptr);
    // No input field's white ground or frame: the read-out is drawn in the
    // panel's own colour, edge to edge.
    const QImage look = rms->grab().toImage();
    const QColor ground = panel->palette().color(QPalette::Window);
    for (const QPoint &at : {QPoint(1, 1), QPoint(look.width() - 2, look.height() / 2),
                             QPoint(look.width() / 2, look.height() - 2)})
        EXPECT_EQ(look.pixelColor(at).name().toStdString(), ground.name().toStdString())
            << "at " << at.x() << "," << at.y();
    // Also after a failure mark has come and gone.
    MarkCtrlFailure(PANEL, RMS, 1);
    MarkCtrlFailure(PANEL, RMS, 0);
    EXPECT_EQ(rms->palette().color(QPalette::Base), ground);
    SetCtrlVal(PANEL, RMS, "1.234567");
    QTest::mouseClick(rms, Qt::LeftButton);
    QTest::keyClick(rms, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(rms, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(clipboard_text().toStdString(), "1.234567");
    EXPECT_EQ(graph->focusPolicy(), Qt::StrongFocus) << "the graph takes the keyboard focus";
}

TEST_F(GraphTools, TheProgramIsNamedAfterItsPanelForTheDesktop) {
    EXPECT_EQ(QCoreApplication::applicationName().toStdString(), "labbench-bench");
    EXPECT_EQ(QGuiApplication::desktopFileName().toStdString(), "labbench-bench");
}

// ---- Zoom limits, pan, keys, focus ------------------------------------------------

TEST_F(GraphTools, ZoomOutStopsAtTheProgramsViewAndPanningStaysWithinIt) {
    plotTwo();
    const View home = shownView();
    graph->setFocus(Qt::TabFocusReason);
    QWidget *plotArea = graph->viewport();
    auto zoomOff = [&] {
        return graph_operator::menuEntries(graph, MenuBy::MenuKey)
            .contains(QStringLiteral("Reset zoom (off)"));
    };

    // Out from the program's view: nothing to go to, and no step to undo.
    QTest::keyClick(graph, Qt::Key_Minus);
    const QPoint at = inPlot(0.1, 0.5);
    QWheelEvent out(at, plotArea->mapToGlobal(at), QPoint(), QPoint(0, -3 * 120), Qt::NoButton,
                    Qt::ControlModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(plotArea, &out);
    EXPECT_EQ(shownView().xMin, home.xMin);
    EXPECT_EQ(shownView().xMax, home.xMax);
    EXPECT_EQ(shownView().yMin, home.yMin);
    EXPECT_TRUE(zoomOff());

    // + twice narrows about the centre; - three times ends at the program's view again.
    QTest::keyClick(graph, Qt::Key_Plus, Qt::ShiftModifier);
    QTest::keyClick(graph, Qt::Key_Equal);
    const double xSpan = home.xMax - home.xMin, xMid = (home.xMin + home.xMax) / 2;
    EXPECT_NEAR(shownView().xMax - shownView().xMin, xSpan / 1.5625, 1e-9 * xSpan);
    EXPECT_NEAR((shownView().xMin + shownView().xMax) / 2, xMid, 1e-9 * xSpan);
    for (int i = 0; i < 3; ++i) QTest::keyClick(graph, Qt::Key_Minus);
    EXPECT_EQ(shownView().xMin, home.xMin);
    EXPECT_EQ(shownView().xMax, home.xMax);
    EXPECT_TRUE(zoomOff()) << "zoomed out as far as it goes is the program's view";

    // Zoomed into the middle, Ctrl+wheel out near the left edge widens the view
    // but keeps it within the program's: no x below the first point.
    QTest::mousePress(plotArea, Qt::LeftButton, Qt::NoModifier, inPlot(0.25, 0.25));
    QTest::mouseRelease(plotArea, Qt::LeftButton, Qt::NoModifier, inPlot(0.5, 0.75));
    const View zoomed = shownView();
    const QPoint nearLeft = inPlot(0.05, 0.5);
    QWheelEvent little(nearLeft, plotArea->mapToGlobal(nearLeft), QPoint(), QPoint(0, -120),
                       Qt::NoButton, Qt::ControlModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(plotArea, &little);
    EXPECT_GE(shownView().xMin, home.xMin);
    EXPECT_NEAR(shownView().xMax - shownView().xMin, (zoomed.xMax - zoomed.xMin) * 1.25,
                1e-9 * xSpan);
    graph_operator::chooseFromMenu(graph, QStringLiteral("Zoom out"));
    EXPECT_EQ(shownView().xMin, zoomed.xMin);

    // Pan: the middle button drags the view to the right edge, no further;
    // Shift and the left button drag it back to the left edge.
    const double span = zoomed.xMax - zoomed.xMin;
    QTest::mousePress(plotArea, Qt::MiddleButton, Qt::NoModifier, inPlot(0.9, 0.5));
    QTest::mouseMove(plotArea, inPlot(0.5, 0.5));
    EXPECT_NEAR(shownView().xMin, zoomed.xMin + 0.4 * span, 0.02 * span);
    QTest::mouseMove(plotArea, inPlot(-3, 0.5));
    QTest::mouseRelease(plotArea, Qt::MiddleButton, Qt::NoModifier, inPlot(-3, 0.5));
    EXPECT_EQ(shownView().xMax, home.xMax);
    EXPECT_NEAR(shownView().xMax - shownView().xMin, span, 1e-9 * xSpan) << "the span stays";
    EXPECT_EQ(shownView().yMin, zoomed.yMin) << "no vertical move";
    QTest::mousePress(plotArea, Qt::LeftButton, Qt::ShiftModifier, inPlot(0.1, 0.5));
    QTest::mouseMove(plotArea, inPlot(4, 0.5));
    QTest::mouseRelease(plotArea, Qt::LeftButton, Qt::ShiftModifier, inPlot(4, 0.5));
    EXPECT_EQ(shownView().xMin, home.xMin);
    graph_operator::chooseFromMenu(graph, QStringLiteral("Zoom out"));
    EXPECT_EQ(shownView().xMax, home.xMax) << "Zoom out undoes a pan";

    QTest::keyClick(graph, Qt::Key_0);
    EXPECT_EQ(shownView().xMin, home.xMin);
    EXPECT_EQ(shownView().xMax, home.xMax);
    EXPECT_EQ(shownView().yMax, home.yMax);
    // Unzoomed, a pan has nowhere to go.
    QTest::mousePress(plotArea, Qt::MiddleButton, Qt::NoModifier, inPlot(0.5, 0.5));
    QTest::mouseMove(plotArea, inPlot(0.1, 0.1));
    QTest::mouseRelease(plotArea, Qt::MiddleButton, Qt::NoModifier, inPlot(0.1, 0.1));
    EXPECT_EQ(shownView().xMin, home.xMin);
    EXPECT_EQ(shownView().yMin, home.yMin);
    EXPECT_TRUE(zoomOff());
}

TEST_F(GraphTools, AFocusedGraphShowsAFocusFrameThatStaysOutOfItsPicture) {
    plotTwo();
    const QColor highlight = graph->palette().color(QPalette::Active, QPalette::Highlight);
    auto framed = [&](const QImage &image) {
        int marked = 0;
        const QPoint edges[] = {{1, image.height() / 2},
                                {image.width() - 2, image.height() / 2},
                                {image.width() / 2, 1},
                                {image.width() / 2, image.height() - 2}};
        for (const QPoint &p : edges) marked += image.pixelColor(p) == highlight;
        return marked;
    };
    QTest::mouseClick(userint_testing::control_widget(PANEL, RMS), Qt::LeftButton);
    ASSERT_FALSE(graph->hasFocus());
    EXPECT_EQ(framed(graph->grab().toImage()), 0) << "no frame without the focus";
    graph->setFocus(Qt::TabFocusReason);
    QApplication::processEvents();
    EXPECT_EQ(framed(graph->grab().toImage()), 4) << "all four sides are framed";
    graph_operator::answerFileDialog(path("focused.png"));
    press(Qt::Key_S, Qt::ControlModifier | Qt::ShiftModifier);
    const QImage png(path("focused.png"), "PNG");
    ASSERT_FALSE(png.isNull());
    EXPECT_EQ(framed(png.scaled(graph->size())), 0) << "the saved picture has no focus frame";
}

// ---- Cursors ------------------------------------------------------------------------

// The clipboard's "name<TAB>value" lines as a table.
std::map<QString, QString> readout_on_clipboard() {
    std::map<QString, QString> lines;
    for (const QString &line : clipboard_text().split('\n', Qt::SkipEmptyParts)) {
        const QStringList parts = line.split('\t');
        EXPECT_EQ(parts.size(), 2) << line.toStdString();
        if (parts.size() == 2) lines[parts[0]] = parts[1];
    }
    return lines;
}

TEST_F(GraphTools, CursorsMovedByKeysAndMouseReadOutPositionsValuesMeanAndRms) {
    // 101 points 0.5 ms apart: y = 0.01 i^2 - 3.
    double y[101];
    for (int i = 0; i < 101; ++i) y[i] = 0.01 * i * i - 3;
    const int first =
        PlotWaveform(PANEL, GRAPH, y, 101, WAVE_DOUBLE, 1, 0, 0, 0.5, 0, 0, 0, 1, 0xFF0000);
    ASSERT_GT(first, 0);
    graph->setFocus(Qt::TabFocusReason);
    QTest::keyClick(graph, Qt::Key_C);
    auto *readout = graph->findChild<QLabel *>(QStringLiteral("cursorReadout"));
    ASSERT_NE(readout, nullptr);
    EXPECT_TRUE(readout->isVisible());

    // Cursor 1 three points right; Tab; cursor 2 a tenth of the 50 ms view
    // left (10 points) and one more point left.
    for (int i = 0; i < 3; ++i) QTest::keyClick(graph, Qt::Key_Right);
    QTest::keyClick(graph, Qt::Key_Tab);
    EXPECT_TRUE(graph->hasFocus()) << "with cursors shown, Tab selects the other cursor";
    QTest::keyClick(graph, Qt::Key_Left, Qt::ShiftModifier);
    QTest::keyClick(graph, Qt::Key_Left);

    struct Expected {
        int first, last;
    };
    auto check = [&](Expected e, const char *when) {
        QGuiApplication::clipboard()->clear();
        graph_operator::chooseFromMenu(graph, QStringLiteral("Copy cursor read-out"));
        std::map<QString, QString> got = readout_on_clipboard();
        const double x1 = 0.5 * e.first, x2 = 0.5 * e.last;
        double sum = 0, squares = 0;
        for (int i = std::min(e.first, e.last); i <= std::max(e.first, e.last); ++i) {
            sum += y[i];
            squares += y[i] * y[i];
        }
        const int n = std::abs(e.last - e.first) + 1;
        const std::pair<const char *, double> want[] = {
            {"x₁ (ms)", x1},
            {"x₂ (ms)", x2},
            {"Δx (ms)", x2 - x1},
            {"1/Δx (Hz)", 1000 / std::abs(x2 - x1)},
            {"y₁ (V)", y[e.first]},
            {"y₂ (V)", y[e.last]},
            {"Δy (V)", y[e.last] - y[e.first]},
            {"Mean (V)", sum / n},
            {"RMS (V)", std::sqrt(squares / n)},
        };
        EXPECT_EQ(got.size(), std::size(want)) << when;
        for (const auto &[name, value] : want) {
            ASSERT_TRUE(got.count(QString::fromUtf8(name))) << when << ": no " << name;
            EXPECT_NEAR(got[QString::fromUtf8(name)].toDouble(), value,
                        1e-12 * (1 + std::abs(value)))
                << when << ": " << name;
        }
        const QString spoken = readout->accessibleDescription();
        EXPECT_TRUE(spoken.contains(QStringLiteral("x₁ (ms): ") + QString::number(x1, 'g', 6)))
            << when << ": " << spoken.toStdString();
        EXPECT_FALSE(readout->accessibleName().isEmpty());
    };
    check({3, 89}, "after the keys");

    // The mouse drags the selected cursor (2) from its line to the middle.
    const double x2 = 44.5;
    const QRectF area = graph->chart()->plotArea();
    const QPoint onLine = graph->mapFromScene(graph->chart()->mapToScene(
        QPointF(area.left() + x2 / 50 * area.width(), area.center().y())));
    QWidget *plotArea = graph->viewport();
    const View before = shownView();
    QTest::mousePress(plotArea, Qt::LeftButton, Qt::NoModifier, onLine);
    QTest::mouseMove(plotArea, inPlot(0.3, 0.6));
    QTest::mouseRelease(plotArea, Qt::LeftButton, Qt::NoModifier, inPlot(0.5, 0.6));
    EXPECT_EQ(shownView().xMin, before.xMin) << "a cursor drag is no zoom";
    check({3, 50}, "after the drag");

    // A new plot keeps the cursors where they are; C hides them and Tab leaves again.
    PlotWaveform(PANEL, GRAPH, y, 101, WAVE_DOUBLE, 1, 0, 0, 0.5, 0, 0, 0, 1, 0xFF0000);
    DeleteGraphPlot(PANEL, GRAPH, first, 1);
    check({3, 50}, "after a new plot");
    QTest::keyClick(graph, Qt::Key_C);
    EXPECT_FALSE(readout->isVisible());
    QTest::keyClick(graph, Qt::Key_Tab);
    EXPECT_FALSE(graph->hasFocus());
}

// ---- Reference ----------------------------------------------------------------------

struct ReferenceCase {
    const char *what;
    std::string_view content;
    int points;         // points read, or -1 when refused
    int line;           // the line named when refused
    const char *cause;  // part of the reason
};

// A live trace (data still being gathered) is shown in place of the plots and against
// ranges of its own, while the plots stay what is copied and saved; it grows from call
// to call, and once it ends the plots come back as they were, axes and all.
TEST_F(GraphTools, ALiveTraceShowsInPlaceOfThePlotsWhichStayTheDataAndComeBack) {
    const double complete[] = {1.5, -0.25, 3};
    const int plot =
        PlotWaveform(PANEL, GRAPH, complete, 3, WAVE_DOUBLE, 1, 0, 0, 0.1, 0, 0, 0, 1, 0xFF0000);
    ASSERT_GT(plot, 0);
    ASSERT_EQ(SetPlotMetadata(PANEL, GRAPH, plot, "Verdict", "complete"), 0);
    ASSERT_EQ(SetAxisScalingMode(PANEL, GRAPH, 1, 0, -2.0, 4.0), 0);
    const View before = shownView();
    const char *const completeRows = "t [ms]\tU [V]\n0\t1.5\n0.1\t-0.25\n0.2\t3\n";
    // The series the operator sees, with their points.
    auto shownSeries = [&] {
        std::vector<QList<QPointF>> shown;
        for (QAbstractSeries *s : graph->chart()->series())
            if (auto *xy = qobject_cast<QXYSeries *>(s); xy && xy->isVisible() && xy->count() > 0)
                shown.push_back(xy->points());
        return shown;
    };

    float gathering[1000];
    for (int i = 0; i < 1000; ++i) gathering[i] = static_cast<float>(i % 7) - 3;
    graph->setFocus(Qt::TabFocusReason);
    QTest::keyClick(graph, Qt::Key_C);  // the cursors, read on what is shown
    for (int count : {2, 5, 5, 40}) {
        ASSERT_EQ(PlotLiveTrace(PANEL, GRAPH, gathering, count, WAVE_FLOAT, 0.5, 1, 0, 2, 0, 1998,
                                -5, 5, 0x00A000),
                  0);
        userint_testing::PlotPoints live;
        ASSERT_TRUE(userint_testing::graph_live_trace(PANEL, GRAPH, &live));
        ASSERT_EQ(live.y.size(), static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) {
            EXPECT_EQ(live.x[i], 2.0 * i);
            EXPECT_EQ(live.y[i], 0.5 * gathering[i] + 1);
        }
        EXPECT_EQ(live.colour, 0x00A000u);
        const View v = shownView();
        EXPECT_EQ(std::vector<double>({v.xMin, v.xMax, v.yMin, v.yMax}),
                  std::vector<double>({0, 1998, -5, 5}));
        const auto shown = shownSeries();
        ASSERT_EQ(shown.size(), 1u) << "the live trace alone is shown, count " << count;
        EXPECT_EQ(shown[0].size(), count);

        QGuiApplication::clipboard()->clear();
        QTest::keyClick(graph, Qt::Key_C, Qt::ControlModifier);
        EXPECT_EQ(copied_rows(), completeRows) << "the plots stay the data";
        EXPECT_TRUE(clipboard_text().contains(QStringLiteral("# Verdict: complete")));
        QGuiApplication::clipboard()->clear();
        graph_operator::chooseFromMenu(graph, QStringLiteral("Copy cursor read-out"));
        std::map<QString, QString> readout = readout_on_clipboard();
        EXPECT_EQ(readout[QStringLiteral("y₁ (V)")].toDouble(), 0.5 * gathering[0] + 1)
            << "the cursors read the trace shown, not the plot (1.5 there)";
    }
    QTest::keyClick(graph, Qt::Key_C);

    struct Refused {
        int count, type;
        double xMax;
    };
    for (Refused r : {Refused{-1, WAVE_FLOAT, 10}, Refused{3, 8, 10}, Refused{3, WAVE_FLOAT, 0}})
        EXPECT_EQ(PlotLiveTrace(PANEL, GRAPH, gathering, r.count, r.type, 1, 0, 0, 1, 0, r.xMax, -1,
                                1, 0x00A000),
                  UIE_BAD_ARGUMENT)
            << r.count << " points of type " << r.type << " up to x " << r.xMax;
    EXPECT_EQ(PlotLiveTrace(PANEL, RMS, gathering, 3, WAVE_FLOAT, 1, 0, 0, 1, 0, 1, -1, 1, 0),
              UIE_BAD_CONTROL);

    ASSERT_EQ(ClearLiveTrace(PANEL, GRAPH), 0);
    userint_testing::PlotPoints none;
    EXPECT_FALSE(userint_testing::graph_live_trace(PANEL, GRAPH, &none));
    const View after = shownView();
    EXPECT_EQ(std::vector<double>({after.xMin, after.xMax, after.yMin, after.yMax}),
              std::vector<double>({before.xMin, before.xMax, before.yMin, before.yMax}));
    EXPECT_TRUE(userint_testing::graph_y_axis(PANEL, GRAPH).fixed);
    const auto shown = shownSeries();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0], QList<QPointF>({{0, 1.5}, {0.1, -0.25}, {0.2, 3}}));
    EXPECT_EQ(ClearLiveTrace(PANEL, GRAPH), 0) << "without a live trace nothing happens";

    // A new plot ends a live trace too, and is shown.
    ASSERT_EQ(PlotLiveTrace(PANEL, GRAPH, gathering, 3, WAVE_FLOAT, 1, 0, 0, 1, 0, 10, -1, 1, 0),
              0);
    ASSERT_EQ(DeleteGraphPlot(PANEL, GRAPH, -1, 1), 0);
    ASSERT_GT(
        PlotWaveform(PANEL, GRAPH, complete, 2, WAVE_DOUBLE, 1, 0, 0, 1, 0, 0, 0, 1, 0xFF0000), 0);
    EXPECT_FALSE(userint_testing::graph_live_trace(PANEL, GRAPH, &none));
    ASSERT_EQ(shownSeries().size(), 1u);
    EXPECT_EQ(shownSeries()[0].size(), 2);
}

TEST(Reference, FilesOfTwoNumericColumnsAreReadOthersRefusedWithTheirLine) {
    const ReferenceCase cases[] = {
        {"saved by LabBench",
         "# Program: deska\r\n# Gain: x1\r\ntime (ms),voltage (V)\r\n0,1.5\r\n0.1,-2\r\n", 2, 0,
         ""},
        {"spaces, no header, comments between", "0 1\n# note\n1   2\n\n2\t3\n", 3, 0, ""},
        {"semicolons, a byte order mark", "\xEF\xBB\xBFt;U\n1;2\n3;4e-3\n", 2, 0, ""},
        {"several plots, the first shorter", "x1,y1,x2,y2\n0,1,0,5\n,,1,6\n", 1, 0, ""},
        {"a bad number", "t,U\n0,1\n1,2\n2,x3\n", -1, 4, "\"x3\" is not a number"},
        {"a bad number on the first row", "0,abc\n", -1, 1, "\"abc\" is not a number"},
        {"not finite", "0,1\n1,inf\n", -1, 2, "is not a number"},
        {"a missing y", "0,1\n1,\n", -1, 2, "y value is missing"},
        {"one column", "t\n1\n2\n", -1, 2, "one column"},
        {"a second header", "t,U\nt,U\n", -1, 2, "\"t\" is not a number"},
        {"binary", std::string_view("0,1\n\x01\x02\0\x03\n", 9), -1, 2, "zero byte"},
        {"empty", "# nothing\n", -1, 0, "no rows"},
    };
    for (const ReferenceCase &c : cases) {
        const QByteArray content(c.content.data(), static_cast<qsizetype>(c.content.size()));
        const auto read = userint_internal::parse_reference(content);
        if (c.points >= 0) {
            const auto *points = std::get_if<QList<QPointF>>(&read);
            ASSERT_NE(points, nullptr)
                << c.what << ": "
                << std::get<userint_internal::ReferenceProblem>(read).what.toStdString();
            EXPECT_EQ(points->size(), c.points) << c.what;
        } else {
            const auto *problem = std::get_if<userint_internal::ReferenceProblem>(&read);
            ASSERT_NE(problem, nullptr) << c.what;
            EXPECT_EQ(problem->line, c.line) << c.what;
            EXPECT_TRUE(problem->what.contains(QString::fromUtf8(c.cause)))
                << c.what << ": " << problem->what.toStdString();
        }
    }
    // A million rows are a reference; one more row is not.
    QByteArray rows;
    rows.reserve(5 * 1000001);
    for (int i = 0; i < 1000000; ++i) rows.append("0,0\n");
    EXPECT_EQ(std::get<QList<QPointF>>(userint_internal::parse_reference(rows)).size(), 1000000);
    rows.append("1,1\n");
    const auto tooMany = userint_internal::parse_reference(rows);
    ASSERT_TRUE(std::holds_alternative<userint_internal::ReferenceProblem>(tooMany));
    EXPECT_EQ(std::get<userint_internal::ReferenceProblem>(tooMany).line, 1000001);
}

TEST_F(GraphTools, AReferenceIsDrawnSavedKeptOverNewPlotsAndAMalformedOneIsRefused) {
    plotTwo();
    const QString refPath = path("reference.csv");
    {
        QFile f(refPath);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("# Program: deska\r\ntime (ms),voltage (V)\r\n0,1\r\n5,-1\r\n20,0.5\r\n");
    }
    auto referenceSeries = [&]() -> QLineSeries * {
        for (QAbstractSeries *s : graph->chart()->series())
            if (s->name() == QLatin1String("reference.csv")) return qobject_cast<QLineSeries *>(s);
        return nullptr;
    };
    graph_operator::answerFileDialog(refPath);
    press(Qt::Key_O, Qt::ControlModifier);
    QLineSeries *reference = referenceSeries();
    ASSERT_NE(reference, nullptr);
    EXPECT_EQ(reference->points(), (QList<QPointF>{{0, 1}, {5, -1}, {20, 0.5}}));
    EXPECT_NE(reference->pen().style(), Qt::SolidLine) << "a line style of its own";
    EXPECT_NE(reference->pen().color(), QColor(Qt::red));
    EXPECT_NE(reference->pen().color(), QColor(Qt::blue));
    EXPECT_EQ(shownView().xMax, 20) << "the axes follow the reference too";
    auto *legend = graph->findChild<QLabel *>(QStringLiteral("referenceLegend"));
    ASSERT_NE(legend, nullptr);
    EXPECT_TRUE(legend->isVisible());
    EXPECT_TRUE(legend->text().contains(QStringLiteral("reference.csv")));

    graph->setFocus(Qt::TabFocusReason);
    QTest::keyClick(graph, Qt::Key_C, Qt::ControlModifier);
    EXPECT_TRUE(QString::fromStdString(copied_rows())
                    .startsWith(QStringLiteral(
                        "t [ms] (plot 1)\tU [V] (plot 1)\tt [ms] (plot 2)\tU [V] (plot 2)\t"
                        "t [ms] (reference: reference.csv)\tU [V] (reference: reference.csv)\n"
                        "0\t1.5\t10\t51\t0\t1\n")))
        << clipboard_text().toStdString();

    // The program plots anew: the reference stays.
    DeleteGraphPlot(PANEL, GRAPH, -1, 1);
    const float again[] = {1, 2, 3};
    PlotWaveform(PANEL, GRAPH, again, 3, WAVE_FLOAT, 1, 0, 0, 1, 0, 0, 0, 1, 0x00FF00);
    ASSERT_EQ(referenceSeries(), reference);
    EXPECT_EQ(reference->points().size(), 3);

    // A malformed file: a popup naming the file and the line; nothing changes.
    const QString badPath = path("bad.csv");
    {
        QFile f(badPath);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("t,U\n0,1\n1,2\n2,3,5\n3,oops\n");
    }
    userint_testing::clear_popups();
    graph_operator::answerFileDialog(badPath);
    graph_operator::chooseFromMenu(graph, QStringLiteral("Open reference…"));
    ASSERT_EQ(userint_testing::popups().size(), 1u);
    const std::string message = userint_testing::popups()[0].message;
    EXPECT_EQ(userint_testing::popups()[0].title, "bench: reference not opened");
    EXPECT_NE(message.find(badPath.toStdString()), std::string::npos) << message;
    EXPECT_NE(message.find("Line 5: \"oops\" is not a number"), std::string::npos) << message;
    EXPECT_EQ(referenceSeries(), reference) << "the old reference stays";
    EXPECT_EQ(reference->points().size(), 3);

    graph_operator::chooseFromMenu(graph, QStringLiteral("Clear reference"));
    EXPECT_EQ(referenceSeries(), nullptr);
    EXPECT_FALSE(legend->isVisible());
    EXPECT_EQ(shownView().xMax, 2) << "the axes follow the plots alone again";
}

// ---- A level line --------------------------------------------------------------------

TEST_F(GraphTools, ALevelLineIsAMarkNotAPlot) {
    plotTwo();
    graph->setFocus(Qt::TabFocusReason);
    QTest::keyClick(graph, Qt::Key_C, Qt::ControlModifier);
    const QString data = clipboard_text();
    ASSERT_EQ(SetGraphLevelLine(PANEL, GRAPH, 1, 20, 0x008000), 0);
    auto levelLine = [&]() -> QGraphicsLineItem * {
        for (QGraphicsItem *item : graph->scene()->items())
            if (auto *l = dynamic_cast<QGraphicsLineItem *>(item);
                l && l->isVisible() && l->pen().color() == QColor(0x008000))
                return l;
        return nullptr;
    };
    QGraphicsLineItem *line = levelLine();
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->pen().style(), Qt::DashLine);
    const QRectF area = graph->chart()->plotArea();
    const View v = shownView();
    EXPECT_NEAR(line->line().y1(),
                area.bottom() - (20 - v.yMin) / (v.yMax - v.yMin) * area.height(), 0.5);
    EXPECT_EQ(line->line().y1(), line->line().y2()) << "horizontal";
    EXPECT_NEAR(line->line().length(), area.width(), 0.5) << "across the plot area";
    QTest::keyClick(graph, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(clipboard_text(), data) << "a mark is not copied with the data";

    DeleteGraphPlot(PANEL, GRAPH, -1, 1);
    const float again[] = {0, 100, 30};
    PlotWaveform(PANEL, GRAPH, again, 3, WAVE_FLOAT, 1, 0, 0, 1, 0, 0, 0, 1, 0xFF0000);
    EXPECT_NE(levelLine(), nullptr) << "kept through new plots";
    ASSERT_EQ(SetGraphLevelLine(PANEL, GRAPH, 0, 0, 0x008000), 0);
    EXPECT_EQ(levelLine(), nullptr);
    EXPECT_EQ(SetGraphLevelLine(PANEL, GRAPH, 1, NAN, 0x008000), UIE_BAD_ARGUMENT);
}

}  // namespace
