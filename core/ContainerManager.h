#pragma once

#include "SecureFileIndex.h"

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QString>

#include <functional>

class QIODevice;

namespace Kavendru::Core {

struct ContainerCryptoMetadata {
    QString kdf;
    QString cipher;
    int kdfIterations = 250000;
    QByteArray salt;
    QByteArray nonce;
    QByteArray payloadNonce;
    QByteArray authTag;
    QByteArray encryptedMasterKey;
};

struct ContainerDocument {
    int formatVersion = 3;
    ContainerCryptoMetadata crypto;
    SecureFileIndex fileIndex;
    QByteArray encryptedIndex;
    QByteArray encryptedPayload;
    QHash<QString, QByteArray> filePayloads;
    qint64 payloadOffset = 0;
};

// Reads and writes the "SECUSB3" container file: magic, a 20-digit length
// line and a fixed 8 MiB header area, followed by the block area.
class ContainerManager {
public:
    using PayloadWriter = std::function<bool(QIODevice*)>;

    static constexpr qint64 HeaderAreaSize = 8388608;
    static constexpr qint64 LengthLineSize = 21; // 20 digits and a line feed
    static constexpr qint64 PayloadStart = 7 + LengthLineSize + HeaderAreaSize;

    QString containerPath(const QString& usbRoot) const;
    bool containerExists(const QString& usbRoot) const;

    bool readDocument(const QString& path, ContainerDocument* document) const;
    bool writeDocument(const QString& path, const ContainerDocument& document,
                       const PayloadWriter& payloadWriter) const;
    bool writeDocument(const QString& path, const ContainerDocument& document) const;
    bool updateDocumentHeader(const QString& path, const ContainerDocument& document) const;

    QByteArray buildHeader(const ContainerDocument& document) const;
    QJsonObject cryptoMetadataToJson(const ContainerCryptoMetadata& metadata) const;
    ContainerCryptoMetadata cryptoMetadataFromJson(const QJsonObject& object) const;

    QByteArray readContainer(const QString& path) const;
    bool writeContainer(const QString& path, const QByteArray& data) const;
};

} // namespace Kavendru::Core
