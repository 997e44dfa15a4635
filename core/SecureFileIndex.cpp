#include "SecureFileIndex.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QVariant>

#include <cstdio>

namespace Kavendru::Core {

namespace {


char hexDigit(uint value)
{
    return char(value < 10 ? '0' + value : 'a' + value - 10);
}

// Escapes as QJsonDocument does: control characters, quote and backslash
// escaped, everything else as UTF-8, and a lone surrogate as \\uXXXX.
void appendJsonString(QByteArray& json, QStringView text)
{
    json += '"';
    const qsizetype size = text.size();
    for (qsizetype i = 0; i < size; ++i) {
        const char16_t unit = text.at(i).unicode();
        if (unit < 0x80) {
            if (unit >= 0x20 && unit != '"' && unit != '\\') {
                json += char(unit);
                continue;
            }
            json += '\\';
            switch (unit) {
            case '"': json += '"'; break;
            case '\\': json += '\\'; break;
            case 0x08: json += 'b'; break;
            case 0x0c: json += 'f'; break;
            case 0x0a: json += 'n'; break;
            case 0x0d: json += 'r'; break;
            case 0x09: json += 't'; break;
            default:
                json += "u00";
                json += hexDigit(unit >> 4);
                json += hexDigit(unit & 0xf);
            }
        } else if (unit < 0x800) {
            json += char(0xc0 | (unit >> 6));
            json += char(0x80 | (unit & 0x3f));
        } else if (QChar::isHighSurrogate(unit) && i + 1 < size && QChar::isLowSurrogate(text.at(i + 1).unicode())) {
            const char32_t code = QChar::surrogateToUcs4(unit, text.at(i + 1).unicode());
            ++i;
            json += char(0xf0 | (code >> 18));
            json += char(0x80 | ((code >> 12) & 0x3f));
            json += char(0x80 | ((code >> 6) & 0x3f));
            json += char(0x80 | (code & 0x3f));
        } else if (QChar::isSurrogate(unit)) {
            json += "\\u";
            json += hexDigit((unit >> 12) & 0xf);
            json += hexDigit((unit >> 8) & 0xf);
            json += hexDigit((unit >> 4) & 0xf);
            json += hexDigit(unit & 0xf);
        } else {
            json += char(0xe0 | (unit >> 12));
            json += char(0x80 | ((unit >> 6) & 0x3f));
            json += char(0x80 | (unit & 0x3f));
        }
    }
    json += '"';
}

// Appends the date as Qt::ISODateWithMs writes it in UTC, "" when null.
void appendJsonDate(QByteArray& json, const QDateTime& value)
{
    if (!value.isValid()) {
        json += "\"\"";
        return;
    }
    const QDateTime utc = value.toUTC();
    const QDate date = utc.date();
    const QTime time = utc.time();
    if (date.year() < 0 || date.year() > 9999) {
        appendJsonString(json, utc.toString(Qt::ISODateWithMs));
        return;
    }
    char buffer[32];
    const int length = std::snprintf(buffer, sizeof buffer, "\"%04d-%02d-%02dT%02d:%02d:%02d.%03dZ\"", date.year(),
                                     date.month(), date.day(), time.hour(), time.minute(), time.second(), time.msec());
    json.append(buffer, length);
}

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
    QByteArray json;
    json.reserve(64 + files.size() * 320 + directoryEntries.size() * 120);
    json += "{\"directories\":[";
    for (qsizetype i = 0; i < directoryEntries.size(); ++i) {
        const VaultDirectoryEntry& entry = directoryEntries.at(i);
        if (i > 0)
            json += ',';
        json += "{\"createdUtc\":";
        appendJsonDate(json, entry.createdUtc);
        json += ",\"modifiedUtc\":";
        appendJsonDate(json, entry.modifiedUtc);
        json += ",\"path\":";
        appendJsonString(json, entry.path);
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
            json += QByteArray::number(block.encryptedSize);
            json += ",\"nonce\":\"";
            json += block.nonce.toBase64();
            json += "\",\"offset\":";
            json += QByteArray::number(block.offset);
            json += ",\"plainSize\":";
            json += QByteArray::number(block.plainSize);
            json += '}';
        }
        json += "],\"id\":";
        appendJsonString(json, entry.id);
        json += ",\"lastModifiedUtc\":";
        appendJsonDate(json, entry.lastModifiedUtc);
        json += ",\"sha256\":\"";
        json += entry.sha256.toHex();
        json += "\",\"sizeBytes\":";
        json += QByteArray::number(entry.sizeBytes);
        json += ",\"vaultPath\":";
        appendJsonString(json, entry.vaultPath);
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
            block.nonce = QByteArray::fromBase64(blockObject.value(QLatin1String("nonce")).toString().toLatin1());
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
