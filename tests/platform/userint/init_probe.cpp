// SPDX-License-Identifier: GPL-3.0-or-later
// A minimal program start: InitCVIRTE, then exit -1 (status 255) when the GUI
// cannot start, as the bench programs do; 0 when it can.
#include "userint.h"

int main(int, char *argv[]) {
    if (InitCVIRTE(nullptr, argv, nullptr) == 0) return -1;
    return 0;
}
