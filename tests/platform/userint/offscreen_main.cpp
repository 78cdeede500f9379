// SPDX-License-Identifier: GPL-3.0-or-later
// The main of the run-time's offscreen test programs: GoogleTest, the offscreen
// platform (unless QT_QPA_PLATFORM says otherwise), settings such as the remembered
// export folder kept in a folder of this run's own, and the run-time started as a
// program starts it. The offscreen platform's notes about the window features it
// lacks are left out of the output; every other Qt message is shown.
#include <gtest/gtest.h>

#include <QDir>
#include <QString>
#include <QtGlobal>
#include <cstdio>
#include <cstdlib>

#include "userint.h"

namespace {

void quiet_offscreen_notes(QtMsgType type, const QMessageLogContext &, const QString &message) {
    if (message.startsWith(QLatin1String("This plugin does not support")) ||
        message.startsWith(QLatin1String("QStandardPaths:")))
        return;
    std::fprintf(stderr, "%s%s\n", type == QtWarningMsg ? "Qt warning: " : "",
                 message.toLocal8Bit().constData());
}

}  // namespace

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    qInstallMessageHandler(quiet_offscreen_notes);
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    char settings[] = "/tmp/userint-test-XXXXXX";
    if (!mkdtemp(settings)) {
        std::perror("userint tests: cannot make a settings folder in /tmp");
        return 1;
    }
    setenv("XDG_CONFIG_HOME", settings, 1);
    const int status = InitCVIRTE(nullptr, argv, nullptr) ? RUN_ALL_TESTS() : 1;
    QDir(QString::fromLocal8Bit(settings)).removeRecursively();
    return status;
}
