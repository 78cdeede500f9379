// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up shared by the program benchmarks; see panel_run.h.
#include "panel_run.h"

#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "harness.h"
#include "userint.h"

namespace perf {

int runOnPanel(const char *program, char **argv, const char *panelFile, void (*beforeShow)(),
               void (*report)()) {
    const int panel = 1;  // the programs' one panel
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    if (InitCVIRTE(nullptr, argv, nullptr) == 0) return 2;
    if (LoadPanel(0, panelFile, panel) < 0) {
        std::fprintf(stderr, "%s: cannot load %s beside the executable\n", program, panelFile);
        return 2;
    }
    if (beforeShow) beforeShow();
    DisplayPanel(panel);
    QApplication::processEvents();
    const bool ran = runBenchmarks();
    report();
    DiscardPanel(panel);
    return ran ? finish() : 2;
}

}  // namespace perf
