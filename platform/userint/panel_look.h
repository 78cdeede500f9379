// SPDX-License-Identifier: GPL-3.0-or-later
// How a loaded panel presents itself to the operator and to the desktop.
#pragma once

class QString;
class QWidget;

namespace userint_internal {

// Called for each panel once it is built from `panelPath`. The first panel
// names the program after its file ("deska.uir": deska): the application and
// desktop-file name "labbench-deska", which is the window class the desktop
// entry's StartupWMClass names, and the program's icon compiled in from
// packaging/icons. Read-outs (read-only text controls) are drawn without the
// frame and white ground of an input field; their text stays selectable and
// copyable with the mouse and the keyboard.
void present_panel(const QString &panelPath, QWidget *window);

}  // namespace userint_internal
