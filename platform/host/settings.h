// SPDX-License-Identifier: GPL-3.0-or-later
// Where the operator's LabBench settings live, one folder for every part: the
// graphs' remembered folder (labbench-<program>.conf, written by the GUI
// run-time) and the instrument map (instruments.conf, read by the SCPI link
// and by the programs' GPIB binding, which also keeps an operator's choice there).
//
// The folder is $XDG_CONFIG_HOME/labbench, or ~/.config/labbench when
// XDG_CONFIG_HOME is unset or not an absolute path (the desktop's rule for
// it). Earlier versions kept the graphs' files in .../LabBench: the first time
// a process asks, the files there are moved into the one folder, so that no
// setting is lost. A file already in the one folder wins over the old one,
// which is left where it is; a move that fails is said on stderr, and the old
// file is still the one read.
#pragma once

#include <string>

namespace labbench {

// The settings folder, without a trailing slash; "" when neither
// XDG_CONFIG_HOME (absolute) nor HOME is set. It need not exist yet.
std::string settings_folder();

// The settings file `name` (a bare file name): in the settings folder, or in
// the old folder while a move of it out of there has failed. "" when there is
// no settings folder.
std::string settings_file(const std::string &name);

}  // namespace labbench
