// The update of a drive from a local HTTPS server (download, hash,
// extraction, promotion under the journal, state file, clean-up) against
// the plain commands that do the same work: curl, sha256sum, unzip, sync
// and mv.
//
//   bench_update [folder] [megabytes] [rounds]
//
// The folder stands for the drive (default: a new temporary folder); the
// package holds about the megabytes given (200) of incompressible files.
#define main kavendruConfigMain
#include "config/KavendruConfig.cpp"
#undef main

#include "UpdateTestSupport.h"

#include <QElapsedTimer>
#include <QRandomGenerator>

#include <algorithm>
#include <cstdio>

using namespace UpdateTest;

namespace {

bool writeBytes(const QString& path, const QByteArray& data)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size() && file.flush();
}

// A package tree: the files the validation wants, and 1 MiB files of
// random bytes, half in each bundle.
bool makePackageTree(const QString& folder, int megabytes)
{
    const QDir product(QDir(folder).filePath(QStringLiteral("Kavendru")));
    for (const char* name : {"windows/Kavendru.exe", "windows/platforms/qwindows.dll", "linux/Kavendru",
                             "linux/Kavendru-Linux.sh", "linux/qt.conf", "linux/lib/libssl.so.3",
                             "linux/plugins/tls/libqopensslbackend.so"}) {
        if (!writeBytes(product.filePath(QLatin1String(name)), "new"))
            return false;
    }
    QByteArray block(1 << 20, Qt::Uninitialized);
    for (int i = 0; i < megabytes; ++i) {
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(block.data()), block.size() / 4);
        const QString name = i % 2 ? QStringLiteral("linux/lib/data-%1.so").arg(i)
                                   : QStringLiteral("windows/data/%1.dll").arg(i);
        if (!writeBytes(product.filePath(name), block))
            return false;
    }
    return true;
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values.at(values.size() / 2);
}

} // namespace

int main(int argc, char* argv[])
{
    // No window is shown: no display is needed.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    applyApplicationIdentity();
    const QStringList args = app.arguments();
    std::unique_ptr<QTemporaryDir> ownFolder;
    QString base = args.value(1);
    if (base.isEmpty()) {
        ownFolder = std::make_unique<QTemporaryDir>();
        base = ownFolder->path();
    }
    const int megabytes = args.value(2, QStringLiteral("200")).toInt();
    const int rounds = args.value(3, QStringLiteral("3")).toInt();
    QTemporaryDir work(QDir(base).filePath(QStringLiteral("bench-update-XXXXXX")));
    if (!work.isValid() || megabytes <= 0 || rounds <= 0) {
        std::fprintf(stderr, "usage: bench_update [folder] [megabytes] [rounds]\n");
        return 2;
    }

    HttpsServer server;
    if (!server.isRunning()) {
        std::fprintf(stderr, "HTTPS server: %s\n", qPrintable(server.failure()));
        return 1;
    }
    const QString tree = work.filePath(QStringLiteral("tree"));
    const QString packagePath = QDir(server.folder()).filePath(QStringLiteral("package.zip"));
    QString error;
    if (!makePackageTree(tree, megabytes) || !zipFolder(tree, packagePath, &error)) {
        std::fprintf(stderr, "package: %s\n", qPrintable(error));
        return 1;
    }
    QDir(tree).removeRecursively();
    QFile packageFile(packagePath);
    if (!packageFile.open(QIODevice::ReadOnly))
        return 1;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&packageFile);
    UpdateManifest manifest;
    manifest.version = QStringLiteral("1.0.6");
    manifest.packageUrl = server.url(QStringLiteral("package.zip")).toString();
    manifest.sha256 = QString::fromLatin1(hash.result().toHex());
    manifest.size = packageFile.size();
    std::printf("package: %.1f MiB, %d rounds, drive folder %s\n", double(manifest.size) / (1 << 20), rounds,
                qPrintable(work.path()));

    QList<double> ours;
    QList<double> plain;
    for (int round = 0; round < rounds; ++round) {
        const QString drive = work.filePath(QStringLiteral("ours"));
        if (!makePreparedDrive(drive, "old", QStringLiteral("1.0.5")))
            return 1;
        ::sync();
        QElapsedTimer clock;
        clock.start();
        const UpdateApplyResult result = applyUpdatePackage(drive, manifest);
        ours.append(clock.elapsed() / 1000.0);
        if (!result.success) {
            std::fprintf(stderr, "update: %s\n", qPrintable(result.error));
            return 1;
        }
        QDir(drive).removeRecursively();

        const QString other = work.filePath(QStringLiteral("plain"));
        if (!makePreparedDrive(other, "old", QStringLiteral("1.0.5")))
            return 1;
        ::sync();
        const QString script = QStringLiteral(
            "set -e; P=\"$1/Kavendru\"; curl -sf --cacert \"$2\" -o \"$P/package.zip\" \"$3\"; "
            "sha256sum \"$P/package.zip\" >/dev/null; unzip -q -o \"$P/package.zip\" -d \"$P/extracted\"; sync; "
            "mv \"$P/windows\" \"$P/windows.old\"; mv \"$P/extracted/Kavendru/windows\" \"$P/windows\"; "
            "mv \"$P/linux\" \"$P/linux.old\"; mv \"$P/extracted/Kavendru/linux\" \"$P/linux\"");
        clock.restart();
        const int code = QProcess::execute(QStringLiteral("sh"), {QStringLiteral("-c"), script, QStringLiteral("sh"),
                                                                   other, server.caPath(), manifest.packageUrl});
        plain.append(clock.elapsed() / 1000.0);
        if (code != 0) {
            std::fprintf(stderr, "plain commands failed: %d\n", code);
            return 1;
        }
        QDir(other).removeRecursively();
        std::printf("round %d: update %.2f s, plain %.2f s\n", round + 1, ours.last(), plain.last());
    }
    const double ratio = median(ours) / median(plain);
    std::printf("median: update %.2f s, curl + sha256sum + unzip + sync + mv %.2f s, ratio %.2f (goal: at most 1.3)\n",
                median(ours), median(plain), ratio);
    return 0;
}
