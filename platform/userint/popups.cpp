// SPDX-License-Identifier: GPL-3.0-or-later
// Popups: MessagePopup, a modal message box owned by the active panel.
//
// The texts may come from an instrument, so they are shown as plain text,
// never as markup. A test may set a hook that sees each popup first and may
// answer it instead of the operator (userint_testing.h); without one, nothing
// of a popup is kept.
#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <string>

#include "userint.h"
#include "userint_internal.h"

using namespace userint_internal;

namespace {

PopupHook popupHook;

}  // namespace

void userint_internal::set_popup_hook(PopupHook hook) { popupHook = std::move(hook); }

int MessagePopup(const char *title, const char *message) {
    const std::string titleText = title ? title : "";
    const std::string messageText = message ? message : "";
    if (popupHook && popupHook(titleText, messageText)) return 0;
    if (!started()) {
        std::fprintf(stderr, "MessagePopup: no GUI (InitCVIRTE has not succeeded): %s: %s\n",
                     titleText.c_str(), messageText.c_str());
        return UIE_NOT_INITIALISED;
    }
    QWidget *owner = QApplication::activeWindow();
    if (!owner) owner = some_visible_panel();
    QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(titleText.c_str()),
                    QString::fromUtf8(messageText.c_str()), QMessageBox::Ok, owner);
    // Texts may come from an instrument: show them as they are, never as markup.
    box.setTextFormat(Qt::PlainText);
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
    return 0;
}
