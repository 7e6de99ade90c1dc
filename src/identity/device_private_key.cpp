#include "identity/device_private_key.h"

#include "platform/hardware_key.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

namespace mornix {

struct DevicePrivateKey::SoftwareKey {
    EVP_PKEY *pkey = nullptr;
    ~SoftwareKey() { EVP_PKEY_free(pkey); }
};

namespace {

QString openSSLError()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return {};
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    return QString::fromLatin1(buffer);
}

bool isP256(EVP_PKEY *pkey)
{
    char group[64] = {};
    size_t length = 0;
    return EVP_PKEY_is_a(pkey, "EC")
           && EVP_PKEY_get_utf8_string_param(pkey, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &length) == 1
           && QByteArray(group, static_cast<qsizetype>(length)) == "prime256v1";
}

}  // namespace

DevicePrivateKey DevicePrivateKey::fromHardware(std::shared_ptr<HardwareKeyHandle> handle)
{
    DevicePrivateKey key;
    key.m_hardware = std::move(handle);
    return key;
}

DevicePrivateKey DevicePrivateKey::fromPKCS8(const QByteArray &der)
{
    DevicePrivateKey key;
    const auto *p = reinterpret_cast<const unsigned char *>(der.constData());
    EVP_PKEY *pkey = d2i_AutoPrivateKey(nullptr, &p, der.size());
    if (!pkey) {
        ERR_clear_error();
        return key;
    }
    if (!isP256(pkey)) {
        EVP_PKEY_free(pkey);
        return key;
    }
    key.m_software = std::make_shared<SoftwareKey>();
    key.m_software->pkey = pkey;
    return key;
}

DevicePrivateKey DevicePrivateKey::generateSoftware()
{
    DevicePrivateKey key;
    EVP_PKEY *pkey = EVP_EC_gen("P-256");
    if (!pkey) {
        ERR_clear_error();
        return key;
    }
    key.m_software = std::make_shared<SoftwareKey>();
    key.m_software->pkey = pkey;
    return key;
}

QByteArray DevicePrivateKey::pkcs8() const
{
    if (!m_software)
        return {};
    PKCS8_PRIV_KEY_INFO *info = EVP_PKEY2PKCS8(m_software->pkey);
    if (!info)
        return {};
    unsigned char *der = nullptr;
    const int length = i2d_PKCS8_PRIV_KEY_INFO(info, &der);
    PKCS8_PRIV_KEY_INFO_free(info);
    if (length <= 0)
        return {};
    QByteArray out(reinterpret_cast<const char *>(der), length);
    OPENSSL_clear_free(der, static_cast<size_t>(length));
    return out;
}

QByteArray DevicePrivateKey::publicKeyX963() const
{
    if (m_hardware)
        return m_hardware->publicKeyX963();
    if (!m_software)
        return {};
    unsigned char buffer[133];
    size_t length = 0;
    if (EVP_PKEY_get_octet_string_param(m_software->pkey, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, buffer, sizeof buffer,
                                        &length)
        != 1) {
        ERR_clear_error();
        return {};
    }
    return QByteArray(reinterpret_cast<const char *>(buffer), static_cast<qsizetype>(length));
}

QByteArray DevicePrivateKey::sign(const QByteArray &message, QString &errorText) const
{
    if (m_hardware)
        return m_hardware->sign(message, errorText);
    if (!m_software)
        return {};
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    QByteArray signature;
    size_t length = 0;
    const auto *data = reinterpret_cast<const unsigned char *>(message.constData());
    if (ctx && EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, m_software->pkey) == 1
        && EVP_DigestSign(ctx, nullptr, &length, data, static_cast<size_t>(message.size())) == 1) {
        signature.resize(static_cast<qsizetype>(length));
        if (EVP_DigestSign(ctx, reinterpret_cast<unsigned char *>(signature.data()), &length, data,
                           static_cast<size_t>(message.size()))
            == 1)
            signature.resize(static_cast<qsizetype>(length));
        else
            signature.clear();
    }
    EVP_MD_CTX_free(ctx);
    if (signature.isEmpty())
        errorText = openSSLError();
    return signature;
}

}  // namespace mornix
