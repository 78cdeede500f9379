// SPDX-License-Identifier: GPL-3.0-or-later
// Operating a panel as an operator does (see panel_operator.h).
#include "panel_operator.h"

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QStyle>
#include <QStyleOptionSpinBox>
#include <QTest>
#include <QWheelEvent>
#include <QWidget>
#include <cstdlib>

#include "userint.h"

namespace panel_operator {

void activate(int panel) {
    QWidget *window = userint_testing::panel_widget(panel);
    if (window == nullptr) return;
    window->activateWindow();
    EXPECT_TRUE(QTest::qWaitForWindowActive(window)) << "panel " << panel << " never became active";
}

int runProgram(int (*entry)(int, char **), const char *name, std::function<void()> script) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    userint_testing::run_in_event_loop([script = std::move(script)] {
        activate(1);
        script();
    });
    static std::string program;
    static char *argv[2];
    program = name;
    argv[0] = program.data();
    argv[1] = nullptr;
    return entry(1, argv);
}

void typeInto(QWidget *field, const QString &text) {
    ASSERT_NE(field, nullptr) << "no field to type into";
    // Left in the field, clear of a spin box's arrows.
    QTest::mouseClick(field, Qt::LeftButton, Qt::NoModifier, QPoint(8, field->height() / 2));
    QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(field, text);
}

void enter(QWidget *field, const QString &text) {
    typeInto(field, text);
    if (field != nullptr) QTest::keyClick(field, Qt::Key_Return);
}

QString asTyped(const QWidget *field, double value, int decimals) {
    return field->locale().toString(value, 'f', decimals);
}

void chooseItem(QComboBox *ring, int index) {
    ASSERT_NE(ring, nullptr) << "no ring to choose from";
    ASSERT_GE(index, 0);
    ASSERT_LT(index, ring->count());
    while (ring->currentIndex() < index) QTest::keyClick(ring, Qt::Key_Down);
    while (ring->currentIndex() > index) QTest::keyClick(ring, Qt::Key_Up);
}

void chooseFromList(QComboBox *ring, int downPresses) {
    ring->setFocus(Qt::TabFocusReason);
    QTest::keyClick(ring, Qt::Key_F4);  // opens the list
    QWidget *list = ring->view();
    EXPECT_TRUE(list->isVisible()) << "the ring's list did not open";
    for (int i = 0; i < downPresses; ++i) QTest::keyClick(list, Qt::Key_Down);
    QTest::keyClick(list, Qt::Key_Return);
}

void chooseWithMouse(QComboBox *ring, int row) {
    QTest::mouseClick(ring, Qt::LeftButton);
    QAbstractItemView *list = ring->view();
    EXPECT_TRUE(list->isVisible()) << "the ring's list did not open";
    const QRect r = list->visualRect(ring->model()->index(row, 0));
    QTest::mouseMove(list->viewport(), r.center());
    // A release right after the press only opens the list.
    QTest::qWait(QApplication::doubleClickInterval() + 50);
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Qt::NoModifier, r.center());
}

void click(QWidget *button) {
    ASSERT_NE(button, nullptr) << "no button to click";
    QTest::mouseClick(button, Qt::LeftButton);
}

void clickSpinArrow(QAbstractSpinBox *spin, int arrow) {
    QStyleOptionSpinBox opt;
    opt.initFrom(spin);
    opt.subControls = QStyle::SC_All;
    opt.frame = spin->hasFrame();
    opt.buttonSymbols = spin->buttonSymbols();
    opt.stepEnabled = QAbstractSpinBox::StepUpEnabled | QAbstractSpinBox::StepDownEnabled;
    const QRect r = spin->style()->subControlRect(QStyle::CC_SpinBox, &opt,
                                                  static_cast<QStyle::SubControl>(arrow), spin);
    QTest::mouseClick(spin, Qt::LeftButton, Qt::NoModifier, r.center());
}

void wheelUp(QWidget *widget) {
    const QPointF pos(widget->width() / 2.0, widget->height() / 2.0);
    QWheelEvent wheel(pos, widget->mapToGlobal(pos), QPoint(), QPoint(0, 120), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(widget, &wheel);
}

std::string text(int panel, int id) {
    char buffer[4096] = "";
    const int result = GetCtrlVal(panel, id, buffer);
    EXPECT_GE(result, 0) << "reading control " << id << " of panel " << panel << " failed with "
                         << result;
    return buffer;
}

std::string writeEditedPanel(const QString &from, const QString &to, const char *original,
                             const char *edited) {
    QFile source(from);
    if (!source.open(QIODevice::ReadOnly)) return "cannot read " + from.toStdString();
    QString text = QString::fromUtf8(source.readAll());
    if (text.count(QString::fromLatin1(original)) != 1)
        return from.toStdString() + " changed: it no longer holds " + original + " once";
    text.replace(QString::fromLatin1(original), QString::fromLatin1(edited));
    QFile copy(to);
    if (!copy.open(QIODevice::WriteOnly | QIODevice::Truncate) || copy.write(text.toUtf8()) < 0 ||
        !copy.flush())
        return "cannot write " + to.toStdString();
    return "";
}

}  // namespace panel_operator
