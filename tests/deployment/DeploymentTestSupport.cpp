#include "DeploymentTestSupport.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

#include <sys/stat.h>

namespace DeploymentTest {

bool makeFile(const QString& path, const QByteArray& data)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(data) == data.size() && file.flush();
}

bool makeFileOfSize(const QString& path, qint64 size, char fill)
{
    return makeFile(path, QByteArray(size, fill));
}

bool makeScript(const QString& path, const QByteArray& body)
{
    return makeFile(path, body)
           && QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                              | QFileDevice::ReadGroup | QFileDevice::ExeGroup
                                              | QFileDevice::ReadOther | QFileDevice::ExeOther);
}

QStringList tree(const QString& root)
{
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    const QDir base(root);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        QString relative = base.relativeFilePath(info.filePath());
        if (info.isDir() && !info.isSymLink())
            relative += QLatin1Char('/');
        entries.append(relative);
    }
    entries.sort();
    return entries;
}

QStringList namesIn(const QString& folder)
{
    QStringList names = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    names.sort();
    return names;
}

quint64 inodeOf(const QString& path)
{
    struct stat status;
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return 0;
    return status.st_ino;
}

QString fixturePath(const QString& name)
{
    return QDir(QStringLiteral(KAVENDRU_DEPLOYMENT_FIXTURES)).filePath(name);
}

QString fixtureApp()
{
    return QStringLiteral(KAVENDRU_FIXTURE_APP);
}

QString fakeProgramFolder(const QString& parent, const QString& name, const QByteArray& script)
{
    const QString folder = QDir(parent).filePath(QStringLiteral("bin-") + name);
    if (!makeScript(QDir(folder).filePath(name), script))
        return QString();
    return folder;
}

QStringList realLddPaths(const QString& path)
{
    QProcess ldd;
    ldd.start(QStringLiteral("ldd"), {path});
    if (!ldd.waitForFinished(60000) || ldd.exitCode() != 0)
        return {};
    QStringList paths;
    const QStringList tokens = QString::fromLocal8Bit(ldd.readAllStandardOutput())
                                   .split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
    for (const QString& token : tokens) {
        if (token.startsWith(QLatin1Char('/')) && !paths.contains(token))
            paths.append(token);
    }
    return paths;
}

bool isGlibcName(const QString& fileName)
{
    static const QRegularExpression glibc(QStringLiteral(
        "^(ld-linux.*|libnss_.*|(libc|libm|libpthread|libdl|librt|libresolv|libutil|libanl|libmvec)\\.so.*)$"));
    return glibc.match(fileName).hasMatch();
}

} // namespace DeploymentTest
