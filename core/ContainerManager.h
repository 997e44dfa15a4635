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
    // Rewrites the header in place under a rollback journal beside the
    // container: the bytes about to be overwritten are on the device before
    // the first of them changes, and the journal is removed once the new
    // header is. An interrupted rewrite leaves the journal behind.
    bool updateDocumentHeader(const QString& path, const ContainerDocument& document) const;

    // The journal of an interrupted header rewrite of the container at path.
    QString headerJournalPath(const QString& path) const;
    // The document the journal would put back. False when there is no
    // journal, it is incomplete or damaged, it does not fit this container,
    // or the container still holds the bytes it kept: nothing to undo.
    // Whether to undo is the caller's call: a rewrite that finished leaves
    // its journal stale, and only a container that does not open tells.
    bool readJournaledDocument(const QString& path, ContainerDocument* document) const;
    // Puts the journal's bytes back (synced) and removes the journal; false,
    // with nothing written, for a journal readJournaledDocument refuses.
    bool restoreHeaderFromJournal(const QString& path) const;
    // Removes a journal that is known to be stale; true when none is left.
    bool removeHeaderJournal(const QString& path) const;

    QByteArray buildHeader(const ContainerDocument& document) const;
    QJsonObject cryptoMetadataToJson(const ContainerCryptoMetadata& metadata) const;
    ContainerCryptoMetadata cryptoMetadataFromJson(const QJsonObject& object) const;

    QByteArray readContainer(const QString& path) const;
    bool writeContainer(const QString& path, const QByteArray& data) const;

private:
    bool parseDocument(QIODevice& device, qint64 containerSize, ContainerDocument* document) const;
};

} // namespace Kavendru::Core
