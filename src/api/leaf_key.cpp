#include "api/leaf_key.h"

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include <memory>

namespace mornix {

namespace {

template <typename T, void (*Free)(T *)>
struct Deleter {
    void operator()(T *p) const { Free(p); }
};
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using GroupPtr = std::unique_ptr<EC_GROUP, Deleter<EC_GROUP, EC_GROUP_free>>;
using PointPtr = std::unique_ptr<EC_POINT, Deleter<EC_POINT, EC_POINT_free>>;

// The point re-encoded uncompressed, whatever form the certificate carries it in.
std::optional<QByteArray> ecUncompressedPoint(const EVP_PKEY *key)
{
    char groupName[80] = {};
    if (EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, groupName, sizeof groupName, nullptr) != 1)
        return std::nullopt;
    const int nid = OBJ_txt2nid(groupName);
    if (nid == NID_undef)
        return std::nullopt;
    GroupPtr group(EC_GROUP_new_by_curve_name(nid));
    if (!group)
        return std::nullopt;

    size_t encodedLength = 0;
    if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, nullptr, 0, &encodedLength) != 1
        || encodedLength == 0)
        return std::nullopt;
    QByteArray encoded(static_cast<qsizetype>(encodedLength), Qt::Uninitialized);
    if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, reinterpret_cast<unsigned char *>(encoded.data()),
                                        encodedLength, &encodedLength)
        != 1)
        return std::nullopt;

    PointPtr point(EC_POINT_new(group.get()));
    if (!point
        || EC_POINT_oct2point(group.get(), point.get(), reinterpret_cast<const unsigned char *>(encoded.constData()),
                              encodedLength, nullptr)
               != 1)
        return std::nullopt;
    const size_t length =
        EC_POINT_point2oct(group.get(), point.get(), POINT_CONVERSION_UNCOMPRESSED, nullptr, 0, nullptr);
    if (length == 0)
        return std::nullopt;
    QByteArray uncompressed(static_cast<qsizetype>(length), Qt::Uninitialized);
    if (EC_POINT_point2oct(group.get(), point.get(), POINT_CONVERSION_UNCOMPRESSED,
                           reinterpret_cast<unsigned char *>(uncompressed.data()), length, nullptr)
        != length)
        return std::nullopt;
    return uncompressed;
}

std::optional<QByteArray> rsaPublicKeyDer(const EVP_PKEY *key)
{
    // i2d_PublicKey writes the PKCS #1 RSAPublicKey structure for RSA keys.
    unsigned char *der = nullptr;
    const int length = i2d_PublicKey(key, &der);
    if (length <= 0 || !der)
        return std::nullopt;
    QByteArray bytes(reinterpret_cast<const char *>(der), length);
    OPENSSL_free(der);
    return bytes;
}

}  // namespace

std::optional<QByteArray> leafKeyRepresentation(const QSslCertificate &certificate)
{
    if (certificate.isNull())
        return std::nullopt;
    const QByteArray der = certificate.toDer();
    const auto *cursor = reinterpret_cast<const unsigned char *>(der.constData());
    X509Ptr x509(d2i_X509(nullptr, &cursor, der.size()));
    if (!x509)
        return std::nullopt;
    const EVP_PKEY *key = X509_get0_pubkey(x509.get());
    if (!key)
        return std::nullopt;
    switch (EVP_PKEY_get_base_id(key)) {
    case EVP_PKEY_EC: return ecUncompressedPoint(key);
    case EVP_PKEY_RSA: return rsaPublicKeyDer(key);
    default: return std::nullopt;
    }
}

}  // namespace mornix
