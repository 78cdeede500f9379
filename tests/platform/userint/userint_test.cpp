// SPDX-License-Identifier: GPL-3.0-or-later
// Tests of the GUI run-time, driven as an operator drives a panel: key and
// mouse events on the real widgets of a panel loaded from bench.uir.
//
// The panel's callbacks record every event they get; each test states which
// events an action must produce. Runs offscreen.
#include "userint.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QChartView>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScatterSeries>
#include <QScreen>
#include <QSpinBox>
#include <QStyle>
#include <QStyleOptionSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QValueAxis>
#include <QWheelEvent>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "capture_stderr.h"
#include "case_name.h"
#include "panel_operator.h"
#include "userint_testing.h"

namespace {

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
std::ostream &operator<<(std::ostream &os, const Event &e) {
    return os << "{panel " << e.panel << ", control " << e.control << ", event " << e.event << "}";
}

std::vector<Event> events;
std::function<void(int control)> insideCommit;  // runs inside a commit callback

int onCommit(int panel, int control, int event, void *, int, int) {
    events.push_back({panel, control, event});
    if (event == EVENT_COMMIT && insideCommit) insideCommit(control);
    return 0;
}
int onQuit(int panel, int control, int event, void *, int, int) {
    events.push_back({panel, control, event});
    if (event == EVENT_COMMIT) QuitUserInterface(7);
    return 0;
}
int onPanel(int panel, int event, void *, int, int) {
    events.push_back({panel, 0, event});
    return 0;
}
const CallbackRegistration callbacks{
    {"onCommit", onCommit}, {"onQuit", onQuit}, {"onPanel", onPanel}};

int countFor(int control, int event = EVENT_COMMIT) {
    int n = 0;
    for (const Event &e : events) n += e.control == control && e.event == event;
    return n;
}

template <class W>
W *control(int id) {
    return panel_operator::find<W>(PANEL, id);
}

QString readFile(const QString &path) {
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << "cannot read the fixture " << path.toStdString();
    return QString::fromUtf8(f.readAll());
}

// Writes a panel file that a case made (replacing any file of that name).
void writeFile(const QString &path, const QByteArray &content) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(f.write(content), content.size()) << path.toStdString();
}

QString fixturePath() {
    return QCoreApplication::applicationDirPath() + QStringLiteral("/bench.uir");
}

class PanelTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(LoadPanel(0, "bench.uir", PANEL), PANEL)
            << "the first panel loaded must get handle 1";
        panel = userint_testing::panel_widget(PANEL);
        ASSERT_NE(panel, nullptr);
        DisplayPanel(PANEL);
        ASSERT_TRUE(QTest::qWaitForWindowActive(panel)) << "the panel window never became active";
        events.clear();
        insideCommit = nullptr;
    }
    void TearDown() override {
        insideCommit = nullptr;
        DiscardPanel(PANEL);
    }
    QWidget *panel = nullptr;
};

// ---- Loading ------------------------------------------------------------------------

TEST_F(PanelTest, BindsEveryControlWithNameAndTabOrder) {
    struct Expect {
        int id;
        const char *className;
        const char *accessibleName;
    };
    const Expect expected[] = {
        {AMPL, "QDoubleSpinBox", "Amplitude [V]"},
        {COUNT, "QSpinBox", "Count"},
        {DECADE, "QComboBox", "Decade"},
        {BUSY, "QLabel", "Busy"},
        {RMS, "QLineEdit", "RMS [V]"},
        {NOTE, "QLineEdit", "Note"},
        {GRAPH, "QChartView", "graph"},
        {RUN, "QPushButton", "Run"},
        {QUIT, "QPushButton", "Quit"},
    };
    for (const Expect &e : expected) {
        QWidget *w = userint_testing::control_widget(PANEL, e.id);
        ASSERT_NE(w, nullptr) << "control " << e.id << " is not bound";
        EXPECT_TRUE(w->inherits(e.className))
            << "control " << e.id << " is a " << w->metaObject()->className();
        EXPECT_EQ(w->accessibleName().toStdString(), e.accessibleName)
            << "accessible name of control " << e.id;
    }
    EXPECT_EQ(userint_testing::control_widget(PANEL, 11), nullptr);
    EXPECT_EQ(panel->windowTitle().toStdString(), "Test bench panel");

    // Tab order as the form lists it.
    control<QDoubleSpinBox>(AMPL)->setFocus(Qt::TabFocusReason);
    const int order[] = {COUNT, DECADE, NOTE, RUN, QUIT};
    for (int id : order) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), userint_testing::control_widget(PANEL, id))
            << "Tab should reach control " << id;
    }
}

TEST(LoadPanelHandles, LowestFreeHandleAndReuse) {
    const std::string path = fixturePath().toStdString();
    EXPECT_EQ(LoadPanel(0, "bench.uir", 1), 1);
    EXPECT_EQ(LoadPanel(0, path.c_str(), 1), 2) << "a name with a slash is used as given";
    EXPECT_EQ(LoadPanel(1, "bench.uir", 1), 3) << "child panel";
    EXPECT_EQ(DiscardPanel(1), 0);
    EXPECT_EQ(userint_testing::panel_widget(3), nullptr)
        << "discarding a panel discards its child panels";
    EXPECT_EQ(LoadPanel(0, "bench.uir", 1), 1) << "handle 1 is free again";
    EXPECT_EQ(DiscardPanel(1), 0);
    EXPECT_EQ(DiscardPanel(2), 0);
    EXPECT_EQ(DiscardPanel(2), UIE_BAD_PANEL);
    EXPECT_EQ(LoadPanel(9, "bench.uir", 1), UIE_BAD_PANEL) << "parent that is not loaded";
}

// Each case edits the good fixture (replace `from` by `to`) and expects a code
// and a cause in the one stderr line.
struct BadPanel {
    const char *name;
    const char *from;
    const char *to;
    int code;
    const char *cause;
};

const BadPanel badPanels[] = {
    {"truncated", "</ui>", "", UIE_BAD_FORM, "not well-formed XML"},
    {"wrong resource id", "<number>1</number>\n  </property>\n  <property name=\"panelCallback\"",
     "<number>2</number>\n  </property>\n  <property name=\"panelCallback\"", UIE_NO_SUCH_PANEL,
     "holds panel 2, not panel 1"},
    {"no resource id", "name=\"resourceId\"", "name=\"resourceNumber\"", UIE_NO_SUCH_PANEL,
     "no resourceId"},
    {"callback without id",
     "<property name=\"controlId\" stdset=\"0\"><number>3</number></property>", "",
     UIE_CONTROL_NO_ID, "widget 'count' (QSpinBox) has a callback but no controlId"},
    {"value type without id",
     "<property name=\"controlId\" stdset=\"0\"><number>7</number></property>", "",
     UIE_CONTROL_NO_ID, "widget 'busy' (QLabel) has a valueType but no controlId"},
    {"id zero", "<number>7</number>", "<number>0</number>", UIE_CONTROL_NO_ID,
     "controlId '0', which is not a whole number above 0"},
    {"id not a number", "<number>3</number></property>\n     <property name=\"callback\"",
     "<string>three</string></property>\n     <property name=\"callback\"", UIE_CONTROL_NO_ID,
     "controlId 'three'"},
    {"duplicate id", "<number>10</number>", "<number>2</number>", UIE_DUPLICATE_ID,
     "controls 'ampl' and 'note' both have identifier 2"},
    {"unknown callback", "<string>onQuit</string>", "<string>Exit</string>", UIE_UNKNOWN_CALLBACK,
     "callback 'Exit', which the program does not define"},
    {"panel callback on a control", "<string>onQuit</string>", "<string>onPanel</string>",
     UIE_UNKNOWN_CALLBACK, "defines as a panel callback"},
    {"control callback on the panel", "<string>onPanel</string>", "<string>onCommit</string>",
     UIE_UNKNOWN_CALLBACK, "defines as a control callback"},
    {"button with float", "<string>onQuit</string>",
     "<string>onQuit</string></property><property name=\"valueType\"><string>float</string>",
     UIE_KIND_MISMATCH, "control 'quit' (6, QPushButton) cannot hold a float value"},
    {"spin box with float",
     "<string>int</string></property>\n    </widget>\n   </item>\n   <item row=\"2\"",
     "<string>float</string></property>\n    </widget>\n   </item>\n   <item row=\"2\"",
     UIE_KIND_MISMATCH, "cannot hold a float value"},
    {"unknown value type", "<string>float</string>", "<string>real</string>", UIE_KIND_MISMATCH,
     "valueType 'real'"},
    {"uchar spin box range",
     "<string>int</string></property>\n    </widget>\n   </item>\n   <item row=\"2\"",
     "<string>uchar</string></property>\n    </widget>\n   </item>\n   <item row=\"2\"",
     UIE_KIND_MISMATCH, "has the range -100 to 100, which a uchar cannot hold"},
    {"ring values do not fit", "0, 1, 5", "0, 1, 500", UIE_KIND_MISMATCH,
     "item value ' 500' is not a whole number that fits schar"},
    {"ring values miscounted", "0, 1, 5", "0, 1", UIE_KIND_MISMATCH,
     "has 3 items but itemValues lists 2 values"},
    {"grid row absurd", "<item row=\"7\" column=\"1\">", "<item row=\"70000000\" column=\"1\">",
     UIE_BAD_FORM, "layout 'grid' gives an item row '70000000' (allowed: 0 to 999)"},
    {"slider as control", "class=\"QSpinBox\"", "class=\"QSlider\"", UIE_KIND_MISMATCH,
     "a QSlider cannot be a control"},
    {"unknown widget class", "class=\"QSpinBox\"", "class=\"QFancyDial\"", UIE_BAD_FORM,
     "widget class the run-time cannot build"},
    {"dialog as panel", "<widget class=\"QWidget\" name=\"BenchPanel\">",
     "<widget class=\"QDialog\" name=\"BenchPanel\">", UIE_BAD_FORM,
     "a panel must be a plain QWidget"},
    {"unknown close control", "<property name=\"panelCallback\"",
     "<property name=\"closeControl\"><string>nothing</string></property><property "
     "name=\"panelCallback\"",
     UIE_CONTROL_NO_ID, "closeControl 'nothing' names no control"},
    {"connections", "<connections/>",
     "<connections><connection><sender>run</sender><signal>clicked()</signal><receiver>BenchPanel</"
     "receiver><slot>deleteLater()</slot></connection></connections>",
     UIE_BAD_FORM, "signal/slot connections"},
    {"other custom widget", "<class>QChartView</class>\n   <extends>",
     "<class>QSecretView</class>\n   <extends>", UIE_BAD_FORM, "custom widget 'QSecretView'"},
    {"image from elsewhere", "<property name=\"windowTitle\">",
     "<property "
     "name=\"windowIcon\"><iconset><normaloff>/dev/zero</normaloff></iconset></property><property "
     "name=\"windowTitle\">",
     UIE_BAD_FORM, "refers to '/dev/zero' outside the panel's folder"},
    {"panel larger than any screen", "<width>640</width><height>420</height>",
     "<width>100000</width><height>100000</height>", UIE_BAD_FORM,
     "property 'geometry' gives width '100000' (allowed: -16384 to 16384 px)"},
    {"margins larger than any screen", "<layout class=\"QGridLayout\" name=\"grid\">",
     "<layout class=\"QGridLayout\" name=\"grid\"><property "
     "name=\"leftMargin\"><number>90000</number></property>",
     UIE_BAD_FORM, "property 'leftMargin' gives a length '90000'"},
    {"rich label showing a device", "<property name=\"text\"><string>Count</string></property>",
     "<property name=\"textFormat\"><enum>Qt::RichText</enum></property><property "
     "name=\"text\"><string>&lt;img src=\"/dev/zero\"&gt;</string></property>",
     UIE_BAD_FORM, "'countLabel' (QLabel) shows rich text (text) that refers to '/dev/zero'"},
    {"tool tip image from a parent folder",
     "<property name=\"text\"><string>Count</string></property>",
     "<property name=\"toolTip\"><string>&lt;img src='../count.png'&gt;</string></property>",
     UIE_BAD_FORM, "shows rich text (toolTip) that refers to '../count.png'"},
    {"rich label path spelled with entities",
     "<property name=\"text\"><string>Count</string></property>",
     "<property name=\"textFormat\"><enum>Qt::AutoText</enum></property><property "
     "name=\"text\"><string>&lt;img src=\"&amp;#47;dev&amp;#47;zero\"&gt;</string></property>",
     UIE_BAD_FORM, "refers to '&#47;dev&#47;zero'"},
    {"document type declaration", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>",
     "<?xml version=\"1.0\"?><!DOCTYPE ui [<!ENTITY a \"aaaaaaaaaa\">]>", UIE_BAD_FORM,
     "document type declaration"},
};

void PrintTo(const BadPanel &c, std::ostream *os) { *os << c.name; }

class BadPanelTest : public ::testing::TestWithParam<BadPanel> {};

TEST_P(BadPanelTest, RefusedWithItsCodeAndOneLine) {
    const BadPanel &c = GetParam();
    const std::string from = c.from, to = c.to, cause = c.cause;
    QString text = readFile(fixturePath());
    ASSERT_TRUE(text.contains(QString::fromStdString(from)))
        << "the fixture no longer contains the text this case edits: " << from;
    text.replace(QString::fromStdString(from), QString::fromStdString(to));
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bad.uir"));
    ASSERT_NO_FATAL_FAILURE(writeFile(path, text.toUtf8()));

    StderrCapture capture;
    const int result = LoadPanel(0, path.toLocal8Bit().constData(), 1);
    const std::string err = capture.text();
    if (result > 0) DiscardPanel(result);
    EXPECT_EQ(result, c.code) << c.name << "; stderr: " << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << "one line expected, got: " << err;
    EXPECT_NE(err.find("LoadPanel: " + path.toStdString() + ": "), std::string::npos)
        << "the line must name the file: " << err;
    EXPECT_NE(err.find(cause), std::string::npos) << "expected cause '" << cause << "' in: " << err;
}

INSTANTIATE_TEST_SUITE_P(Files, BadPanelTest, ::testing::ValuesIn(badPanels),
                         [](const auto &info) { return test_support::case_name(info.param.name); });

TEST(LoadPanelFiles, LabelTextIsPlainUnlessThePanelMarksItRich) {
    // Shown as rich text, the first label would make Qt read /dev/zero without
    // end; unmarked, it is shown as written. The second asks for rich text and
    // names an image in the panel's own folder, which is allowed, but that
    // image is a FIFO: it is not read (Qt would wait for a writer for ever).
    QString text = readFile(fixturePath());
    text.replace(QStringLiteral("<string>Count</string>"),
                 QStringLiteral("<string>&lt;img src=\"/dev/zero\"&gt; Count</string>"));
    text.replace(QStringLiteral("<string>Decade</string>"),
                 QStringLiteral("<string>&lt;b&gt;Decade&lt;/b&gt; &lt;img "
                                "src=\"decade.png\"&gt;</string></property><property "
                                "name=\"textFormat\"><enum>Qt::RichText</enum>"));
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("labels.uir"));
    ASSERT_NO_FATAL_FAILURE(writeFile(path, text.toUtf8()));
    ASSERT_EQ(mkfifo(dir.filePath(QStringLiteral("decade.png")).toLocal8Bit().constData(), 0600),
              0);

    testing::internal::CaptureStderr();
    const int panel = LoadPanel(0, path.toLocal8Bit().constData(), 1);
    DisplayPanel(panel);
    QApplication::processEvents();
    const std::string said = testing::internal::GetCapturedStderr();
    ASSERT_GT(panel, 0) << said;
    EXPECT_NE(said.find("decade.png, which is not read: not a regular file"), std::string::npos)
        << said;
    QWidget *window = userint_testing::panel_widget(panel);
    auto *plain = window->findChild<QLabel *>(QStringLiteral("countLabel"));
    auto *rich = window->findChild<QLabel *>(QStringLiteral("decadeLabel"));
    ASSERT_TRUE(plain && rich);
    EXPECT_EQ(plain->textFormat(), Qt::PlainText);
    EXPECT_EQ(plain->text(), QStringLiteral("<img src=\"/dev/zero\"> Count"));
    EXPECT_EQ(rich->textFormat(), Qt::RichText);
    EXPECT_TRUE(plain->isVisible());
    DiscardPanel(panel);
}

TEST(LoadPanelFiles, ContentThatIsNoFormIsRefused) {
    std::string deep;
    for (int i = 0; i < 100; ++i) deep += "<widget class=\"QWidget\">";
    struct Case {
        const char *what;
        std::string content;
        const char *cause;
    };
    const Case cases[] = {
        {"empty file", "", "it is empty"},
        {"web page", "<html><body>panel</body></html>",
         "not a Qt Designer form (its top element is <html>"},
        {"binary",
         std::string("\x7f"
                     "ELF\x02\x01\x01\0\0\0",
                     10),
         "not well-formed XML"},
        {"form without panel", "<ui version=\"4.0\"><class>x</class></ui>",
         "holds no panel widget"},
        {"deep nesting", "<ui version=\"4.0\">" + deep, "nest more than 64 deep"},
        {"two panels",
         "<ui><widget class=\"QWidget\" name=\"a\"/><widget class=\"QWidget\" name=\"b\"/></ui>",
         "more than one top-level widget"},
    };
    QTemporaryDir dir;
    for (const Case &c : cases) {
        const QString path = dir.filePath(QStringLiteral("noform.uir"));
        ASSERT_NO_FATAL_FAILURE(
            writeFile(path, QByteArray(c.content.data(), qsizetype(c.content.size()))));
        StderrCapture capture;
        EXPECT_EQ(LoadPanel(0, path.toLocal8Bit().constData(), 1), UIE_BAD_FORM) << c.what;
        const std::string err = capture.text();
        EXPECT_NE(err.find(c.cause), std::string::npos) << c.what << ": " << err;
    }
}

TEST(LoadPanelFiles, MissingOrUnusableFiles) {
    struct Case {
        const char *file;
        int code;
        const char *cause;
    };
    const Case cases[] = {
        {"nothing-here.uir", UIE_FILE_NOT_FOUND, "not found in the program's folder"},
        {"/nonexistent/bench.uir", UIE_FILE_NOT_FOUND, "no such file"},
        {"/tmp", UIE_FILE_NOT_FOUND, "not a regular file"},
        {"/dev/null", UIE_FILE_NOT_FOUND, "not a regular file"},
    };
    for (const Case &c : cases) {
        StderrCapture capture;
        EXPECT_EQ(LoadPanel(0, c.file, 1), c.code) << c.file;
        const std::string err = capture.text();
        EXPECT_NE(err.find(c.cause), std::string::npos) << c.file << ": " << err;
        EXPECT_NE(err.find(c.file), std::string::npos) << "the line must name the file: " << err;
    }
}

// ---- Commit events ------------------------------------------------------------------------

using panel_operator::chooseFromList;
using panel_operator::chooseWithMouse;
using panel_operator::clickSpinArrow;
using panel_operator::typeInto;
using panel_operator::wheelUp;

struct CommitCase {
    const char *name;
    int control;
    std::function<void(QWidget *)> act;
    int commits;
};

const CommitCase commitCases[] = {
    // Numeric (float, QDoubleSpinBox)
    {"numeric_return_unchanged", AMPL,
     [](QWidget *w) {
         w->setFocus(Qt::TabFocusReason);
         QTest::keyClick(w, Qt::Key_Return);
     },
     1},
    {"numeric_keypad_enter", AMPL,
     [](QWidget *w) {
         w->setFocus(Qt::TabFocusReason);
         QTest::keyClick(w, Qt::Key_Enter);
     },
     1},
    {"numeric_typing_alone", AMPL, [](QWidget *w) { typeInto(w, "7.25"); }, 0},
    {"numeric_type_return", AMPL,
     [](QWidget *w) {
         typeInto(w, "7.25");
         QTest::keyClick(w, Qt::Key_Return);
     },
     1},
    {"numeric_type_tab_away", AMPL,
     [](QWidget *w) {
         typeInto(w, "7.25");
         QTest::keyClick(w, Qt::Key_Tab);
     },
     1},
    {"numeric_type_click_away", AMPL,
     [](QWidget *w) {
         typeInto(w, "7.25");
         QTest::mouseClick(control<QSpinBox>(COUNT), Qt::LeftButton);
     },
     1},
    {"numeric_type_return_tab", AMPL,
     [](QWidget *w) {
         typeInto(w, "7");
         QTest::keyClick(w, Qt::Key_Return);
         QTest::keyClick(w, Qt::Key_Tab);
     },
     1},
    {"numeric_tab_without_edit", AMPL,
     [](QWidget *w) {
         w->setFocus(Qt::TabFocusReason);
         QTest::keyClick(w, Qt::Key_Tab);
     },
     0},
    {"numeric_up_key", AMPL,
     [](QWidget *w) {
         w->setFocus(Qt::TabFocusReason);
         QTest::keyClick(w, Qt::Key_Up);
     },
     1},
    {"numeric_two_down_keys", AMPL,
     [](QWidget *w) {
         w->setFocus(Qt::TabFocusReason);
         QTest::keyClick(w, Qt::Key_Down);
         QTest::keyClick(w, Qt::Key_Down);
     },
     2},
    {"numeric_page_up", AMPL,
     [](QWidget *w) {
         w->setFocus(Qt::TabFocusReason);
         QTest::keyClick(w, Qt::Key_PageUp);
     },
     1},
    {"numeric_up_arrow_button", AMPL,
     [](QWidget *w) { clickSpinArrow(static_cast<QAbstractSpinBox *>(w), QStyle::SC_SpinBoxUp); },
     1},
    {"numeric_down_arrow_button", AMPL,
     [](QWidget *w) { clickSpinArrow(static_cast<QAbstractSpinBox *>(w), QStyle::SC_SpinBoxDown); },
     1},
    {"numeric_wheel_with_focus", AMPL,
     [](QWidget *w) {
         w->setFocus(Qt::TabFocusReason);
         wheelUp(w);
     },
     1},
    {"numeric_up_at_maximum", AMPL,
     [](QWidget *w) {
         SetCtrlVal(PANEL, AMPL, 10.0);
         w->setFocus(Qt::TabFocusReason);
         QTest::keyClick(w, Qt::Key_Up);
     },
     0},
    // Numeric (int, QSpinBox)
    {"integer_return", COUNT,
     [](QWidget *w) {
         w->setFocus(Qt::TabFocusReason);
         QTest::keyClick(w, Qt::Key_Return);
     },
     1},
    {"integer_typing_alone", COUNT, [](QWidget *w) { typeInto(w, "42"); }, 0},
    {"integer_type_backtab", COUNT,
     [](QWidget *w) {
         typeInto(w, "42");
         QTest::keyClick(w, Qt::Key_Backtab, Qt::ShiftModifier);
     },
     1},
    {"integer_up_key", COUNT,
     [](QWidget *w) {
         w->setFocus(Qt::TabFocusReason);
         QTest::keyClick(w, Qt::Key_Up);
     },
     1},
    {"integer_wheel_with_focus", COUNT,
     [](QWidget *w) {
         w->setFocus(Qt::TabFocusReason);
         wheelUp(w);
     },
     1},
    // Ring
    {"ring_keys_other_item", DECADE,
     [](QWidget *w) { chooseFromList(static_cast<QComboBox *>(w), 1); }, 1},
    {"ring_keys_same_item", DECADE,
     [](QWidget *w) { chooseFromList(static_cast<QComboBox *>(w), 0); }, 1},
    {"ring_mouse_other_item", DECADE,
     [](QWidget *w) { chooseWithMouse(static_cast<QComboBox *>(w), 2); }, 1},
    {"ring_mouse_same_item", DECADE,
     [](QWidget *w) { chooseWithMouse(static_cast<QComboBox *>(w), 0); }, 1},
    {"ring_down_key_closed", DECADE,
     [](QWidget *w) {
         w->setFocus(Qt::TabFocusReason);
         QTest::keyClick(w, Qt::Key_Down);
     },
     1},
    {"ring_wheel_with_focus", DECADE,
     [](QWidget *w) {
         w->setFocus(Qt::TabFocusReason);
         wheelUp(w);
         QTest::keyClick(w, Qt::Key_End);
         wheelUp(w);
     },
     2},
    {"ring_open_and_escape", DECADE,
     [](QWidget *w) {
         auto *c = static_cast<QComboBox *>(w);
         c->setFocus(Qt::TabFocusReason);
         QTest::keyClick(c, Qt::Key_F4);
         QTest::keyClick(c->view(), Qt::Key_Escape);
     },
     0},
    // Command button
    {"button_click", RUN, [](QWidget *w) { QTest::mouseClick(w, Qt::LeftButton); }, 1},
    {"button_space", RUN,
     [](QWidget *w) {
         w->setFocus(Qt::TabFocusReason);
         QTest::keyClick(w, Qt::Key_Space);
     },
     1},
    {"button_return", RUN,
     [](QWidget *w) {
         w->setFocus(Qt::TabFocusReason);
         QTest::keyClick(w, Qt::Key_Return);
     },
     1},
    {"button_release_outside", RUN,
     [](QWidget *w) {
         QTest::mousePress(w, Qt::LeftButton);
         QTest::mouseRelease(w, Qt::LeftButton, Qt::NoModifier, QPoint(-20, -20));
     },
     0},
    {"button_focus_only", RUN,
     [](QWidget *w) {
         w->setFocus(Qt::TabFocusReason);
         QTest::keyClick(w, Qt::Key_Tab);
     },
     0},
    // Text input
    {"text_typing_alone", NOTE, [](QWidget *w) { typeInto(w, "hello"); }, 0},
    {"text_type_return", NOTE,
     [](QWidget *w) {
         typeInto(w, "hello");
         QTest::keyClick(w, Qt::Key_Return);
     },
     1},
    {"text_type_tab_away", NOTE,
     [](QWidget *w) {
         typeInto(w, "hello");
         QTest::keyClick(w, Qt::Key_Tab);
     },
     1},
};

void PrintTo(const CommitCase &c, std::ostream *os) { *os << c.name; }

class CommitTest : public PanelTest, public ::testing::WithParamInterface<CommitCase> {};

TEST_P(CommitTest, CommitsOncePerCommittingAction) {
    const CommitCase &c = GetParam();
    QWidget *w = userint_testing::control_widget(PANEL, c.control);
    ASSERT_NE(w, nullptr);
    events.clear();
    c.act(w);
    EXPECT_EQ(countFor(c.control), c.commits) << c.name;
    for (const Event &e : events) {
        if (e.control == c.control) {
            EXPECT_EQ(e.panel, PANEL) << "callbacks receive the panel handle";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Controls, CommitTest, ::testing::ValuesIn(commitCases),
                         [](const auto &info) { return std::string(info.param.name); });

// Every commit may change a live output: a wheel turned over a field or ring that
// does not have the keyboard focus neither changes it nor commits, nor takes the focus.
TEST_F(PanelTest, WheelOverAControlWithoutFocusChangesNothing) {
    for (int id : {AMPL, COUNT, DECADE}) {
        SCOPED_TRACE("control " + std::to_string(id));
        QWidget *note = userint_testing::control_widget(PANEL, NOTE);
        note->setFocus(Qt::TabFocusReason);
        QWidget *w = userint_testing::control_widget(PANEL, id);
        double before = 0, after = 0;
        auto value = [id](double *v) {
            if (id == AMPL) {
                float f = 0;
                GetCtrlVal(PANEL, id, &f);
                *v = f;
            } else if (id == COUNT) {
                int i = 0;
                GetCtrlVal(PANEL, id, &i);
                *v = i;
            } else {
                signed char c = 0;
                GetCtrlVal(PANEL, id, &c);
                *v = c;
            }
        };
        value(&before);
        events.clear();
        wheelUp(w);
        wheelUp(w);
        value(&after);
        EXPECT_EQ(after, before);
        EXPECT_EQ(countFor(id), 0);
        EXPECT_EQ(QApplication::focusWidget(), note) << "the wheel took the focus";
    }
}

// Alt+letter of a field's caption selects the field's whole text, also when the field
// has the focus already with its cursor in the text: what is typed next replaces it.
TEST_F(PanelTest, ShortcutSelectsTheWholeFieldSoTypingReplacesIt) {
    auto *ampl = control<QDoubleSpinBox>(AMPL);
    for (bool focusedBefore : {false, true}) {
        SCOPED_TRACE(focusedBefore ? "field focused already" : "focus elsewhere");
        SetCtrlVal(PANEL, AMPL, 1.0);
        if (focusedBefore) {
            QTest::mouseClick(ampl, Qt::LeftButton, Qt::NoModifier, QPoint(8, ampl->height() / 2));
            QTest::keyClick(ampl, Qt::Key_End);
        } else {
            control<QLineEdit>(NOTE)->setFocus(Qt::TabFocusReason);
        }
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_A, Qt::AltModifier);
        EXPECT_EQ(QApplication::focusWidget(), ampl);
        QTest::keyClicks(ampl, "2.5");
        QTest::keyClick(ampl, Qt::Key_Return);
        float v = 0;
        GetCtrlVal(PANEL, AMPL, &v);
        EXPECT_FLOAT_EQ(v, 2.5f) << "shown: " << ampl->text().toStdString();
    }
}

TEST_F(PanelTest, CommittedValuesAreTheTypedOnes) {
    typeInto(control<QDoubleSpinBox>(AMPL), "7.25");
    float ampl = 0;
    insideCommit = [&](int id) {
        if (id == AMPL) GetCtrlVal(PANEL, AMPL, &ampl);
    };
    QTest::keyClick(control<QDoubleSpinBox>(AMPL), Qt::Key_Return);
    EXPECT_FLOAT_EQ(ampl, 7.25f) << "the callback must read the value just typed";

    signed char decade = -1;
    insideCommit = [&](int id) {
        if (id == DECADE) GetCtrlVal(PANEL, DECADE, &decade);
    };
    chooseFromList(control<QComboBox>(DECADE), 2);
    EXPECT_EQ(decade, 5) << "a ring's value is the chosen item's value";
}

// A field takes no key that would carry its number past its range; what the
// operator typed is there for the commit's callback, and only for it.
TEST_F(PanelTest, TypedValueBeyondTheRangeIsToldToTheCommit) {
    struct {
        const char *keys;
        bool retype;  // Ctrl+A and "3" after the keys: a new number replaces them
        const char *refused;
        float kept;
    } cases[] = {
        {"50", false, "50", 5.0f},  {"50.5", false, "50.5", 5.5f}, {"99999", false, "99999", 9.0f},
        {"7.25", false, "", 7.25f}, {"50", true, "", 3.0f},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.keys);
        auto *field = control<QDoubleSpinBox>(AMPL);
        typeInto(field, QString::fromLatin1(c.keys));
        if (c.retype) {
            QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
            QTest::keyClicks(field, QStringLiteral("3"));
        }
        int found = -1;
        char typed[32] = "?";
        double low = -1, high = -1;
        float value = 0;
        insideCommit = [&](int id) {
            if (id != AMPL) return;
            found = GetCtrlRefusedEntry(PANEL, AMPL, typed, sizeof typed, &low, &high);
            GetCtrlVal(PANEL, AMPL, &value);
        };
        QTest::keyClick(field, Qt::Key_Return);
        insideCommit = nullptr;
        EXPECT_EQ(found, c.refused[0] != '\0' ? 1 : 0);
        EXPECT_STREQ(typed, c.refused);
        EXPECT_EQ(low, 0.0);
        EXPECT_EQ(high, 10.0);
        EXPECT_FLOAT_EQ(value, c.kept);
        EXPECT_EQ(GetCtrlRefusedEntry(PANEL, AMPL, typed, sizeof typed, nullptr, nullptr), 0)
            << "still told after the commit";
    }
    EXPECT_LT(GetCtrlRefusedEntry(PANEL, RUN, nullptr, 0, nullptr, nullptr), 0)
        << "a button refuses no typed value";
}

TEST_F(PanelTest, CloseBoxWithoutCloseControlOnlyTellsThePanel) {
    panel->windowHandle()->close();
    QApplication::processEvents();
    EXPECT_EQ(events, (std::vector<Event>{{PANEL, 0, EVENT_CLOSE}}));
    EXPECT_TRUE(panel->isVisible()) << "a close request alone must not close the panel";
}

TEST(CloseControl, CloseBoxCommitsTheNamedControl) {
    QString text = readFile(fixturePath());
    text.replace(
        QStringLiteral("<property name=\"panelCallback\""),
        QStringLiteral(
            "<property name=\"closeControl\" "
            "stdset=\"0\"><string>quit</string></property><property name=\"panelCallback\""));
    const int handle = userint_testing::load_panel_from_memory(text.toStdString(), "close.uir", 1);
    ASSERT_GT(handle, 0);
    DisplayPanel(handle);
    QWidget *w = userint_testing::panel_widget(handle);
    ASSERT_TRUE(QTest::qWaitForWindowActive(w));
    events.clear();
    userint_testing::run_in_event_loop([w] { w->windowHandle()->close(); });
    EXPECT_EQ(RunUserInterface(), 7) << "the close control's callback quits with 7";
    EXPECT_EQ(events, (std::vector<Event>{{handle, 0, EVENT_CLOSE}, {handle, QUIT, EVENT_COMMIT}}));
    EXPECT_TRUE(w->isVisible());
    DiscardPanel(handle);
}

TEST(CheckBox, ClickAndSpaceCommitAndTheValueIsZeroOrOne) {
    QString text = readFile(fixturePath());
    text.replace(
        QStringLiteral("  </layout>\n </widget>\n <customwidgets>"),
        QStringLiteral(
            "   <item row=\"8\" column=\"0\">\n"
            "    <widget class=\"QCheckBox\" name=\"repeat\">\n"
            "     <property name=\"text\"><string>Re&amp;peat</string></property>\n"
            "     <property name=\"controlId\" stdset=\"0\"><number>12</number></property>\n"
            "     <property name=\"callback\" stdset=\"0\"><string>onCommit</string></property>\n"
            "    </widget>\n"
            "   </item>\n"
            "  </layout>\n </widget>\n <customwidgets>"));
    ASSERT_TRUE(text.contains(QStringLiteral("QCheckBox")));
    const int handle = userint_testing::load_panel_from_memory(text.toStdString(), "box.uir", 1);
    ASSERT_GT(handle, 0);
    DisplayPanel(handle);
    ASSERT_TRUE(QTest::qWaitForWindowActive(userint_testing::panel_widget(handle)));
    auto *box = qobject_cast<QCheckBox *>(userint_testing::control_widget(handle, 12));
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->accessibleName().toStdString(), "Repeat");
    events.clear();
    int value = -1;
    GetCtrlVal(handle, 12, &value);
    EXPECT_EQ(value, 0) << "off as the panel file leaves it";
    QTest::mouseClick(box, Qt::LeftButton);
    GetCtrlVal(handle, 12, &value);
    EXPECT_EQ(value, 1);
    box->setFocus(Qt::TabFocusReason);
    QTest::keyClick(box, Qt::Key_Space);
    GetCtrlVal(handle, 12, &value);
    EXPECT_EQ(value, 0);
    SetCtrlVal(handle, 12, 5);
    EXPECT_TRUE(box->isChecked()) << "any value but 0 checks it";
    EXPECT_EQ(events, (std::vector<Event>{{handle, 12, EVENT_COMMIT}, {handle, 12, EVENT_COMMIT}}))
        << "the operator's click and Space commit; SetCtrlVal does not";
    float wrong = 0;
    EXPECT_EQ(GetCtrlVal(handle, 12, &wrong), UIE_TYPE_MISMATCH);
    DiscardPanel(handle);
}

TEST_F(PanelTest, FocusEventsFollowWindowActivation) {
    QWidget other;
    other.setWindowTitle(QStringLiteral("another window"));
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    panel->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(panel));
    EXPECT_EQ(events,
              (std::vector<Event>{{PANEL, 0, EVENT_LOST_FOCUS}, {PANEL, 0, EVENT_GOT_FOCUS}}));
}

TEST_F(PanelTest, CallbackMayDiscardItsOwnPanel) {
    insideCommit = [](int id) {
        if (id == RUN) {
            EXPECT_EQ(DiscardPanel(PANEL), 0);
        }
    };
    QPointer<QWidget> window = panel;
    QTest::mouseClick(control<QPushButton>(RUN), Qt::LeftButton);
    EXPECT_EQ(userint_testing::panel_widget(PANEL), nullptr);
    EXPECT_EQ(SetCtrlVal(PANEL, BUSY, 1), UIE_BAD_PANEL) << "the handle is gone at once";
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(window.isNull()) << "the window goes once the callback has returned";
    EXPECT_EQ(LoadPanel(0, "bench.uir", 1), PANEL) << "and its handle is free again";
}

TEST_F(PanelTest, QuitEndsTheLoopAfterTheCallback) {
    userint_testing::run_in_event_loop(
        [] { QTest::mouseClick(control<QPushButton>(QUIT), Qt::LeftButton); });
    EXPECT_EQ(RunUserInterface(), 7);
    EXPECT_EQ(countFor(QUIT), 1);
}

// ---- Values ------------------------------------------------------------------------------

TEST_F(PanelTest, TypedAccessReadsOnlyIntoTheDeclaredType) {
    float f = 0;
    EXPECT_EQ(GetCtrlVal(PANEL, AMPL, &f), 0);
    EXPECT_FLOAT_EQ(f, 4.5f);
    int i = 0;
    EXPECT_EQ(GetCtrlVal(PANEL, COUNT, &i), 0);
    EXPECT_EQ(i, 5);

    // A refused read of a narrower or wider variable writes nothing, not even
    // next to it.
    struct Guarded {
        unsigned char value = 0xAB;
        unsigned char after[15];
    } g;
    std::fill(std::begin(g.after), std::end(g.after), 0xCD);
    EXPECT_EQ(GetCtrlVal(PANEL, AMPL, &g.value), UIE_TYPE_MISMATCH)
        << "float control read into unsigned char";
    EXPECT_EQ(g.value, 0xAB);
    EXPECT_TRUE(std::all_of(std::begin(g.after), std::end(g.after),
                            [](unsigned char b) { return b == 0xCD; }));
    double d = -1;
    EXPECT_EQ(GetCtrlVal(PANEL, AMPL, &d), UIE_TYPE_MISMATCH) << "float control read into double";
    EXPECT_EQ(d, -1);
    signed char sc = 9;
    EXPECT_EQ(GetCtrlVal(PANEL, COUNT, &sc), UIE_TYPE_MISMATCH)
        << "int control read into signed char";
    EXPECT_EQ(sc, 9);
    unsigned char uc = 9;
    EXPECT_EQ(GetCtrlVal(PANEL, DECADE, &uc), UIE_TYPE_MISMATCH)
        << "schar ring read into unsigned char";
    char text[64] = "unchanged";
    EXPECT_EQ(GetCtrlVal(PANEL, AMPL, text), UIE_TYPE_MISMATCH) << "float control read as text";
    EXPECT_STREQ(text, "unchanged");
    EXPECT_EQ(GetCtrlVal(PANEL, RUN, &i), UIE_TYPE_MISMATCH) << "a button holds no value";
    EXPECT_EQ(GetCtrlVal(PANEL, 99, &i), UIE_BAD_CONTROL);
    EXPECT_EQ(GetCtrlVal(5, AMPL, &f), UIE_BAD_PANEL);
}

TEST_F(PanelTest, SetCtrlValCoercesAndNeverCallsBack) {
    struct Case {
        const char *what;
        std::function<int()> set;
        int result;
        std::function<double()> read;
        double expected;
    };
    auto readAmpl = [] {
        float v = -1;
        GetCtrlVal(PANEL, AMPL, &v);
        return double(v);
    };
    auto readCount = [] {
        int v = -1;
        GetCtrlVal(PANEL, COUNT, &v);
        return double(v);
    };
    auto readDecade = [] {
        signed char v = -1;
        GetCtrlVal(PANEL, DECADE, &v);
        return double(v);
    };
    auto readBusy = [] {
        int v = -1;
        GetCtrlVal(PANEL, BUSY, &v);
        return double(v);
    };
    const Case cases[] = {
        {"float in range", [] { return SetCtrlVal(PANEL, AMPL, 2.5f); }, 0, readAmpl, 2.5},
        {"above the maximum", [] { return SetCtrlVal(PANEL, AMPL, 20.0f); }, 0, readAmpl, 10.0},
        {"below the minimum", [] { return SetCtrlVal(PANEL, AMPL, -3.0); }, 0, readAmpl, 0.0},
        {"int literal to a float control", [] { return SetCtrlVal(PANEL, AMPL, 1); }, 0, readAmpl,
         1.0},
        {"double to a float control", [] { return SetCtrlVal(PANEL, AMPL, 2000.0 / 666); }, 0,
         readAmpl, 3.003},
        {"NaN refused", [] { return SetCtrlVal(PANEL, AMPL, std::nan("")); }, UIE_BAD_ARGUMENT,
         readAmpl, 3.003},
        {"double to int truncates", [] { return SetCtrlVal(PANEL, COUNT, -7.9); }, 0, readCount,
         -7},
        {"int above range", [] { return SetCtrlVal(PANEL, COUNT, 1000); }, 0, readCount, 100},
        {"ring by item value", [] { return SetCtrlVal(PANEL, DECADE, 5); }, 0, readDecade, 5},
        {"ring value not an item", [] { return SetCtrlVal(PANEL, DECADE, 3); }, UIE_BAD_ARGUMENT,
         readDecade, 5},
        {"lamp on", [] { return SetCtrlVal(PANEL, BUSY, 1); }, 0, readBusy, 1},
        {"lamp off", [] { return SetCtrlVal(PANEL, BUSY, 0); }, 0, readBusy, 0},
        {"text to a numeric control", [] { return SetCtrlVal(PANEL, AMPL, "5"); },
         UIE_TYPE_MISMATCH, readAmpl, 3.003},
        {"number to a text control", [] { return SetCtrlVal(PANEL, RMS, 5); }, UIE_TYPE_MISMATCH,
         readAmpl, 3.003},
        {"number to a button", [] { return SetCtrlVal(PANEL, RUN, 1); }, UIE_TYPE_MISMATCH,
         readAmpl, 3.003},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(c.set(), c.result) << c.what;
        EXPECT_NEAR(c.read(), c.expected, 1e-6) << c.what;
    }
    EXPECT_EQ(control<QComboBox>(DECADE)->currentIndex(), 2);
    EXPECT_EQ(control<QDoubleSpinBox>(AMPL)->text().toStdString(), "3.003")
        << "numbers show with a decimal point";

    EXPECT_EQ(SetCtrlVal(PANEL, RMS, "0.707107 <b>V</b>"), 0);
    char text[64] = {};
    EXPECT_EQ(GetCtrlVal(PANEL, RMS, text), 0);
    EXPECT_STREQ(text, "0.707107 <b>V</b>");
    EXPECT_TRUE(events.empty()) << "SetCtrlVal must not call callbacks, got " << events.size()
                                << " events";
}

TEST_F(PanelTest, EditPendingWhenSetCtrlValArrivesIsForgotten) {
    typeInto(control<QDoubleSpinBox>(AMPL), "9");
    SetCtrlVal(PANEL, AMPL, 1.0);
    QTest::keyClick(control<QDoubleSpinBox>(AMPL), Qt::Key_Tab);
    EXPECT_EQ(countFor(AMPL), 0)
        << "the program's value replaced the edit; leaving is not a commit";
    float v = 0;
    GetCtrlVal(PANEL, AMPL, &v);
    EXPECT_FLOAT_EQ(v, 1.0f);
}

TEST(NumericLocale, NumbersKeepTheDecimalPointInACommaLocale) {
    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::Czech, QLocale::Czechia));
    const int handle = LoadPanel(0, "bench.uir", 1);
    ASSERT_GT(handle, 0);
    auto *ampl = qobject_cast<QDoubleSpinBox *>(userint_testing::control_widget(handle, AMPL));
    EXPECT_EQ(ampl->text().toStdString(), "4.500");
    SetCtrlVal(handle, AMPL, 2.25);
    EXPECT_EQ(ampl->text().toStdString(), "2.250");
    DisplayPanel(handle);
    typeInto(ampl, "3.75");
    QTest::keyClick(ampl, Qt::Key_Return);
    float v = 0;
    GetCtrlVal(handle, AMPL, &v);
    EXPECT_FLOAT_EQ(v, 3.75f) << "the operator types numbers with a decimal point";
    DiscardPanel(handle);
    QLocale::setDefault(before);
}

// A Czech operator types a decimal comma; the field takes it as the point and shows
// (and hands the program) the number with a point.
TEST(NumericLocale, DecimalCommaIsTakenAsThePoint) {
    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::Czech, QLocale::Czechia));
    const int handle = LoadPanel(0, "bench.uir", 1);
    ASSERT_GT(handle, 0);
    DisplayPanel(handle);
    auto *ampl = qobject_cast<QDoubleSpinBox *>(userint_testing::control_widget(handle, AMPL));
    for (const char *typed : {"2,5", "2.5"}) {
        SCOPED_TRACE(typed);
        SetCtrlVal(handle, AMPL, 1.0);
        typeInto(ampl, typed);
        EXPECT_EQ(ampl->text().toStdString(), "2.5") << "what is shown keeps a point";
        QTest::keyClick(ampl, Qt::Key_Return);
        float v = 0;
        GetCtrlVal(handle, AMPL, &v);
        EXPECT_FLOAT_EQ(v, 2.5f);
        EXPECT_EQ(ampl->text().toStdString(), "2.500");
    }
    DiscardPanel(handle);
    QLocale::setDefault(before);
}

// ---- Immediate effects --------------------------------------------------------------------

// What the window system shows of the panel now (the backing store), without
// letting the event loop run.
QImage onScreen(QWidget *panel) { return panel->screen()->grabWindow(panel->winId()).toImage(); }

int pixelsOfColour(const QImage &image, const QRect &area, QRgb colour) {
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            n += (image.pixel(x, y) & 0xFFFFFF) == (colour & 0xFFFFFF);
    return n;
}

TEST_F(PanelTest, ChangesAreOnScreenBeforeTheCallbackReturns) {
    QTest::qWait(50);  // first paint of the panel
    QWidget *lamp = userint_testing::control_widget(PANEL, BUSY);
    QWidget *graph = userint_testing::control_widget(PANEL, GRAPH);
    const QRect lampArea(lamp->mapTo(panel, QPoint(4, 4)), lamp->size() - QSize(8, 8));
    const QRect graphArea(graph->mapTo(panel, QPoint(0, 0)), graph->size());
    ASSERT_EQ(pixelsOfColour(onScreen(panel), lampArea, 0x00ff00), 0) << "the lamp starts dark";

    int litPixels = -1, redPixels = -1, redAfterDelete = -1;
    insideCommit = [&](int id) {
        if (id != RUN) return;
        // As a measurement does: lamp on, plot, and keep the panel busy.
        SetCtrlVal(1, BUSY, 1);
        litPixels = pixelsOfColour(onScreen(panel), lampArea, 0x00ff00);
        short wave[200];
        for (int i = 0; i < 200; ++i) wave[i] = static_cast<short>(i * 100 - 10000);
        PlotWaveform(1, GRAPH, wave, 200, WAVE_INT16, 1.0, 0.0, 0.0, 1.0, 0, 1, 0, 1, 0xFF0000);
        redPixels = pixelsOfColour(onScreen(panel), graphArea, 0xFF0000);
        DeleteGraphPlot(1, GRAPH, -1, 1);
        redAfterDelete = pixelsOfColour(onScreen(panel), graphArea, 0xFF0000);
    };
    QTest::mouseClick(control<QPushButton>(RUN), Qt::LeftButton);
    EXPECT_EQ(litPixels, lampArea.width() * lampArea.height())
        << "the lamp must be lit on screen while the callback still runs";
    EXPECT_GT(redPixels, 100) << "the plot must be on screen while the callback still runs";
    EXPECT_EQ(redAfterDelete, 0) << "deleting all plots must clear the graph at once";
}

// ---- Graphs -------------------------------------------------------------------------------

TEST_F(PanelTest, PlotWaveformScalesAndDeletes) {
    const short codes[] = {-2048, 0, 2047};
    const int h1 = PlotWaveform(PANEL, GRAPH, codes, 3, WAVE_INT16, 0.00048828, 0.0, 0.0, 0.1, 0, 1,
                                0, 1, 0xFF0000);
    ASSERT_GT(h1, 0);
    const float volts[] = {1.0f, -2.0f, 0.5f, NAN};
    const int h2 =
        PlotWaveform(PANEL, GRAPH, volts, 4, WAVE_FLOAT, 0.5, 1.0, 10.0, 2.0, 0, 1, 0, 1, 0x00FF00);
    ASSERT_GT(h2, h1);

    auto plots = userint_testing::graph_plots(PANEL, GRAPH);
    ASSERT_EQ(plots.size(), 2u);
    EXPECT_EQ(plots[0].x, (std::vector<double>{0.0, 0.1, 0.2}));
    ASSERT_EQ(plots[0].y.size(), 3u);
    EXPECT_DOUBLE_EQ(plots[0].y[0], -2048 * 0.00048828);
    EXPECT_DOUBLE_EQ(plots[0].y[2], 2047 * 0.00048828);
    EXPECT_EQ(plots[0].colour, 0xFF0000u);
    EXPECT_EQ(plots[1].x, (std::vector<double>{10.0, 12.0, 14.0})) << "the NaN point is left out";
    EXPECT_EQ(plots[1].y, (std::vector<double>{1.5, 0.0, 1.25}));

    auto axis = userint_testing::graph_y_axis(PANEL, GRAPH);
    EXPECT_FALSE(axis.fixed);
    EXPECT_DOUBLE_EQ(axis.min, -2048 * 0.00048828) << "autoscale spans every plot";
    EXPECT_DOUBLE_EQ(axis.max, 1.5);

    EXPECT_EQ(SetAxisScalingMode(PANEL, GRAPH, 1, 0, -5.0, 5.0), 0);
    axis = userint_testing::graph_y_axis(PANEL, GRAPH);
    EXPECT_TRUE(axis.fixed);
    EXPECT_EQ(axis.min, -5.0);
    EXPECT_EQ(axis.max, 5.0);

    EXPECT_EQ(DeleteGraphPlot(PANEL, GRAPH, h1, 1), 0);
    EXPECT_EQ(userint_testing::graph_plots(PANEL, GRAPH).size(), 1u);
    EXPECT_EQ(userint_testing::graph_y_axis(PANEL, GRAPH).max, 5.0) << "a fixed axis stays fixed";
    EXPECT_EQ(DeleteGraphPlot(PANEL, GRAPH, h1, 1), UIE_BAD_ARGUMENT) << "already deleted";
    EXPECT_EQ(SetAxisScalingMode(PANEL, GRAPH, 1, 1, 0, 0), 0);
    axis = userint_testing::graph_y_axis(PANEL, GRAPH);
    EXPECT_FALSE(axis.fixed);
    EXPECT_DOUBLE_EQ(axis.min, 0.0);
    EXPECT_DOUBLE_EQ(axis.max, 1.5);
    EXPECT_EQ(DeleteGraphPlot(PANEL, GRAPH, -1, 1), 0);
    EXPECT_TRUE(userint_testing::graph_plots(PANEL, GRAPH).empty());
}

// Plots on one line, so that only the topmost shows: a plot made after others
// were deleted is still drawn above the plots shown, and deleted plots leave
// nothing on screen.
TEST_F(PanelTest, NewPlotIsDrawnAboveThePlotsStillShown) {
    QTest::qWait(50);  // first paint of the panel
    QWidget *graph = userint_testing::control_widget(PANEL, GRAPH);
    const QRect graphArea(graph->mapTo(panel, QPoint(0, 0)), graph->size());
    ASSERT_EQ(SetAxisScalingMode(PANEL, GRAPH, 1, 0, -1.0, 1.0), 0);
    const float line[2] = {0.5f, 0.5f};
    auto plot = [&](int colour) {
        return PlotWaveform(PANEL, GRAPH, line, 2, WAVE_FLOAT, 1, 0, 0, 1, 0, 1, 0, 1, colour);
    };
    const int red = plot(0xFF0000);
    plot(0x00FF00);
    ASSERT_EQ(DeleteGraphPlot(PANEL, GRAPH, red, 1), 0);
    plot(0x0000FF);
    QImage shown = onScreen(panel);
    EXPECT_GT(pixelsOfColour(shown, graphArea, 0x0000FF), 50) << "the newest plot is on top";
    EXPECT_EQ(pixelsOfColour(shown, graphArea, 0x00FF00), 0) << "the older plot lies beneath it";
    EXPECT_EQ(pixelsOfColour(shown, graphArea, 0xFF0000), 0) << "the deleted plot is gone";

    ASSERT_EQ(DeleteGraphPlot(PANEL, GRAPH, -1, 1), 0);
    plot(0xFF0000);
    shown = onScreen(panel);
    EXPECT_GT(pixelsOfColour(shown, graphArea, 0xFF0000), 50)
        << "a plot after deleting all is shown";
    EXPECT_EQ(
        pixelsOfColour(shown, graphArea, 0x0000FF) + pixelsOfColour(shown, graphArea, 0x00FF00), 0)
        << "deleted plots leave nothing on screen";
    EXPECT_EQ(userint_testing::graph_plots(PANEL, GRAPH).size(), 1u);
}

// Each named style draws what its name says, on the chart the operator sees.
TEST_F(PanelTest, PlotStylesDrawWhatTheirNamesSay) {
    struct Case {
        const char *what;
        int plotStyle, pointStyle, lineStyle;
        bool markersOnly, markedLine;
        int penWidth;
        Qt::PenStyle pen;
        QScatterSeries::MarkerShape marker;  // markers only
    };
    const auto circle = QScatterSeries::MarkerShapeCircle;
    const auto square = QScatterSeries::MarkerShapeRectangle;
    const Case cases[] = {
        {"thin line", PLOT_THIN_LINE, MARKER_SQUARE, LINE_SOLID, false, false, 1, Qt::SolidLine,
         circle},
        {"thick dashed line", PLOT_THICK_LINE, MARKER_CIRCLE, LINE_DASHED, false, false, 3,
         Qt::DashLine, circle},
        {"dotted line with markers", PLOT_LINE_AND_MARKERS, MARKER_SQUARE, LINE_DOTTED, false, true,
         1, Qt::DotLine, circle},
        {"dash-dot line", PLOT_THIN_LINE, MARKER_CIRCLE, LINE_DASH_DOT, false, false, 1,
         Qt::DashDotLine, circle},
        {"dash-dot-dot line", PLOT_THIN_LINE, MARKER_CIRCLE, LINE_DASH_DOT_DOT, false, false, 1,
         Qt::DashDotDotLine, circle},
        {"square markers", PLOT_MARKERS, MARKER_SQUARE, LINE_SOLID, true, false, 0, Qt::SolidLine,
         square},
        {"round markers", PLOT_MARKERS, MARKER_CIRCLE, LINE_SOLID, true, false, 0, Qt::SolidLine,
         circle},
    };
    auto *view = static_cast<QChartView *>(userint_testing::control_widget(PANEL, GRAPH));
    const float points[3] = {0.1f, 0.5f, 0.2f};
    for (const Case &c : cases) {
        ASSERT_EQ(DeleteGraphPlot(PANEL, GRAPH, -1, 1), 0);
        ASSERT_GT(PlotWaveform(PANEL, GRAPH, points, 3, WAVE_FLOAT, 1, 0, 0, 1, c.plotStyle,
                               c.pointStyle, c.lineStyle, 1, 0x0000FF),
                  0)
            << c.what;
        QXYSeries *drawn = nullptr;  // deleted line plots stay on the chart, emptied
        for (QAbstractSeries *series : view->chart()->series())
            if (auto *xy = qobject_cast<QXYSeries *>(series); xy && xy->count() == 3) drawn = xy;
        ASSERT_NE(drawn, nullptr) << c.what;
        auto *scatter = qobject_cast<QScatterSeries *>(drawn);
        EXPECT_EQ(scatter != nullptr, c.markersOnly) << c.what;
        if (scatter) {
            EXPECT_EQ(scatter->markerShape(), c.marker) << c.what;
            continue;
        }
        EXPECT_EQ(drawn->pointsVisible(), c.markedLine) << c.what;
        EXPECT_EQ(drawn->pen().width(), c.penWidth) << c.what;
        EXPECT_EQ(drawn->pen().style(), c.pen) << c.what;
    }
    ASSERT_EQ(SetAxisScalingMode(PANEL, GRAPH, AXIS_X, SCALE_FIXED, -3.0, 7.0), 0);
    ASSERT_EQ(SetAxisScalingMode(PANEL, GRAPH, AXIS_LEFT_Y, SCALE_AUTO, 0, 0), 0);
    const auto *x = static_cast<QValueAxis *>(view->chart()->axes(Qt::Horizontal).at(0));
    EXPECT_EQ(x->min(), -3.0);
    EXPECT_EQ(x->max(), 7.0);
    EXPECT_FALSE(userint_testing::graph_y_axis(PANEL, GRAPH).fixed);
}

TEST_F(PanelTest, PlotWaveformRefusesBadArguments) {
    const short data[4] = {};
    struct Case {
        const char *what;
        int control, count, type, plotStyle, lineStyle, colour;
        const void *array;
        int expected;
    };
    const Case cases[] = {
        {"not a graph", AMPL, 4, WAVE_INT16, 0, 0, 0xFF0000, data, UIE_BAD_CONTROL},
        {"no such control", 42, 4, WAVE_INT16, 0, 0, 0xFF0000, data, UIE_BAD_CONTROL},
        {"null array", GRAPH, 4, WAVE_INT16, 0, 0, 0xFF0000, nullptr, UIE_BAD_ARGUMENT},
        {"zero points", GRAPH, 0, WAVE_INT16, 0, 0, 0xFF0000, data, UIE_BAD_ARGUMENT},
        {"unknown type code", GRAPH, 4, 8, 0, 0, 0xFF0000, data, UIE_BAD_ARGUMENT},
        {"unknown plot style", GRAPH, 4, WAVE_INT16, 9, 0, 0xFF0000, data, UIE_BAD_ARGUMENT},
        {"unknown line style", GRAPH, 4, WAVE_INT16, 0, 9, 0xFF0000, data, UIE_BAD_ARGUMENT},
        {"colour out of range", GRAPH, 4, WAVE_INT16, 0, 0, 0x1000000, data, UIE_BAD_ARGUMENT},
    };
    for (const Case &c : cases)
        EXPECT_EQ(PlotWaveform(PANEL, c.control, c.array, c.count, c.type, 1, 0, 0, 1, c.plotStyle,
                               1, c.lineStyle, 1, c.colour),
                  c.expected)
            << c.what;
    EXPECT_TRUE(userint_testing::graph_plots(PANEL, GRAPH).empty())
        << "refused plots leave nothing behind";
    EXPECT_EQ(SetAxisScalingMode(PANEL, GRAPH, 1, 0, 5.0, -5.0), UIE_BAD_ARGUMENT)
        << "min above max";
    EXPECT_EQ(SetAxisScalingMode(PANEL, GRAPH, 2, 1, 0, 0), UIE_BAD_ARGUMENT) << "unknown axis";
    EXPECT_EQ(DeleteGraphPlot(PANEL, RUN, -1, 1), UIE_BAD_CONTROL);
}

// ---- Popups -------------------------------------------------------------------------------

TEST_F(PanelTest, PopupIsModalAndAnsweredWithOk) {
    userint_testing::clear_popups();
    bool sawModal = false;
    QTimer::singleShot(0, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        ASSERT_NE(box, nullptr) << "MessagePopup must show a modal message box";
        sawModal = true;
        EXPECT_EQ(box->windowTitle().toStdString(), "Identification");
        EXPECT_EQ(box->text().toStdString(), "<b>BENCH</b>,AWG,0,1.0");
        EXPECT_EQ(box->textFormat(), Qt::PlainText)
            << "instrument texts are never interpreted as markup";
        QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
    });
    EXPECT_EQ(MessagePopup("Identification", "<b>BENCH</b>,AWG,0,1.0"), 0);
    EXPECT_TRUE(sawModal);
    ASSERT_EQ(userint_testing::popups().size(), 1u);
    EXPECT_EQ(userint_testing::popups()[0].message, "<b>BENCH</b>,AWG,0,1.0");

    std::vector<std::string> answered;
    userint_testing::answer_popups_with(
        [&](const userint_testing::Popup &p) { answered.push_back(p.title); });
    EXPECT_EQ(MessagePopup("Second", "text"), 0);
    userint_testing::answer_popups_with(nullptr);
    EXPECT_EQ(answered, (std::vector<std::string>{"Second"}));
    EXPECT_EQ(userint_testing::popups().size(), 2u);
}

TEST_F(PanelTest, FocusLostToAPopupWaitsForTheCallbackToReturn) {
    std::vector<Event> seenInside;
    insideCommit = [&](int id) {
        if (id != RUN) return;
        QTimer::singleShot(0, [] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget()))
                QTest::keyClick(box, Qt::Key_Return);
        });
        MessagePopup("Busy", "measuring");
        seenInside = events;
    };
    QTest::mouseClick(control<QPushButton>(RUN), Qt::LeftButton);
    EXPECT_EQ(seenInside, (std::vector<Event>{{PANEL, RUN, EVENT_COMMIT}}))
        << "no callback may run inside another";
    panel->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(panel));
    EXPECT_GE(countFor(0, EVENT_LOST_FOCUS), 1) << "the focus events arrive after the callback";
}

}  // namespace
