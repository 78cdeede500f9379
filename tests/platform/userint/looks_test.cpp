// SPDX-License-Identifier: GPL-3.0-or-later
// Failure marks on text controls: what the operator sees and what a screen reader
// is told, on the read-out and the input of bench.uir. Runs offscreen, where no
// screen reader listens: what it would be told is read from the control's
// accessible interface.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <cstdlib>
#include <string>
#include <vector>

#include "userint.h"
#include "userint_testing.h"

namespace {

enum { PANEL = 1, AMPL = 2, RUN = 4, RMS = 9, NOTE = 10 };

int onAny(int, int, int, void *, int, int) { return 0; }
int onPanel(int, int, void *, int, int) { return 0; }
const CallbackRegistration callbacks{{"onCommit", onAny}, {"onQuit", onAny}, {"onPanel", onPanel}};

class FailureMark : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(LoadPanel(0, "bench.uir", PANEL), PANEL);
        DisplayPanel(PANEL);
    }
    void TearDown() override { DiscardPanel(PANEL); }
    static QLineEdit *field(int id) {
        return qobject_cast<QLineEdit *>(userint_testing::control_widget(PANEL, id));
    }
    static QLabel *icon(QWidget *w) { return w->findChild<QLabel *>(); }
    // What a screen reader reads of the control: its description.
    static std::string spokenDescription(QWidget *w) {
        QAccessibleInterface *a = QAccessible::queryAccessibleInterface(w);
        return a ? a->text(QAccessible::Description).toStdString() : "(not accessible)";
    }
};

TEST_F(FailureMark, MarkedTextShowsAnIconAndIsDescribedAsAFailure) {
    for (int id : {RMS, NOTE}) {
        SCOPED_TRACE("control " + std::to_string(id));
        QLineEdit *w = field(id);
        ASSERT_NE(w, nullptr);
        SetCtrlVal(PANEL, id, "Upload failed");
        const QColor plainText = w->palette().color(QPalette::Text);
        const int plainMargin = w->textMargins().left();
        EXPECT_EQ(icon(w), nullptr) << "plain text has no icon";

        ASSERT_EQ(MarkCtrlFailure(PANEL, id, 1), 0);
        ASSERT_NE(icon(w), nullptr);
        EXPECT_TRUE(icon(w)->isVisible());
        EXPECT_FALSE(icon(w)->pixmap().isNull());
        EXPECT_GT(w->textMargins().left(), plainMargin) << "the text makes room for the icon";
        EXPECT_NE(w->palette().color(QPalette::Text), plainText);
        EXPECT_EQ(spokenDescription(w), "Failure");

        // A new failure under the mark keeps one mark.
        SetCtrlVal(PANEL, id, "Upload failed again");
        MarkCtrlFailure(PANEL, id, 1);
        EXPECT_EQ(w->findChildren<QLabel *>().size(), 1);
        EXPECT_EQ(spokenDescription(w), "Failure");

        ASSERT_EQ(MarkCtrlFailure(PANEL, id, 0), 0);
        EXPECT_EQ(icon(w), nullptr);
        EXPECT_EQ(w->textMargins().left(), plainMargin);
        EXPECT_EQ(w->palette().color(QPalette::Text), plainText);
        EXPECT_EQ(spokenDescription(w), "");
        char text[64];
        GetCtrlVal(PANEL, id, text);
        EXPECT_STREQ(text, "Upload failed again") << "the mark never changes the text";
    }
}

// The mark draws without a style sheet of its own, so a look given to the control
// by a style sheet (a read-only read-out, say) and the mark show together.
TEST_F(FailureMark, CombinesWithTheControlsOwnStyleSheet) {
    QLineEdit *w = field(RMS);
    const QString look = QStringLiteral("QLineEdit { border: none; background: transparent; }");
    w->setStyleSheet(look);
    MarkCtrlFailure(PANEL, RMS, 1);
    EXPECT_EQ(w->styleSheet(), look);
    ASSERT_NE(icon(w), nullptr);
    EXPECT_TRUE(icon(w)->isVisible());
    EXPECT_TRUE(w->property("failure").toBool()) << "style sheets can select [failure=\"true\"]";
    MarkCtrlFailure(PANEL, RMS, 0);
    EXPECT_EQ(w->styleSheet(), look);
    EXPECT_FALSE(w->property("failure").toBool());
}

TEST_F(FailureMark, ButtonLabelChangesWithItsSpokenName) {
    auto *run = qobject_cast<QPushButton *>(userint_testing::control_widget(PANEL, RUN));
    ASSERT_NE(run, nullptr);
    ASSERT_EQ(SetCtrlLabel(PANEL, RUN, "&Stop"), 0);
    EXPECT_EQ(run->text().toStdString(), "&Stop");
    EXPECT_EQ(run->accessibleName().toStdString(), "Stop");
    EXPECT_EQ(SetCtrlLabel(PANEL, AMPL, "x"), UIE_BAD_ARGUMENT);
    EXPECT_EQ(SetCtrlLabel(PANEL, RUN, nullptr), UIE_BAD_ARGUMENT);
}

TEST_F(FailureMark, OnlyTextControlsCarryIt) {
    EXPECT_EQ(MarkCtrlFailure(PANEL, AMPL, 1), UIE_BAD_ARGUMENT);
    EXPECT_EQ(MarkCtrlFailure(PANEL, 99, 1), UIE_BAD_CONTROL);
    EXPECT_EQ(MarkCtrlFailure(7, RMS, 1), UIE_BAD_PANEL);
}

}  // namespace
