#pragma once

#include <QByteArray>
#include <QString>

namespace mornix {

// Small wrappers around OpenSSL primitives. All functions are thread-safe and never throw.
namespace crypto {

QByteArray sha256(const QByteArray &data);
QString sha256Hex(const QByteArray &data);  // lower case, 64 characters
QByteArray hmacSha256(const QByteArray &key, const QByteArray &data);
QString hexLower(const QByteArray &bytes);
QByteArray randomBytes(int count);        // CSPRNG; empty on failure
QString randomUUIDLower();                // RFC 4122 version 4, lower case
QString base64(const QByteArray &bytes);  // standard alphabet, padded, no breaks
QString base64URLNoPadding(const QByteArray &bytes);

// Constant-time comparison of two byte strings (false when the sizes differ).
bool constantTimeEquals(const QByteArray &a, const QByteArray &b);

}  // namespace crypto

}  // namespace mornix
