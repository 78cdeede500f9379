// SPDX-License-Identifier: GPL-3.0-or-later
// Tests of the GUI run-time's panel loading: every control of bench.uir bound
// with its identifier, name and tab order, panel handles, and the files it
// refuses (each with its code and one line saying why). Runs offscreen.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QChartView>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <string>

#include "bench_panel.h"
#include "capture_stderr.h"
#include "case_name.h"
#include "userint.h"
#include "userint_testing.h"

namespace {

using namespace bench_panel;

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
    const std::string path = fixture_path().toStdString();
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
    QString text = read_file(fixture_path());
    ASSERT_TRUE(text.contains(QString::fromStdString(from)))
        << "the fixture no longer contains the text this case edits: " << from;
    text.replace(QString::fromStdString(from), QString::fromStdString(to));
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bad.uir"));
    ASSERT_NO_FATAL_FAILURE(write_file(path, text.toUtf8()));

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
    QString text = read_file(fixture_path());
    text.replace(QStringLiteral("<string>Count</string>"),
                 QStringLiteral("<string>&lt;img src=\"/dev/zero\"&gt; Count</string>"));
    text.replace(QStringLiteral("<string>Decade</string>"),
                 QStringLiteral("<string>&lt;b&gt;Decade&lt;/b&gt; &lt;img "
                                "src=\"decade.png\"&gt;</string></property><property "
                                "name=\"textFormat\"><enum>Qt::RichText</enum>"));
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("labels.uir"));
    ASSERT_NO_FATAL_FAILURE(write_file(path, text.toUtf8()));
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
            write_file(path, QByteArray(c.content.data(), qsizetype(c.content.size()))));
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

}  // namespace
