#include "SecureFileIndex.h"

#include "CompactJson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QVariant>


namespace Kavendru::Core {

namespace {

int digitsAt(QStringView text, qsizetype at, qsizetype count)
{
    int value = 0;
    for (qsizetype i = at; i < at + count; ++i) {
        const char16_t c = text.at(i).unicode();
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

QDateTime dateFromValue(const QJsonValue& value)
{
    const QString text = value.toString();
    if (text.isEmpty())
        return QDateTime();
    // The form this index writes, read without the generic parser; any
    // other text takes Qt's ISO reading.
    if (text.size() == 24 && text.at(4) == u'-' && text.at(7) == u'-' && text.at(10) == u'T' && text.at(13) == u':'
        && text.at(16) == u':' && text.at(19) == u'.' && text.at(23) == u'Z') {
        const int year = digitsAt(text, 0, 4), month = digitsAt(text, 5, 2), day = digitsAt(text, 8, 2);
        const int hour = digitsAt(text, 11, 2), minute = digitsAt(text, 14, 2), second = digitsAt(text, 17, 2);
        const int millisecond = digitsAt(text, 20, 3);
        const QDate date(year, month, day);
        const QTime time(hour, minute, second, millisecond);
        if (year >= 0 && month >= 0 && day >= 0 && hour >= 0 && minute >= 0 && second >= 0 && millisecond >= 0
            && date.isValid() && time.isValid())
            return QDateTime(date, time, Qt::UTC);
    }
    return QDateTime::fromString(text, Qt::ISODateWithMs);
}

qint64 integerFromValue(const QJsonValue& value)
{
    return value.toVariant().toLongLong();
}

} // namespace

bool SecureFileIndex::contains(const QString& vaultPath) const
{
    return filePositions.contains(vaultPath);
}

bool SecureFileIndex::containsDirectory(const QString& path) const
{
    return directoryPositions.contains(path);
}

void SecureFileIndex::clear()
{
    files.clear();
    directoryEntries.clear();
    filePositions.clear();
    directoryPositions.clear();
}

bool SecureFileIndex::addOrReplace(const VaultFileEntry& entry)
{
    if (entry.vaultPath.isEmpty())
        return false;
    const auto found = filePositions.constFind(entry.vaultPath);
    if (found != filePositions.constEnd()) {
        files[found.value()] = entry;
        return true;
    }
    filePositions.insert(entry.vaultPath, files.size());
    files.append(entry);
    return true;
}

bool SecureFileIndex::addDirectory(const VaultDirectoryEntry& entry)
{
    if (entry.path.isEmpty())
        return false;
    const auto found = directoryPositions.constFind(entry.path);
    if (found != directoryPositions.constEnd()) {
        directoryEntries[found.value()] = entry;
        return true;
    }
    directoryPositions.insert(entry.path, directoryEntries.size());
    directoryEntries.append(entry);
    return true;
}

bool SecureFileIndex::remove(const QString& vaultPath)
{
    const auto found = filePositions.constFind(vaultPath);
    if (found == filePositions.constEnd())
        return false;
    files.removeAt(found.value());
    rebuildFilePositions();
    return true;
}

bool SecureFileIndex::removeDirectory(const QString& path)
{
    const auto found = directoryPositions.constFind(path);
    if (found == directoryPositions.constEnd())
        return false;
    directoryEntries.removeAt(found.value());
    rebuildDirectoryPositions();
    return true;
}

void SecureFileIndex::rebuildFilePositions()
{
    filePositions.clear();
    filePositions.reserve(files.size());
    for (qsizetype i = 0; i < files.size(); ++i)
        filePositions.insert(files.at(i).vaultPath, i);
}

void SecureFileIndex::rebuildDirectoryPositions()
{
    directoryPositions.clear();
    directoryPositions.reserve(directoryEntries.size());
    for (qsizetype i = 0; i < directoryEntries.size(); ++i)
        directoryPositions.insert(directoryEntries.at(i).path, i);
}

QByteArray SecureFileIndex::toJson() const
{
    // Written by hand, byte for byte as QJsonDocument's compact writer does,
    // because the index is rewritten at every vault operation and the
    // generic writer costs several times more on large indexes.
    using namespace CompactJson;
    QByteArray json;
    json.reserve(64 + files.size() * 320 + directoryEntries.size() * 120);
    json += "{\"directories\":[";
    for (qsizetype i = 0; i < directoryEntries.size(); ++i) {
        const VaultDirectoryEntry& entry = directoryEntries.at(i);
        if (i > 0)
            json += ',';
        json += "{\"createdUtc\":";
        appendDate(json, entry.createdUtc);
        json += ",\"modifiedUtc\":";
        appendDate(json, entry.modifiedUtc);
        json += ",\"path\":";
        appendString(json, entry.path);
        json += '}';
    }
    json += "],\"files\":[";
    for (qsizetype i = 0; i < files.size(); ++i) {
        const VaultFileEntry& entry = files.at(i);
        if (i > 0)
            json += ',';
        json += "{\"blocks\":[";
        for (qsizetype b = 0; b < entry.blocks.size(); ++b) {
            const VaultFileBlock& block = entry.blocks.at(b);
            if (b > 0)
                json += ',';
            json += "{\"encryptedSize\":";
            appendInteger(json, block.encryptedSize);
            json += ",\"nonce\":\"";
            appendBase64(json, block.nonce);
            json += "\",\"offset\":";
            appendInteger(json, block.offset);
            json += ",\"plainSize\":";
            appendInteger(json, block.plainSize);
            json += '}';
        }
        json += "],\"id\":";
        appendString(json, entry.id);
        json += ",\"lastModifiedUtc\":";
        appendDate(json, entry.lastModifiedUtc);
        json += ",\"sha256\":\"";
        json += entry.sha256.toHex();
        json += "\",\"sizeBytes\":";
        appendInteger(json, entry.sizeBytes);
        json += ",\"vaultPath\":";
        appendString(json, entry.vaultPath);
        json += '}';
    }
    json += "],\"formatVersion\":1}";
    return json;
}

SecureFileIndex SecureFileIndex::fromJson(const QByteArray& json, bool* isObject)
{
    SecureFileIndex index;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    const bool object = error.error == QJsonParseError::NoError && document.isObject();
    if (isObject)
        *isObject = object;
    if (!object)
        return index;
    const QJsonObject root = document.object();

    const QJsonArray fileArray = root.value(QLatin1String("files")).toArray();
    index.files.reserve(fileArray.size());
    index.filePositions.reserve(fileArray.size());
    for (const QJsonValue& fileValue : fileArray) {
        const QJsonObject fileObject = fileValue.toObject();
        VaultFileEntry entry;
        entry.id = fileObject.value(QLatin1String("id")).toString();
        entry.vaultPath = fileObject.value(QLatin1String("vaultPath")).toString();
        entry.sizeBytes = integerFromValue(fileObject.value(QLatin1String("sizeBytes")));
        entry.lastModifiedUtc = dateFromValue(fileObject.value(QLatin1String("lastModifiedUtc")));
        entry.sha256 = QByteArray::fromHex(fileObject.value(QLatin1String("sha256")).toString().toLatin1());
        const QJsonArray blockArray = fileObject.value(QLatin1String("blocks")).toArray();
        entry.blocks.reserve(blockArray.size());
        for (const QJsonValue& blockValue : blockArray) {
            const QJsonObject blockObject = blockValue.toObject();
            VaultFileBlock block;
            block.offset = integerFromValue(blockObject.value(QLatin1String("offset")));
            block.plainSize = integerFromValue(blockObject.value(QLatin1String("plainSize")));
            block.encryptedSize = integerFromValue(blockObject.value(QLatin1String("encryptedSize")));
            block.nonce = CompactJson::fromBase64(blockObject.value(QLatin1String("nonce")).toString().toLatin1());
            entry.blocks.append(block);
        }
        index.addOrReplace(entry);
    }

    const QJsonArray directoryArray = root.value(QLatin1String("directories")).toArray();
    for (const QJsonValue& directoryValue : directoryArray) {
        const QJsonObject directoryObject = directoryValue.toObject();
        VaultDirectoryEntry entry;
        entry.path = directoryObject.value(QLatin1String("path")).toString();
        entry.createdUtc = dateFromValue(directoryObject.value(QLatin1String("createdUtc")));
        entry.modifiedUtc = dateFromValue(directoryObject.value(QLatin1String("modifiedUtc")));
        index.addDirectory(entry);
    }
    return index;
}

} // namespace Kavendru::Core
