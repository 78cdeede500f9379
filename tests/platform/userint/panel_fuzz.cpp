// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target for the panel loader: any bytes, loaded as panel resource 1,
// must give a panel handle or a LoadPanel error code, never a crash or hang.
// Built as a libFuzzer target with clang (LABBENCH_FUZZ=ON) and, always, into
// panel_replay, which runs it over the checked-in corpus as an ordinary test.
#include <QtGlobal>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "userint.h"
#include "userint_testing.h"

namespace {

int anyControl(int, int, int, void *, int, int) { return 0; }
int anyPanel(int, int, void *, int, int) { return 0; }
// The names the corpus panels use, so that fuzzing reaches past the callback check.
const CallbackRegistration callbacks{
    {"onCommit", anyControl}, {"onQuit", anyControl}, {"onPanel", anyPanel}};

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    qInstallMessageHandler(quiet);
    if (!InitCVIRTE(nullptr, *argv, nullptr)) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string content(reinterpret_cast<const char *>(data), size);
    const int handle = userint_testing::load_panel_from_memory(content, "fuzz.uir", 1);
    if (handle > 0)
        DiscardPanel(handle);
    else if (handle < UIE_NOT_INITIALISED || handle == 0)
        std::abort();  // LoadPanel returns a handle or one of its own codes
    return 0;
}
