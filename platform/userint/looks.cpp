// SPDX-License-Identifier: GPL-3.0-or-later
// How a control presents itself beyond its value: failure marks on text
// controls (MarkCtrlFailure) and the text of command buttons (SetCtrlLabel).
//
// A failed upload or identification must not pass for a success at a glance,
// nor for a screen reader. A marked control gets a warning icon inside its
// left edge, its text in a dark red, the dynamic property `failure` (so that a
// style sheet can select `[failure="true"]`), the accessible description
// "Failure", and an alert event that screen readers announce. Nothing here
// uses a style sheet of its own, so the mark combines with any look the
// control already has. Unmarking restores the control's own palette and
// margins.
#include <QAccessible>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <algorithm>

#include "userint.h"
#include "userint_internal.h"

using namespace userint_internal;

namespace {

const char *const kFailureProperty = "failure";
const char *const kIconName = "userint_failure_icon";
constexpr int kIconSize = 16;  // pixels
constexpr int kIconGap = 4;    // pixels between the icon and the text
const QColor kFailureText(0xa0, 0x00, 0x00);

QLabel *failure_icon(QWidget *control) {
    return control->findChild<QLabel *>(QLatin1String(kIconName), Qt::FindDirectChildrenOnly);
}

void place_icon(QWidget *control, QLabel *icon) {
    const int top = qobject_cast<QLineEdit *>(control) ? (control->height() - kIconSize) / 2 : 2;
    icon->setGeometry(2, std::max(0, top), kIconSize, kIconSize);
}

void mark(QWidget *control) {
    if (!failure_icon(control)) {
        auto *icon = new QLabel(control);
        icon->setObjectName(QLatin1String(kIconName));
        icon->setPixmap(
            control->style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(kIconSize));
        icon->setAccessibleName(QStringLiteral("Failure"));
        icon->setAttribute(Qt::WA_TransparentForMouseEvents);
        const int room = kIconSize + kIconGap;
        if (auto *edit = qobject_cast<QLineEdit *>(control)) {
            QMargins m = edit->textMargins();
            edit->setTextMargins(m.left() + room, m.top(), m.right(), m.bottom());
        } else {
            QMargins m = control->contentsMargins();
            control->setContentsMargins(m.left() + room, m.top(), m.right(), m.bottom());
        }
        control->setMinimumHeight(std::max(control->minimumHeight(), kIconSize + 4));
        icon->show();
    }
    place_icon(control, failure_icon(control));
    QPalette palette = control->palette();
    palette.setColor(QPalette::WindowText, kFailureText);
    palette.setColor(QPalette::Text, kFailureText);
    control->setPalette(palette);
}

void unmark(QWidget *control) {
    if (QLabel *icon = failure_icon(control)) {
        const int room = kIconSize + kIconGap;
        if (auto *edit = qobject_cast<QLineEdit *>(control)) {
            QMargins m = edit->textMargins();
            edit->setTextMargins(m.left() - room, m.top(), m.right(), m.bottom());
        } else {
            QMargins m = control->contentsMargins();
            control->setContentsMargins(m.left() - room, m.top(), m.right(), m.bottom());
        }
        delete icon;
    }
    control->setPalette(QPalette());  // back to the inherited palette
}

}  // namespace

int MarkCtrlFailure(int panel, int control, int failed) {
    int error;
    Control *c = find_control("MarkCtrlFailure", panel, control, &error);
    if (!c) return error;
    QWidget *w = c->widget;
    if (!qobject_cast<QLabel *>(w) && !qobject_cast<QLineEdit *>(w))
        return report("MarkCtrlFailure", panel, control, UIE_BAD_ARGUMENT,
                      QStringLiteral("only text controls carry a failure mark"));
    const bool wasMarked = w->property(kFailureProperty).toBool();
    if (failed) {
        mark(w);
    } else {
        unmark(w);
    }
    w->setProperty(kFailureProperty, failed != 0);
    w->setAccessibleDescription(failed ? QStringLiteral("Failure") : QString());
    // A style sheet may select on the property: have it looked at again.
    w->style()->unpolish(w);
    w->style()->polish(w);
    if (failed) {
        // Announced by screen readers, also when the text changes under an existing mark.
        QAccessibleEvent alert(w, QAccessible::Alert);
        QAccessible::updateAccessibility(&alert);
    } else if (wasMarked) {
        QAccessibleEvent changed(w, QAccessible::DescriptionChanged);
        QAccessible::updateAccessibility(&changed);
    }
    show_now(w);
    return 0;
}

int SetCtrlLabel(int panel, int control, const char *label) {
    int error;
    Control *c = find_control("SetCtrlLabel", panel, control, &error);
    if (!c) return error;
    auto *button = qobject_cast<QPushButton *>(c->widget);
    if (!button || !label)
        return report("SetCtrlLabel", panel, control, UIE_BAD_ARGUMENT,
                      button ? QStringLiteral("the label's address is null")
                             : QStringLiteral("only command buttons take a label"));
    const QString text = QString::fromUtf8(label);
    button->setText(text);
    QString spoken = text;
    spoken.replace(QLatin1String("&&"), QLatin1String("\x01"));
    spoken.remove(QLatin1Char('&'));
    spoken.replace(QLatin1Char('\x01'), QLatin1Char('&'));
    button->setAccessibleName(spoken);
    show_now(button);
    return 0;
}
