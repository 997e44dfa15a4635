#include "SecureFileIndex.h"

#include "CompactJson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QVariant>

#include <cstring>

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

QDateTime dateFromText(const QString& text)
{
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

QDateTime dateFromValue(const QJsonValue& value)
{
    return dateFromText(value.toString());
}

// Reads the index exactly in the form toJson writes it, without building
// a JSON tree first. Anything else it meets (another key order, blanks, a
// \u escape, a number that is not a plain integer, text that is not
// strict UTF-8) makes it give up, and the generic reading decides.
class CanonicalIndexReader {
public:
    explicit CanonicalIndexReader(const QByteArray& json)
        : p(json.constData())
        , end(json.constData() + json.size())
    {
    }

    bool read(SecureFileIndex* index)
    {
        if (!literal("{\"directories\":["))
            return false;
        if (!literal("]")) {
            do {
                VaultDirectoryEntry entry;
                QString created;
                QString modified;
                if (!literal("{\"createdUtc\":") || !string(&created) || !literal(",\"modifiedUtc\":") || !string(&modified)
                    || !literal(",\"path\":") || !string(&entry.path) || !literal("}"))
                    return false;
                entry.createdUtc = dateFromText(created);
                entry.modifiedUtc = dateFromText(modified);
                directories.append(entry);
            } while (literal(","));
            if (!literal("]"))
                return false;
        }
        if (!literal(",\"files\":["))
            return false;
        if (!literal("]")) {
            do {
                VaultFileEntry entry;
                if (!literal("{\"blocks\":["))
                    return false;
                if (!literal("]")) {
                    do {
                        VaultFileBlock block;
                        QString nonce;
                        if (!literal("{\"encryptedSize\":") || !integer(&block.encryptedSize) || !literal(",\"nonce\":")
                            || !string(&nonce) || !literal(",\"offset\":") || !integer(&block.offset)
                            || !literal(",\"plainSize\":") || !integer(&block.plainSize) || !literal("}"))
                            return false;
                        block.nonce = CompactJson::fromBase64(nonce.toLatin1());
                        entry.blocks.append(block);
                    } while (literal(","));
                    if (!literal("]"))
                        return false;
                }
                QString modified;
                QString sha;
                if (!literal(",\"id\":") || !string(&entry.id) || !literal(",\"lastModifiedUtc\":") || !string(&modified)
                    || !literal(",\"sha256\":") || !string(&sha) || !literal(",\"sizeBytes\":") || !integer(&entry.sizeBytes)
                    || !literal(",\"vaultPath\":") || !string(&entry.vaultPath) || !literal("}"))
                    return false;
                entry.lastModifiedUtc = dateFromText(modified);
                entry.sha256 = QByteArray::fromHex(sha.toLatin1());
                files.append(entry);
            } while (literal(","));
            if (!literal("]"))
                return false;
        }
        if (!literal(",\"formatVersion\":"))
            return false;
        qint64 version = 0;
        if (!integer(&version) || !literal("}") || p != end)
            return false;
        for (const VaultFileEntry& entry : files)
            index->addOrReplace(entry);
        for (const VaultDirectoryEntry& entry : directories)
            index->addDirectory(entry);
        return true;
    }

private:
    template <qsizetype N>
    bool literal(const char (&text)[N])
    {
        constexpr qsizetype size = N - 1;
        if (end - p < size || std::memcmp(p, text, size) != 0)
            return false;
        p += size;
        return true;
    }

    bool integer(qint64* value)
    {
        const bool negative = p < end && *p == '-';
        if (negative)
            ++p;
        const char* digits = p;
        quint64 magnitude = 0;
        while (p < end && *p >= '0' && *p <= '9')
            magnitude = magnitude * 10 + quint64(*p++ - '0');
        const qsizetype count = p - digits;
        // Plain decimal integers of up to 18 digits are exact; leading zeros,
        // "-0", fractions and exponents are left to the generic reading.
        if (count == 0 || count > 18 || (count > 1 && *digits == '0') || (negative && magnitude == 0))
            return false;
        if (p < end && (*p == '.' || *p == 'e' || *p == 'E'))
            return false;
        *value = negative ? -qint64(magnitude) : qint64(magnitude);
        return true;
    }

    bool string(QString* value)
    {
        if (p >= end || *p != '"')
            return false;
        ++p;
        const char* start = p;
        bool plain = true;
        while (p < end && *p != '"') {
            const uchar c = uchar(*p);
            if (c < 0x20)
                return false;
            if (c == '\\' || c >= 0x80)
                plain = false;
            if (c == '\\') {
                if (end - p < 2)
                    return false;
                ++p;
            }
            ++p;
        }
        if (p >= end)
            return false;
        const qsizetype size = p - start;
        ++p;
        if (plain) {
            *value = QString::fromLatin1(start, size);
            return true;
        }
        QByteArray utf8;
        utf8.reserve(size);
        for (const char* q = start; q < start + size; ++q) {
            if (*q != '\\') {
                utf8.append(*q);
                continue;
            }
            switch (*++q) {
            case '"': utf8.append('"'); break;
            case '\\': utf8.append('\\'); break;
            case '/': utf8.append('/'); break;
            case 'b': utf8.append('\b'); break;
            case 'f': utf8.append('\f'); break;
            case 'n': utf8.append('\n'); break;
            case 'r': utf8.append('\r'); break;
            case 't': utf8.append('\t'); break;
            default: return false;
            }
        }
        if (!isStrictUtf8(utf8))
            return false;
        *value = QString::fromUtf8(utf8);
        return true;
    }

    static bool isStrictUtf8(const QByteArray& bytes)
    {
        const auto* s = reinterpret_cast<const uchar*>(bytes.constData());
        const qsizetype size = bytes.size();
        for (qsizetype i = 0; i < size;) {
            const uchar c = s[i];
            if (c < 0x80) {
                ++i;
                continue;
            }
            int length = 0;
            char32_t code = 0;
            char32_t minimum = 0;
            if ((c & 0xe0) == 0xc0) {
                length = 2;
                code = c & 0x1f;
                minimum = 0x80;
            } else if ((c & 0xf0) == 0xe0) {
                length = 3;
                code = c & 0x0f;
                minimum = 0x800;
            } else if ((c & 0xf8) == 0xf0) {
                length = 4;
                code = c & 0x07;
                minimum = 0x10000;
            } else {
                return false;
            }
            if (size - i < length)
                return false;
            for (int k = 1; k < length; ++k) {
                if ((s[i + k] & 0xc0) != 0x80)
                    return false;
                code = (code << 6) | (s[i + k] & 0x3f);
            }
            if (code < minimum || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff))
                return false;
            i += length;
        }
        return true;
    }

    const char* p;
    const char* end;
    QList<VaultFileEntry> files;
    QList<VaultDirectoryEntry> directories;
};

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
    {
        CanonicalIndexReader reader(json);
        SecureFileIndex canonical;
        if (reader.read(&canonical)) {
            if (isObject)
                *isObject = true;
            return canonical;
        }
    }
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
