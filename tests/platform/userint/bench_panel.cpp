// SPDX-License-Identifier: GPL-3.0-or-later
// The bench panel's recording callbacks, registered once for every test of the
// GUI run-time, and the fixture that loads the panel for each test.
#include "bench_panel.h"

#include <QCoreApplication>
#include <QFile>
#include <QScreen>
#include <QTest>

#include "userint_testing.h"

namespace bench_panel {

std::vector<Event> events;
std::function<void(int control)> inside_commit;

std::ostream &operator<<(std::ostream &os, const Event &e) {
    return os << "{panel " << e.panel << ", control " << e.control << ", event " << e.event << "}";
}

namespace {

int onCommit(int panel, int control, int event, void *, int, int) {
    events.push_back({panel, control, event});
    if (event == EVENT_COMMIT && inside_commit) inside_commit(control);
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

}  // namespace

int count_for(int control, int event) {
    int n = 0;
    for (const Event &e : events) n += e.control == control && e.event == event;
    return n;
}

QString read_file(const QString &path) {
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << "cannot read the fixture " << path.toStdString();
    return QString::fromUtf8(f.readAll());
}

void write_file(const QString &path, const QByteArray &content) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(f.write(content), content.size()) << path.toStdString();
}

QString fixture_path() {
    return QCoreApplication::applicationDirPath() + QStringLiteral("/bench.uir");
}

QImage on_screen(QWidget *panel) { return panel->screen()->grabWindow(panel->winId()).toImage(); }

int pixels_of_colour(const QImage &image, const QRect &area, QRgb colour) {
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            n += (image.pixel(x, y) & 0xFFFFFF) == (colour & 0xFFFFFF);
    return n;
}

void PanelTest::SetUp() {
    ASSERT_EQ(LoadPanel(0, "bench.uir", PANEL), PANEL)
        << "the first panel loaded must get handle 1";
    panel = userint_testing::panel_widget(PANEL);
    ASSERT_NE(panel, nullptr);
    DisplayPanel(PANEL);
    ASSERT_TRUE(QTest::qWaitForWindowActive(panel)) << "the panel window never became active";
    events.clear();
    inside_commit = nullptr;
}

void PanelTest::TearDown() {
    inside_commit = nullptr;
    DiscardPanel(PANEL);
}

}  // namespace bench_panel
