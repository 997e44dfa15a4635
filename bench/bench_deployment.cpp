// Copies a bundle-like folder onto a drive with copyDirectoryContents and
// with a plain "cp -R" of the same files to the same place, side by side,
// and prints both speeds. Goal: at least 0.8 of cp's speed. Every file we
// copy is synced to the device before it replaces the former one (QSaveFile);
// cp leaves its data in the page cache, so its time with "sync -f" after it
// is printed too.
//
//   bench_deployment [target folder] [megabytes] [rounds]
#include "deployment/PortableBundleManager.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace Kavendru::Deployment;

namespace {

bool writeRandomFile(const QString& path, qint64 size, QRandomGenerator* random)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QByteArray block(qMin<qint64>(size, 1 << 20), Qt::Uninitialized);
    qint64 left = size;
    while (left > 0) {
        const qint64 now = qMin<qint64>(left, block.size());
        random->fillRange(reinterpret_cast<quint32*>(block.data()), int(block.size() / 4));
        if (file.write(block.constData(), now) != now)
            return false;
        left -= now;
    }
    return file.flush();
}

// Sizes shaped like a Linux bundle: many small plug-ins and libraries, a
// few large ones (ICU data, Qt Gui, the program).
bool makeSource(const QString& root, qint64 totalBytes, qint64* written, int* files)
{
    QRandomGenerator random(20240605);
    const qint64 sizes[] = {8 << 10, 40 << 10, 150 << 10, 600 << 10, 2 << 20, 7 << 20, 30 << 20};
    const char* folders[] = {"lib", "plugins/platforms", "plugins/imageformats", "plugins/tls", "."};
    *written = 0;
    *files = 0;
    for (int i = 0; *written < totalBytes; ++i) {
        const qint64 size = qMin(sizes[i % 7], totalBytes - *written);
        const QString folder = QDir(root).filePath(QString::fromLatin1(folders[i % 5]));
        if (!QDir().mkpath(folder)
            || !writeRandomFile(QDir(folder).filePath(QStringLiteral("lib%1.so.6").arg(i)), size, &random))
            return false;
        *written += size;
        ++*files;
    }
    return true;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString place = args.size() > 1 ? args.at(1) : QDir::tempPath();
    const qint64 megabytes = args.size() > 2 ? args.at(2).toLongLong() : 200;
    const int rounds = args.size() > 3 ? args.at(3).toInt() : 5;

    QTemporaryDir sourceDir;
    QTemporaryDir targetDir(QDir(place).filePath(QStringLiteral("bench-deployment-XXXXXX")));
    if (!sourceDir.isValid() || !targetDir.isValid()) {
        std::fprintf(stderr, "cannot create the folders in %s\n", qPrintable(place));
        return 1;
    }
    qint64 bytes = 0;
    int files = 0;
    if (!makeSource(sourceDir.path(), megabytes << 20, &bytes, &files)) {
        std::fprintf(stderr, "cannot write the source files\n");
        return 1;
    }

    const PortableBundleManager manager;
    std::vector<double> ours;
    std::vector<double> plain;
    std::vector<double> plainSynced;
    std::vector<double> repeated;
    QElapsedTimer timer;
    for (int round = 0; round < rounds; ++round) {
        const QString a = QDir(targetDir.path()).filePath(QStringLiteral("ours-%1").arg(round));
        const QString b = QDir(targetDir.path()).filePath(QStringLiteral("cp-%1").arg(round));
        // Alternate which goes first so neither always meets a warmer cache.
        for (int turn = 0; turn < 2; ++turn) {
            if ((turn + round) % 2 == 0) {
                PortableBundleResult result;
                timer.start();
                const bool ok = manager.copyDirectoryContents(sourceDir.path(), a, &result);
                ours.push_back(timer.nsecsElapsed() / 1e9);
                if (!ok) {
                    std::fprintf(stderr, "copy failed: %s\n", qPrintable(result.message));
                    return 1;
                }
            } else {
                QProcess cp;
                timer.start();
                cp.start(QStringLiteral("cp"), {QStringLiteral("-R"), sourceDir.path() + QStringLiteral("/."), b});
                const bool ok = cp.waitForFinished(-1) && cp.exitCode() == 0;
                plain.push_back(timer.nsecsElapsed() / 1e9);
                // What it takes until cp's data is on the device too, as
                // ours is when copyDirectoryContents returns.
                QProcess sync;
                sync.start(QStringLiteral("sync"), {QStringLiteral("-f"), b});
                const bool synced = sync.waitForFinished(-1) && sync.exitCode() == 0;
                plainSynced.push_back(timer.nsecsElapsed() / 1e9);
                if (!ok || !synced) {
                    std::fprintf(stderr, "cp failed\n");
                    return 1;
                }
            }
        }
        PortableBundleResult result;
        timer.start();
        manager.copyDirectoryContents(sourceDir.path(), a, &result);
        repeated.push_back(timer.nsecsElapsed() / 1e9);
        QDir(a).removeRecursively();
        QDir(b).removeRecursively();
    }

    const double mb = bytes / 1048576.0;
    const double oursTime = median(ours);
    const double cpTime = median(plain);
    std::printf("target             %s\n", qPrintable(targetDir.path()));
    std::printf("files              %d, %.1f MiB, %d rounds (medians)\n", files, mb, rounds);
    std::printf("copyDirectoryContents  %.3f s  %.1f MiB/s\n", oursTime, mb / oursTime);
    std::printf("cp -R                  %.3f s  %.1f MiB/s\n", cpTime, mb / cpTime);
    std::printf("cp -R, then sync -f    %.3f s  %.1f MiB/s\n", median(plainSynced), mb / median(plainSynced));
    std::printf("speed ratio        %.2f of cp (goal: at least 0.80)\n", cpTime / oursTime);
    std::printf("                   %.2f of cp with its data on the device\n", median(plainSynced) / oursTime);
    std::printf("repeated, unchanged    %.3f s (contents compared, nothing written)\n", median(repeated));
    return 0;
}
