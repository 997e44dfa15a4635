#include "ContainerManager.h"

#include "CompactJson.h"
#include "CryptoManager.h"
#include "DurableIo.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>

#include <algorithm>

namespace Kavendru::Core {

namespace {

const QByteArray kMagic = QByteArrayLiteral("SECUSB3");
constexpr qint64 kMagicSize = 7;
constexpr qint64 kHeaderStart = kMagicSize + ContainerManager::LengthLineSize;
// Valid length lines are 21 or 22 bytes; anything longer is not ours.
constexpr qint64 kMaxLengthLine = 64;
constexpr qint64 kZeroChunk = 1024 * 1024;

bool writeAll(QIODevice& device, const QByteArray& data)
{
    return writeFully(device, data.constData(), data.size());
}

bool writeZeros(QIODevice& device, qint64 count)
{
    static const QByteArray zeros(kZeroChunk, '\0');
    while (count > 0) {
        const qint64 chunk = std::min<qint64>(count, zeros.size());
        if (!writeFully(device, zeros.constData(), chunk))
            return false;
        count -= chunk;
    }
    return true;
}

QByteArray lengthLine(qint64 headerSize)
{
    return QByteArray::number(headerSize).rightJustified(20, '0') + '\n';
}

// Reads the length line right after the magic, at most kMaxLengthLine bytes.
// Returns false when no line feed ends it within that bound.
bool readLengthLine(QIODevice& device, QByteArray* line)
{
    const QByteArray read = device.readLine(kMaxLengthLine + 1);
    if (read.isEmpty() || !read.endsWith('\n'))
        return false;
    *line = read;
    return true;
}

bool parseHeaderLength(const QByteArray& line, qint64* length)
{
    bool ok = false;
    const qint64 value = line.trimmed().toLongLong(&ok, 10);
    if (!ok || value < 1 || value > ContainerManager::HeaderAreaSize)
        return false;
    *length = value;
    return true;
}

QByteArray base64(const QByteArray& bytes)
{
    return bytes.toBase64();
}

QByteArray fromBase64Value(const QJsonValue& value)
{
    return CompactJson::fromBase64(value.toString().toLatin1());
}

// Parses the header JSON. A header in the form this system writes has its
// large "encryptedIndex" string taken out before the generic parser sees
// it, and decoded directly; any other header is parsed whole. The result is
// the same either way.
bool parseHeader(const QByteArray& header, QJsonObject* root, QByteArray* encryptedIndex, bool* indexTakenOut)
{
    static const QByteArray marker = QByteArrayLiteral(",\"encryptedIndex\":\"");
    static const QByteArray tail = QByteArrayLiteral("\",\"formatVersion\":3,\"magic\":\"SECUSB\"}");
    *indexTakenOut = false;
    if (header.endsWith(tail)) {
        const qsizetype valueEnd = header.size() - tail.size();
        const qsizetype at = header.indexOf(marker);
        if (at >= 0 && at + marker.size() <= valueEnd) {
            const QByteArrayView head(header.constData(), at);
            const QByteArrayView value(header.constData() + at + marker.size(), valueEnd - at - marker.size());
            // Canonical base64 holds no quote, backslash or control byte:
            // the string ends where the tail begins, as the parser would see.
            QByteArray decoded;
            if (!head.contains(QByteArrayView("\"encryptedIndex\""))
                && CompactJson::decodeCanonicalBase64(value, &decoded)) {
                QByteArray rest = head.toByteArray();
                rest += ",\"encryptedIndex\":\"";
                rest += tail;
                QJsonParseError error;
                const QJsonDocument json = QJsonDocument::fromJson(rest, &error);
                if (error.error == QJsonParseError::NoError && json.isObject()) {
                    *root = json.object();
                    *encryptedIndex = decoded;
                    *indexTakenOut = true;
                    return true;
                }
            }
        }
    }
    QJsonParseError error;
    const QJsonDocument json = QJsonDocument::fromJson(header, &error);
    if (error.error != QJsonParseError::NoError || !json.isObject())
        return false;
    *root = json.object();
    return true;
}

// The rollback journal of a header rewrite: where the rewrite starts, how
// far it reaches and what those bytes held before (trailing NULs cut, as
// most of the area is fill). A checksum over all of it tells a journal cut
// short by a power cut.
const QByteArray kJournalMagic = QByteArrayLiteral("KAVENDRU-HEADER-JOURNAL 1\n");
constexpr qint64 kHashSize = ContentHash::Size;
constexpr qint64 kMaxJournalLine = 64;
constexpr qint64 kMaxRewrite = ContainerManager::LengthLineSize + ContainerManager::HeaderAreaSize;

struct HeaderJournal {
    qint64 offset = 0;
    qint64 length = 0;
    QByteArray before;

    QByteArray region() const { return before + QByteArray(length - before.size(), '\0'); }
};

bool decodeJournal(const QByteArray& bytes, HeaderJournal* journal)
{
    if (!bytes.startsWith(kJournalMagic))
        return false;
    const qsizetype lineEnd = bytes.indexOf('\n', kJournalMagic.size());
    if (lineEnd < 0 || lineEnd - kJournalMagic.size() > kMaxJournalLine)
        return false;
    const QList<QByteArray> fields = bytes.mid(kJournalMagic.size(), lineEnd - kJournalMagic.size()).split(' ');
    if (fields.size() != 3)
        return false;
    bool ok[3] = {};
    const qint64 offset = fields.at(0).toLongLong(&ok[0]);
    const qint64 length = fields.at(1).toLongLong(&ok[1]);
    const qint64 stored = fields.at(2).toLongLong(&ok[2]);
    if (!ok[0] || !ok[1] || !ok[2] || offset != kMagicSize || length < 1 || length > kMaxRewrite || stored < 0
        || stored > length)
        return false;
    const qint64 bodyStart = lineEnd + 1;
    if (bytes.size() != bodyStart + stored + kHashSize)
        return false;
    const QByteArrayView all(bytes);
    const QByteArray checksum = ContentHash::of(all.first(bytes.size() - kHashSize));
    if (checksum.isEmpty() || checksum != all.last(kHashSize))
        return false;
    journal->offset = offset;
    journal->length = length;
    journal->before = bytes.mid(bodyStart, stored);
    return true;
}

// A journal is only ever a plain file: a link or a device planted under its
// name must be neither followed nor read.
bool loadJournal(const QString& journalPath, HeaderJournal* journal)
{
    const QFileInfo info(journalPath);
    const qint64 maxSize = kJournalMagic.size() + kMaxJournalLine + 1 + kMaxRewrite + kHashSize;
    if (info.isSymLink() || !info.isFile() || info.size() > maxSize)
        return false;
    QFile file(journalPath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    return decodeJournal(file.read(maxSize + 1), journal);
}

// Written whole, synced and with its folder synced, or not at all. The
// old bytes are written from where they lie, without a copy.
bool writeJournal(const QString& journalPath, qint64 offset, qint64 length, QByteArrayView before)
{
    const QByteArray head = kJournalMagic + QByteArray::number(offset) + ' ' + QByteArray::number(length) + ' '
        + QByteArray::number(before.size()) + '\n';
    ContentHash checksum;
    checksum.addData(head);
    checksum.addData(before);
    const QByteArray sum = checksum.result();
    if (sum.isEmpty())
        return false;

    // A fresh file: never through a link that lies under the name.
    QFile::remove(journalPath);
    QFile journal(journalPath);
    bool ok = journal.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)
        && writeAll(journal, head) && writeFully(journal, before.data(), before.size()) && writeAll(journal, sum)
        && syncFileToDevice(journal);
    journal.close();
    ok = ok && syncDirectory(QFileInfo(journalPath).absolutePath());
    if (!ok)
        QFile::remove(journalPath);
    return ok;
}

// Whether the journal still has something to undo in the container: the
// bytes it guarded are no longer what they were.
bool journalUndoes(const QString& path, const HeaderJournal& journal, qint64* containerSize)
{
    QFile container(path);
    if (!container.open(QIODevice::ReadOnly) || container.read(kMagicSize) != kMagic)
        return false;
    if (container.size() < journal.offset + journal.length || !container.seek(journal.offset))
        return false;
    const QByteArray current = container.read(journal.length);
    if (current.size() != journal.length)
        return false;
    if (current == journal.region())
        return false;
    *containerSize = container.size();
    return true;
}

} // namespace

QString ContainerManager::containerPath(const QString& usbRoot) const
{
    return QDir(usbRoot).filePath(QStringLiteral("kavendru.susb"));
}

bool ContainerManager::containerExists(const QString& usbRoot) const
{
    return QFileInfo::exists(containerPath(usbRoot));
}

QJsonObject ContainerManager::cryptoMetadataToJson(const ContainerCryptoMetadata& metadata) const
{
    QJsonObject object;
    object.insert(QStringLiteral("authTag"), QString::fromLatin1(base64(metadata.authTag)));
    object.insert(QStringLiteral("cipher"), metadata.cipher);
    object.insert(QStringLiteral("encryptedMasterKey"), QString::fromLatin1(base64(metadata.encryptedMasterKey)));
    object.insert(QStringLiteral("kdf"), metadata.kdf);
    object.insert(QStringLiteral("kdfIterations"), metadata.kdfIterations);
    object.insert(QStringLiteral("nonce"), QString::fromLatin1(base64(metadata.nonce)));
    object.insert(QStringLiteral("payloadNonce"), QString::fromLatin1(base64(metadata.payloadNonce)));
    object.insert(QStringLiteral("salt"), QString::fromLatin1(base64(metadata.salt)));
    return object;
}

ContainerCryptoMetadata ContainerManager::cryptoMetadataFromJson(const QJsonObject& object) const
{
    ContainerCryptoMetadata metadata;
    metadata.kdf = object.value(QStringLiteral("kdf")).toString();
    metadata.cipher = object.value(QStringLiteral("cipher")).toString();
    metadata.kdfIterations = object.value(QStringLiteral("kdfIterations")).toInt(250000);
    metadata.salt = fromBase64Value(object.value(QStringLiteral("salt")));
    metadata.nonce = fromBase64Value(object.value(QStringLiteral("nonce")));
    metadata.payloadNonce = fromBase64Value(object.value(QStringLiteral("payloadNonce")));
    metadata.authTag = fromBase64Value(object.value(QStringLiteral("authTag")));
    metadata.encryptedMasterKey = fromBase64Value(object.value(QStringLiteral("encryptedMasterKey")));
    return metadata;
}

QByteArray ContainerManager::buildHeader(const ContainerDocument& document) const
{
    // The compact form QJsonDocument gives for the object of "crypto",
    // "encryptedIndex", "formatVersion" and "magic", written directly: the
    // index in it is megabytes of base64 that the generic writer would
    // escape character by character at every save.
    using namespace CompactJson;
    const ContainerCryptoMetadata& crypto = document.crypto;
    QByteArray json;
    json.reserve(400 + (document.encryptedIndex.size() + 2) / 3 * 4);
    json += "{\"crypto\":{\"authTag\":\"";
    appendBase64(json, crypto.authTag);
    json += "\",\"cipher\":";
    appendString(json, crypto.cipher);
    json += ",\"encryptedMasterKey\":\"";
    appendBase64(json, crypto.encryptedMasterKey);
    json += "\",\"kdf\":";
    appendString(json, crypto.kdf);
    json += ",\"kdfIterations\":";
    appendInteger(json, crypto.kdfIterations);
    json += ",\"nonce\":\"";
    appendBase64(json, crypto.nonce);
    json += "\",\"payloadNonce\":\"";
    appendBase64(json, crypto.payloadNonce);
    json += "\",\"salt\":\"";
    appendBase64(json, crypto.salt);
    json += "\"},\"encryptedIndex\":\"";
    appendBase64(json, document.encryptedIndex);
    json += "\",\"formatVersion\":";
    appendInteger(json, document.formatVersion);
    json += ",\"magic\":\"SECUSB\"}";
    return json;
}

bool ContainerManager::readDocument(const QString& path, ContainerDocument* document) const
{
    if (!document)
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    return parseDocument(file, file.size(), document);
}

// Reads a container's start from the device (positioned at 0); the file
// the header belongs to is containerSize bytes long.
bool ContainerManager::parseDocument(QIODevice& device, qint64 containerSize, ContainerDocument* document) const
{
    if (device.read(kMagicSize) != kMagic)
        return false;

    QByteArray line;
    qint64 headerSize = 0;
    if (!readLengthLine(device, &line) || !parseHeaderLength(line, &headerSize))
        return false;

    // The whole header area must be present even though only N bytes of it
    // are read.
    const qint64 headerStart = kMagicSize + line.size();
    if (containerSize < headerStart + HeaderAreaSize)
        return false;

    const QByteArray header = device.read(headerSize);
    if (header.size() != headerSize)
        return false;

    QByteArray encryptedIndex;
    bool indexTakenOut = false;
    QJsonObject root;
    if (!parseHeader(header, &root, &encryptedIndex, &indexTakenOut))
        return false;
    if (root.value(QStringLiteral("magic")).toString() != QLatin1String("SECUSB"))
        return false;
    if (root.value(QStringLiteral("formatVersion")).toInt(0) != 3)
        return false;

    ContainerDocument result;
    result.formatVersion = 3;
    result.crypto = cryptoMetadataFromJson(root.value(QStringLiteral("crypto")).toObject());
    const QJsonObject clearIndex = root.value(QStringLiteral("fileIndex")).toObject();
    result.fileIndex = SecureFileIndex::fromJson(QJsonDocument(clearIndex).toJson(QJsonDocument::Compact));
    result.encryptedIndex =
        indexTakenOut ? encryptedIndex : fromBase64Value(root.value(QStringLiteral("encryptedIndex")));
    result.encryptedPayload = fromBase64Value(root.value(QStringLiteral("encryptedPayload")));
    const QJsonObject payloads = root.value(QStringLiteral("filePayloads")).toObject();
    for (auto it = payloads.constBegin(); it != payloads.constEnd(); ++it)
        result.filePayloads.insert(it.key(), fromBase64Value(it.value()));
    result.payloadOffset = headerStart + HeaderAreaSize;

    *document = result;
    return true;
}

bool ContainerManager::writeDocument(const QString& path, const ContainerDocument& document,
                                     const PayloadWriter& payloadWriter) const
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const auto fail = [&file]() {
        file.cancelWriting();
        return false;
    };

    if (!writeAll(file, kMagic) || !writeAll(file, QByteArray(20, '0') + '\n')
        || !writeZeros(file, HeaderAreaSize))
        return fail();

    if (payloadWriter && !payloadWriter(&file))
        return fail();

    // Built only now: a payload writer may still complete the document.
    const QByteArray header = buildHeader(document);
    if (header.size() > HeaderAreaSize)
        return fail();

    // The area is already NUL-filled, so the line and the header suffice.
    if (!file.seek(kMagicSize) || !writeAll(file, lengthLine(header.size())) || !writeAll(file, header))
        return fail();

    if (!syncFileToDevice(file))
        return fail();
    if (!file.commit())
        return false;
    syncDirectory(QFileInfo(path).absolutePath());
    // A journal beside the path belonged to the file just replaced.
    removeHeaderJournal(path);
    return true;
}

bool ContainerManager::writeDocument(const QString& path, const ContainerDocument& document) const
{
    return writeDocument(path, document, PayloadWriter());
}

bool ContainerManager::updateDocumentHeader(const QString& path, const ContainerDocument& document) const
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite | QIODevice::ExistingOnly | QIODevice::Unbuffered))
        return false;
    if (file.read(kMagicSize) != kMagic)
        return false;

    // A shorter length line means the existing header area starts before 28;
    // a rewrite at 28 would then run into the first block.
    QByteArray oldLine;
    if (!readLengthLine(file, &oldLine) || oldLine.size() < LengthLineSize)
        return false;
    const qint64 oldHeaderStart = kMagicSize + oldLine.size();
    if (file.size() < oldHeaderStart + HeaderAreaSize)
        return false;

    const QByteArray header = buildHeader(document);
    if (header.size() > HeaderAreaSize)
        return false;

    // Write only as far as either header reaches; the rest of the area is
    // already NUL. An unreadable old length clears the whole area.
    qint64 oldHeaderSize = 0;
    qint64 writeEnd = kHeaderStart + HeaderAreaSize;
    if (parseHeaderLength(oldLine, &oldHeaderSize))
        writeEnd = std::min(writeEnd, std::max(kHeaderStart + header.size(), oldHeaderStart + oldHeaderSize));

    if (!file.seek(kMagicSize))
        return false;
    const QByteArray previous = file.read(writeEnd - kMagicSize);
    if (previous.size() != writeEnd - kMagicSize)
        return false;

    const QByteArray line = lengthLine(header.size());
    const qint64 fill = writeEnd - kHeaderStart - header.size();
    qsizetype kept = previous.size();
    while (kept > 0 && previous.at(kept - 1) == '\0')
        --kept;
    const QString journalPath = headerJournalPath(path);
    if (!writeJournal(journalPath, kMagicSize, writeEnd - kMagicSize, QByteArrayView(previous.constData(), kept)))
        return false;

    const bool written = file.seek(kMagicSize) && writeAll(file, line) && writeAll(file, header)
        && writeZeros(file, fill) && syncFileToDevice(file);
    if (written) {
        QFile::remove(journalPath);
        return true;
    }

    // Put back what was written so far, so the header still matches the old
    // index; the journal goes only once that is on the device.
    const qint64 reached = std::clamp(file.pos(), kMagicSize, writeEnd);
    file.unsetError();
    if (file.seek(kMagicSize) && writeFully(file, previous.constData(), reached - kMagicSize)
        && syncFileToDevice(file))
        QFile::remove(journalPath);
    return false;
}

QString ContainerManager::headerJournalPath(const QString& path) const
{
    return path + QStringLiteral(".journal");
}

bool ContainerManager::readJournaledDocument(const QString& path, ContainerDocument* document) const
{
    HeaderJournal journal;
    qint64 containerSize = 0;
    if (!document || !loadJournal(headerJournalPath(path), &journal)
        || !journalUndoes(path, journal, &containerSize))
        return false;
    QByteArray start = kMagic + journal.region();
    QBuffer buffer(&start);
    if (!buffer.open(QIODevice::ReadOnly))
        return false;
    return parseDocument(buffer, containerSize, document);
}

bool ContainerManager::restoreHeaderFromJournal(const QString& path) const
{
    HeaderJournal journal;
    qint64 containerSize = 0;
    const QString journalPath = headerJournalPath(path);
    if (!loadJournal(journalPath, &journal) || !journalUndoes(path, journal, &containerSize))
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite | QIODevice::ExistingOnly | QIODevice::Unbuffered))
        return false;
    if (!file.seek(journal.offset) || !writeAll(file, journal.region()) || !syncFileToDevice(file))
        return false;
    file.close();
    // Left behind by a power cut now, the journal would be stale: the
    // container holds its bytes.
    QFile::remove(journalPath);
    return true;
}

bool ContainerManager::removeHeaderJournal(const QString& path) const
{
    const QString journalPath = headerJournalPath(path);
    const QFileInfo info(journalPath);
    if (!info.exists() && !info.isSymLink())
        return true;
    return QFile::remove(journalPath);
}

QByteArray ContainerManager::readContainer(const QString& path) const
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

bool ContainerManager::writeContainer(const QString& path, const QByteArray& data) const
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (!writeAll(file, data) || !syncFileToDevice(file)) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

} // namespace Kavendru::Core
