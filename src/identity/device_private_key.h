#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

namespace mornix {

class HardwareKeyHandle;

// The device signing key: a P-256 private key either held by secure hardware or kept as a
// software key in the keychain. Cheap to copy (shared). Thread: any.
class DevicePrivateKey {
public:
    enum class Kind { secureEnclave, keychain };

    static DevicePrivateKey fromHardware(std::shared_ptr<HardwareKeyHandle> handle);
    // A software key from PKCS#8 DER bytes; a null key when the bytes are not a P-256 key.
    static DevicePrivateKey fromPKCS8(const QByteArray &der);
    // A fresh random P-256 software key; a null key on failure.
    static DevicePrivateKey generateSoftware();

    bool isNull() const { return !m_hardware && !m_software; }
    Kind kind() const { return m_hardware ? Kind::secureEnclave : Kind::keychain; }
    QByteArray pkcs8() const;          // software keys only; empty otherwise
    QByteArray publicKeyX963() const;  // 65-byte uncompressed point; empty on failure
    // DER ECDSA signature over SHA-256 of the message; empty on failure (reason in errorText).
    QByteArray sign(const QByteArray &message, QString &errorText) const;

    struct SoftwareKey;

private:
    std::shared_ptr<HardwareKeyHandle> m_hardware;
    std::shared_ptr<SoftwareKey> m_software;
};

}  // namespace mornix
