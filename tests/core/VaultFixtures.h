#pragma once

#include "core/ContainerManager.h"
#include "core/SecureFileIndex.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QTemporaryDir>

#include <memory>

namespace Kavendru::Core {
class VaultManager;
}

namespace KavendruTest {

// Writes a vault whose header names PBKDF2 with few iterations, so tests
// that are not about the key derivation do not pay for Argon2id.
bool writeFastVault(const QString& path, const QByteArray& password,
                    const Kavendru::Core::SecureFileIndex& index = Kavendru::Core::SecureFileIndex(),
                    int iterations = 1, const QByteArray& indexPlaintext = QByteArray());

// The header JSON of a container, and a way to put an edited one back in
// place (a tampered header, a missing key).
QJsonObject readHeaderJson(const QString& path);
bool writeHeaderJson(const QString& path, const QJsonObject& header);

// A fresh folder that is also the process's temporary location (so the
// workspace and compaction folders land in it), holding an unlocked fast
// vault at "kavendru.susb".
bool openFreshVault(const QByteArray& password, std::unique_ptr<QTemporaryDir>* folder, QString* tmp,
                    QString* containerPath, std::unique_ptr<Kavendru::Core::VaultManager>* vault);

QByteArray randomBytes(qint64 size, quint32 seed);
bool writeRandomFile(const QString& path, qint64 size, quint32 seed);

} // namespace KavendruTest
