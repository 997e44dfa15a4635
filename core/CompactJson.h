#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QStringView>

// Pieces of compact JSON written byte for byte as QJsonDocument writes them,
// and base64 as QByteArray writes and leniently reads it, without their
// generic per-character cost: the container header and the index are
// rewritten at every vault operation and reach megabytes.
namespace Kavendru::Core::CompactJson {

// A quoted, escaped JSON string.
void appendString(QByteArray& json, QStringView text);
void appendInteger(QByteArray& json, qint64 value);
// A quoted date in Qt::ISODateWithMs form in UTC; "" when null.
void appendDate(QByteArray& json, const QDateTime& value);
// Standard alphabet with "=" padding, as QByteArray::toBase64().
void appendBase64(QByteArray& json, QByteArrayView bytes);
// Decodes text in the one form QByteArray::toBase64() writes (standard
// alphabet, "=" padding only at the end); false, with nothing decoded, for
// any other text.
bool decodeCanonicalBase64(QByteArrayView text, QByteArray* decoded);
// As QByteArray::fromBase64() in its default, lenient mode.
QByteArray fromBase64(QByteArrayView text);

} // namespace Kavendru::Core::CompactJson
