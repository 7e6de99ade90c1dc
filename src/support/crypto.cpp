#include "support/crypto.h"

#include <QUuid>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

namespace mornix {

namespace crypto {

QByteArray sha256(const QByteArray &data)
{
    QByteArray digest(32, Qt::Uninitialized);
    unsigned int length = 0;
    EVP_Digest(data.constData(), static_cast<size_t>(data.size()), reinterpret_cast<unsigned char *>(digest.data()),
               &length, EVP_sha256(), nullptr);
    digest.resize(static_cast<qsizetype>(length));
    return digest;
}

QString sha256Hex(const QByteArray &data)
{
    return hexLower(sha256(data));
}

QByteArray hmacSha256(const QByteArray &key, const QByteArray &data)
{
    QByteArray mac(EVP_MAX_MD_SIZE, Qt::Uninitialized);
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.constData(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char *>(data.constData()), static_cast<size_t>(data.size()),
         reinterpret_cast<unsigned char *>(mac.data()), &length);
    mac.resize(static_cast<qsizetype>(length));
    return mac;
}

QString hexLower(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex());
}

QByteArray randomBytes(int count)
{
    QByteArray bytes(count, Qt::Uninitialized);
    if (count > 0 && RAND_bytes(reinterpret_cast<unsigned char *>(bytes.data()), count) != 1)
        return {};
    return bytes;
}

QString randomUUIDLower()
{
    QByteArray bytes = randomBytes(16);
    if (bytes.size() != 16)
        return QUuid::createUuid().toString(QUuid::WithoutBraces).toLower();
    bytes[6] = static_cast<char>((bytes[6] & 0x0f) | 0x40);
    bytes[8] = static_cast<char>((bytes[8] & 0x3f) | 0x80);
    return QUuid::fromRfc4122(bytes).toString(QUuid::WithoutBraces).toLower();
}

QString base64(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toBase64());
}

QString base64URLNoPadding(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

bool constantTimeEquals(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    return CRYPTO_memcmp(a.constData(), b.constData(), static_cast<size_t>(a.size())) == 0;
}

}  // namespace crypto

}  // namespace mornix
