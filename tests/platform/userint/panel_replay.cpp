// SPDX-License-Identifier: GPL-3.0-or-later
// Runs the panel loader's fuzz target over files and folders of panel files
// (the seed corpus), so the target keeps building with the ordinary compiler
// and every corpus file is checked on each test run.
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QStringList>
#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <corpus file or folder>...\n", argv[0]);
        return 2;
    }
    LLVMFuzzerInitialize(&argc, &argv);
    QStringList files;
    for (int i = 1; i < argc; ++i) {
        const QString path = QString::fromLocal8Bit(argv[i]);
        if (QFileInfo(path).isDir()) {
            QDirIterator it(path, QDir::Files, QDirIterator::Subdirectories);
            while (it.hasNext()) files << it.next();
        } else {
            files << path;
        }
    }
    files.sort();
    for (const QString &f : files) {
        QFile file(f);
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "panel_replay: cannot read %s: %s\n", qPrintable(f),
                         qPrintable(file.errorString()));
            return 1;
        }
        const QByteArray bytes = file.readAll();
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(bytes.constData()),
                               static_cast<size_t>(bytes.size()));
    }
    std::printf("panel_replay: %lld panel files loaded without a crash\n",
                static_cast<long long>(files.size()));
    return files.isEmpty() ? 1 : 0;
}
