// SPDX-License-Identifier: GPL-3.0-or-later
// How a loaded panel presents itself to the operator and to the desktop.
#pragma once

class QString;
class QWidget;
struct ProgramIdentity;

namespace userint_internal {

// Called for each panel once it is built from `panelPath`. The first panel
// gives the process the program's identity: the application and desktop-file
// name "labbench-<name>", which is the window class the desktop entry's
// StartupWMClass names, and the program's icon, both from the ProgramIdentity
// the program handed over (HandleCommandLine); a panel loaded without one (a
// test's) names the program after the panel file ("bench.uir": bench), with
// no icon. Read-outs (read-only text controls) are drawn without the frame and
// white ground of an input field; their text stays selectable and copyable
// with the mouse and the keyboard.
void present_panel(const QString &panelPath, QWidget *window);

// Keeps the program's identity (static storage) for present_panel. Uses no Qt.
void adopt_program_identity(const ProgramIdentity &identity);

}  // namespace userint_internal
