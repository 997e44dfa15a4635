#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace DeploymentTest {

// Writes a file, making its folders; fails the current test on error.
bool makeFile(const QString& path, const QByteArray& data);
bool makeFileOfSize(const QString& path, qint64 size, char fill = 'k');
// A shell script with execute permission.
bool makeScript(const QString& path, const QByteArray& body);

// Every file and folder below root, relative, sorted, folders with a "/".
// Hidden entries and the contents of linked folders are included.
QStringList tree(const QString& root);
// Names in one folder, sorted, hidden ones included.
QStringList namesIn(const QString& folder);

quint64 inodeOf(const QString& path);
QString fixturePath(const QString& name);
QString fixtureApp();

// A folder for fake system programs: an "ldd" or "ldconfig" script.
QString fakeProgramFolder(const QString& parent, const QString& name, const QByteArray& script);

// Absolute paths that the real ldd prints for a file.
QStringList realLddPaths(const QString& path);
bool isGlibcName(const QString& fileName);

} // namespace DeploymentTest
