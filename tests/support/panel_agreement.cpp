// SPDX-License-Identifier: GPL-3.0-or-later
// The panel-and-program agreement check (panel_agreement.h), on the loaded
// panel's real widgets.
#include "panel_agreement.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QDoubleSpinBox>
#include <QGuiApplication>
#include <QStringList>
#include <QWidget>

#include "userint_testing.h"

namespace panel_agreement {

void expect_controls(int panel, std::initializer_list<Control> controls) {
    QWidget *window = userint_testing::panel_widget(panel);
    ASSERT_NE(window, nullptr) << "panel " << panel << " is not loaded";
    EXPECT_EQ(window->objectName().toStdString(), "PANEL");
    for (const Control &c : controls) {
        QWidget *w = userint_testing::control_widget(panel, c.id);
        ASSERT_NE(w, nullptr) << c.identifier << " (" << c.id << ") is not on the panel";
        EXPECT_EQ(w->objectName().toStdString(), c.identifier) << "control " << c.id;
        EXPECT_TRUE(w->inherits(c.widget_class))
            << c.identifier << " is a " << w->metaObject()->className();
        EXPECT_TRUE(w->accessibleName().contains(QString::fromUtf8(c.name_mentions)))
            << c.identifier << " is named \"" << w->accessibleName().toStdString() << '"';
    }
}

void expect_float_fields(int panel, std::initializer_list<FloatField> fields) {
    for (const FloatField &f : fields) {
        float value = 0;
        EXPECT_EQ(GetCtrlVal(panel, f.id, &value), 0) << f.identifier << " is read as a float";
        auto *field = panel_operator::find<QDoubleSpinBox>(panel, f.id);
        ASSERT_NE(field, nullptr) << f.identifier;
        EXPECT_EQ(field->minimum(), f.minimum) << f.identifier;
        EXPECT_EQ(field->maximum(), f.maximum) << f.identifier;
    }
}

std::string ring_items(int panel, int id, const char *separator) {
    QStringList items;
    if (auto *ring = panel_operator::find<QComboBox>(panel, id))
        for (int k = 0; k < ring->count(); k++) items << ring->itemText(k);
    return items.join(QString::fromUtf8(separator)).toStdString();
}

template <class T>
void expect_ring_reads_item_index(int panel, int id, const char *identifier) {
    auto *ring = panel_operator::find<QComboBox>(panel, id);
    ASSERT_NE(ring, nullptr) << identifier << " is not a ring";
    for (int item = ring->count() - 1; item >= 0; item--) {
        panel_operator::chooseItem(ring, item);
        T code = T(-1);
        EXPECT_EQ(GetCtrlVal(panel, id, &code), 0) << identifier << " is read into its type";
        EXPECT_EQ(int(code), item) << identifier << ": the code of item " << item;
    }
}

void expect_desktop_identity(int panel, const char *desktop_name) {
    QWidget *window = userint_testing::panel_widget(panel);
    ASSERT_NE(window, nullptr) << "panel " << panel << " is not loaded";
    EXPECT_FALSE(window->windowIcon().isNull()) << "the window shows the program's icon";
    EXPECT_EQ(QCoreApplication::applicationName().toStdString(), desktop_name);
    EXPECT_EQ(QGuiApplication::desktopFileName().toStdString(), desktop_name);
}

template void expect_ring_reads_item_index<signed char>(int, int, const char *);
template void expect_ring_reads_item_index<unsigned char>(int, int, const char *);
template void expect_ring_reads_item_index<int>(int, int, const char *);

}  // namespace panel_agreement
