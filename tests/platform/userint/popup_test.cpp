// SPDX-License-Identifier: GPL-3.0-or-later
// Tests of the GUI run-time's popups: modal, answered with OK, and the focus
// events they cause arriving only after the callback that showed them. Runs
// offscreen.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <string>
#include <vector>

#include "bench_panel.h"
#include "userint.h"
#include "userint_testing.h"

namespace {

using namespace bench_panel;

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
    inside_commit = [&](int id) {
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
    EXPECT_GE(count_for(0, EVENT_LOST_FOCUS), 1) << "the focus events arrive after the callback";
}

}  // namespace
