// SPDX-License-Identifier: GPL-3.0-or-later
// Deciding, before the GUI application object exists, whether a GUI can start.
//
// Qt aborts the whole process when its window-system plugin cannot connect
// (no display, a dead display, refused X authorisation). probe_display() makes
// the same choice of platform as Qt and tries the connection itself first, so
// the run-time can report the reason and let the program exit cleanly.
#pragma once

#include <string>

struct DisplayChoice {
    bool usable = false;
    std::string platform;  // what to give Qt as its platform, e.g. "xcb" or "offscreen"
    std::string reason;    // when not usable: one line, what failed and what to do
};

// `commandLinePlatform` is the value of a "-platform" argument, or empty;
// `commandLineDisplay` that of a "-display" argument, which Qt's X platform uses
// instead of DISPLAY, or empty.
// A successful X probe keeps its connection open until release_display_probe().
DisplayChoice probe_display(const std::string &commandLinePlatform,
                            const std::string &commandLineDisplay = {});
// Closes the probe's connection; call once the application has connected.
void release_display_probe();
