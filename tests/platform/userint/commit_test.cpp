// SPDX-License-Identifier: GPL-3.0-or-later
// Tests of the GUI run-time's commit events, driven as an operator drives a
// panel: key and mouse events on the real widgets of bench.uir, each action
// stating which events it must produce, and the focus and close events that
// are not commits. Runs offscreen.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QStyle>
#include <QTest>
#include <functional>
#include <string>
#include <vector>

#include "bench_panel.h"
#include "panel_operator.h"
#include "userint.h"
#include "userint_testing.h"

namespace {

using namespace bench_panel;
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
    EXPECT_EQ(count_for(c.control), c.commits) << c.name;
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
        EXPECT_EQ(count_for(id), 0);
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
    inside_commit = [&](int id) {
        if (id == AMPL) GetCtrlVal(PANEL, AMPL, &ampl);
    };
    QTest::keyClick(control<QDoubleSpinBox>(AMPL), Qt::Key_Return);
    EXPECT_FLOAT_EQ(ampl, 7.25f) << "the callback must read the value just typed";

    signed char decade = -1;
    inside_commit = [&](int id) {
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
        inside_commit = [&](int id) {
            if (id != AMPL) return;
            found = GetCtrlRefusedEntry(PANEL, AMPL, typed, sizeof typed, &low, &high);
            GetCtrlVal(PANEL, AMPL, &value);
        };
        QTest::keyClick(field, Qt::Key_Return);
        inside_commit = nullptr;
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
    QString text = read_file(fixture_path());
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
    QString text = read_file(fixture_path());
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
    inside_commit = [](int id) {
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
    EXPECT_EQ(count_for(QUIT), 1);
}

}  // namespace
