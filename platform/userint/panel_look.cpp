// SPDX-License-Identifier: GPL-3.0-or-later
// How a loaded panel presents itself (see panel_look.h).
#include "panel_look.h"

#include <QApplication>
#include <QEvent>
#include <QFileInfo>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

#include "graph_export.h"
#include "userint.h"

namespace userint_internal {

namespace {

bool identityChosen = false;
const ProgramIdentity *programIdentity = nullptr;

// The program's icon drawn from its SVG at the sizes desktops ask for, so that
// no image plugin is needed.
QIcon program_icon(const char *svgText) {
    QIcon icon;
    if (svgText == nullptr || *svgText == '\0') return icon;
    QSvgRenderer svg{QByteArray(svgText)};
    if (!svg.isValid()) return icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        svg.render(&painter);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

void choose_identity(const QString &panelPath) {
    identityChosen = true;
    const QString name = programIdentity != nullptr && programIdentity->name != nullptr
                             ? QString::fromUtf8(programIdentity->name)
                             : QFileInfo(panelPath).completeBaseName();
    set_program_name(name);
    const QString desktopName = QStringLiteral("labbench-") + name;
    QCoreApplication::setApplicationName(desktopName);
    QGuiApplication::setDesktopFileName(desktopName);
    const QIcon icon = program_icon(programIdentity ? programIdentity->icon_svg : nullptr);
    if (!icon.isNull()) QApplication::setWindowIcon(icon);
}

// Gives a read-only text field the panel's ground instead of an input
// field's, and keeps it so when its palette is set anew (a failure mark sets
// the text colour, and later returns to the inherited palette).
class ReadOnlyGround : public QObject {
public:
    explicit ReadOnlyGround(QLineEdit *edit) : QObject(edit) {
        edit->setFrame(false);
        apply(edit);
        edit->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (event->type() == QEvent::PaletteChange) apply(static_cast<QWidget *>(watched));
        return false;
    }

private:
    static void apply(QWidget *w) {
        QPalette palette = w->palette();
        bool changed = false;
        for (QPalette::ColorGroup group :
             {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
            if (palette.color(group, QPalette::Base) == palette.color(group, QPalette::Window))
                continue;
            palette.setColor(group, QPalette::Base, palette.color(group, QPalette::Window));
            changed = true;
        }
        if (changed) w->setPalette(palette);  // changes nothing the second time round
    }
};

void look_read_only(QWidget *window) {
    for (QWidget *w : window->findChildren<QWidget *>()) {
        if (w->property("controlId").toInt() <= 0) continue;
        if (auto *edit = qobject_cast<QLineEdit *>(w); edit && edit->isReadOnly()) {
            new ReadOnlyGround(edit);
        } else if (auto *label = qobject_cast<QLabel *>(w);
                   label && w->property("valueType").toString() == QLatin1String("string")) {
            label->setTextInteractionFlags(label->textInteractionFlags() |
                                           Qt::TextSelectableByMouse |
                                           Qt::TextSelectableByKeyboard);
        }
    }
}

}  // namespace

void present_panel(const QString &panelPath, QWidget *window) {
    if (!identityChosen) choose_identity(panelPath);
    if (!QApplication::windowIcon().isNull()) window->setWindowIcon(QApplication::windowIcon());
    look_read_only(window);
}

void adopt_program_identity(const ProgramIdentity &identity) { programIdentity = &identity; }

}  // namespace userint_internal
