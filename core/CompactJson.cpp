#include "CompactJson.h"

#include <QString>

namespace Kavendru::Core::CompactJson {

namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

char hexDigit(uint value)
{
    return char(value < 10 ? '0' + value : 'a' + value - 10);
}

// Grows the array by up to maxExtra bytes and hands back where to write;
// finish() cuts it to what was written.
struct Appender {
    QByteArray& out;
    qsizetype start;
    char* cursor;

    Appender(QByteArray& target, qsizetype maxExtra)
        : out(target)
        , start(target.size())
    {
        out.resize(start + maxExtra);
        cursor = out.data() + start;
    }
    void finish() { out.resize(cursor - out.constData()); }
};

char* writeDigits(char* cursor, int value, int width)
{
    for (int i = width - 1; i >= 0; --i) {
        cursor[i] = char('0' + value % 10);
        value /= 10;
    }
    return cursor + width;
}

// 0-63 for the alphabet, 0xff for anything else.
struct DecodeTable {
    uchar values[256];
    constexpr DecodeTable()
        : values()
    {
        for (int i = 0; i < 256; ++i)
            values[i] = 0xff;
        for (int i = 0; i < 64; ++i)
            values[uchar(kBase64[i])] = uchar(i);
    }
};
constexpr DecodeTable kDecode;

// Two output characters for every 12 bits of input.
struct PairTable {
    char pairs[4096][2];
    constexpr PairTable()
        : pairs()
    {
        for (int i = 0; i < 4096; ++i) {
            pairs[i][0] = kBase64[i >> 6];
            pairs[i][1] = kBase64[i & 63];
        }
    }
};
constexpr PairTable kPairs;

} // namespace

void appendString(QByteArray& json, QStringView text)
{
    const qsizetype size = text.size();
    Appender out(json, size * 6 + 2);
    char* p = out.cursor;
    *p++ = '"';
    const char16_t* units = text.utf16();
    for (qsizetype i = 0; i < size; ++i) {
        const char16_t unit = units[i];
        if (unit < 0x80) {
            if (unit >= 0x20 && unit != '"' && unit != '\\') {
                *p++ = char(unit);
                continue;
            }
            *p++ = '\\';
            switch (unit) {
            case '"': *p++ = '"'; break;
            case '\\': *p++ = '\\'; break;
            case 0x08: *p++ = 'b'; break;
            case 0x0c: *p++ = 'f'; break;
            case 0x0a: *p++ = 'n'; break;
            case 0x0d: *p++ = 'r'; break;
            case 0x09: *p++ = 't'; break;
            default:
                *p++ = 'u';
                *p++ = '0';
                *p++ = '0';
                *p++ = hexDigit(unit >> 4);
                *p++ = hexDigit(unit & 0xf);
            }
        } else if (unit < 0x800) {
            *p++ = char(0xc0 | (unit >> 6));
            *p++ = char(0x80 | (unit & 0x3f));
        } else if (QChar::isHighSurrogate(unit) && i + 1 < size && QChar::isLowSurrogate(units[i + 1])) {
            const char32_t code = QChar::surrogateToUcs4(unit, units[++i]);
            *p++ = char(0xf0 | (code >> 18));
            *p++ = char(0x80 | ((code >> 12) & 0x3f));
            *p++ = char(0x80 | ((code >> 6) & 0x3f));
            *p++ = char(0x80 | (code & 0x3f));
        } else if (QChar::isSurrogate(unit)) {
            // Qt writes a lone surrogate as an escape.
            *p++ = '\\';
            *p++ = 'u';
            *p++ = hexDigit((unit >> 12) & 0xf);
            *p++ = hexDigit((unit >> 8) & 0xf);
            *p++ = hexDigit((unit >> 4) & 0xf);
            *p++ = hexDigit(unit & 0xf);
        } else {
            *p++ = char(0xe0 | (unit >> 12));
            *p++ = char(0x80 | ((unit >> 6) & 0x3f));
            *p++ = char(0x80 | (unit & 0x3f));
        }
    }
    *p++ = '"';
    out.cursor = p;
    out.finish();
}

void appendInteger(QByteArray& json, qint64 value)
{
    char buffer[24];
    char* end = buffer + sizeof buffer;
    char* p = end;
    // Work in unsigned so the most negative value has a magnitude too.
    quint64 magnitude = value < 0 ? 0 - quint64(value) : quint64(value);
    do {
        *--p = char('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0)
        *--p = '-';
    json.append(p, end - p);
}

void appendDate(QByteArray& json, const QDateTime& value)
{
    if (!value.isValid()) {
        json.append("\"\"", 2);
        return;
    }
    const QDateTime utc = value.toUTC();
    const QDate date = utc.date();
    const QTime time = utc.time();
    if (date.year() < 0 || date.year() > 9999) {
        appendString(json, utc.toString(Qt::ISODateWithMs));
        return;
    }
    char buffer[26];
    char* p = buffer;
    *p++ = '"';
    p = writeDigits(p, date.year(), 4);
    *p++ = '-';
    p = writeDigits(p, date.month(), 2);
    *p++ = '-';
    p = writeDigits(p, date.day(), 2);
    *p++ = 'T';
    p = writeDigits(p, time.hour(), 2);
    *p++ = ':';
    p = writeDigits(p, time.minute(), 2);
    *p++ = ':';
    p = writeDigits(p, time.second(), 2);
    *p++ = '.';
    p = writeDigits(p, time.msec(), 3);
    *p++ = 'Z';
    *p++ = '"';
    json.append(buffer, p - buffer);
}

void appendBase64(QByteArray& json, QByteArrayView bytes)
{
    const qsizetype size = bytes.size();
    Appender out(json, (size + 2) / 3 * 4);
    char* p = out.cursor;
    const auto* in = reinterpret_cast<const uchar*>(bytes.data());
    qsizetype i = 0;
    for (; i + 3 <= size; i += 3) {
        const uint triple = (uint(in[i]) << 16) | (uint(in[i + 1]) << 8) | in[i + 2];
        const char* high = kPairs.pairs[triple >> 12];
        const char* low = kPairs.pairs[triple & 0xfff];
        p[0] = high[0];
        p[1] = high[1];
        p[2] = low[0];
        p[3] = low[1];
        p += 4;
    }
    if (i < size) {
        const uint first = in[i];
        const uint second = i + 1 < size ? in[i + 1] : 0;
        const uint triple = (first << 16) | (second << 8);
        *p++ = kBase64[(triple >> 18) & 63];
        *p++ = kBase64[(triple >> 12) & 63];
        *p++ = i + 1 < size ? kBase64[(triple >> 6) & 63] : '=';
        *p++ = '=';
    }
    out.cursor = p;
    out.finish();
}

bool decodeCanonicalBase64(QByteArrayView text, QByteArray* decoded)
{
    const qsizetype size = text.size();
    const auto* in = reinterpret_cast<const uchar*>(text.data());
    if (size % 4 != 0)
        return false;
    if (size == 0) {
        *decoded = QByteArray();
        return true;
    }
    qsizetype padding = 0;
    if (in[size - 1] == '=')
        padding = in[size - 2] == '=' ? 2 : 1;
    QByteArray result(size / 4 * 3, Qt::Uninitialized);
    auto* out = reinterpret_cast<uchar*>(result.data());
    const qsizetype whole = size - (padding > 0 ? 4 : 0);
    uint invalid = 0;
    for (qsizetype i = 0; i < whole; i += 4) {
        const uint a = kDecode.values[in[i]], b = kDecode.values[in[i + 1]];
        const uint c = kDecode.values[in[i + 2]], d = kDecode.values[in[i + 3]];
        invalid |= a | b | c | d;
        const uint quad = (a << 18) | (b << 12) | (c << 6) | d;
        out[0] = uchar(quad >> 16);
        out[1] = uchar(quad >> 8);
        out[2] = uchar(quad);
        out += 3;
    }
    if (padding > 0) {
        const qsizetype i = whole;
        const uint a = kDecode.values[in[i]], b = kDecode.values[in[i + 1]];
        const uint c = padding == 2 ? 0 : kDecode.values[in[i + 2]];
        invalid |= a | b | c;
        const uint quad = (a << 18) | (b << 12) | (c << 6);
        out[0] = uchar(quad >> 16);
        out[1] = uchar(quad >> 8);
        out[2] = uchar(quad);
    }
    // Any character outside the alphabet has the high bits set.
    if (invalid & 0xc0)
        return false;
    result.resize(result.size() - padding);
    *decoded = result;
    return true;
}

QByteArray fromBase64(QByteArrayView text)
{
    // Canonical text, which is all this system writes, is decoded here;
    // anything else takes Qt's lenient reading.
    QByteArray decoded;
    if (decodeCanonicalBase64(text, &decoded))
        return decoded;
    return QByteArray::fromBase64(text.toByteArray());
}

} // namespace Kavendru::Core::CompactJson
