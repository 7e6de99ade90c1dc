#pragma once

#include "identity/device_private_key.h"
#include "identity/signed_payloads.h"
#include "platform/hardware_identity.h"
#include "platform/hardware_key.h"
#include "platform/keychain.h"
#include "platform/posture_probes.h"

#include <QIODevice>
#include <QStringList>

#include <memory>
#include <optional>

namespace mornix {

// The ports the device identity needs.
struct IdentityPorts {
    std::shared_ptr<Keychain> keychain;
    std::shared_ptr<HardwareKey> hardwareKey;
    std::shared_ptr<HardwareIdentity> hardwareIdentity;
    std::shared_ptr<PostureProbes> postureProbes;
};

// Holder of the device signing key (one P-256 key per user: in secure hardware when available,
// else a software key in the keychain) and builder of everything the device signs. No state of
// its own: every operation looks the key up again. Failures throw DeviceEnrollmentError or an
// IdentityError of the OS-status domain.
//
// Thread: any. Operations block on the keychain; the payload builders also run the posture
// tools (seconds at worst): call those off the main thread in the agent.
class DeviceEnrollmentAgent {
public:
    static inline const QByteArray secureEnclaveTag = QByteArrayLiteral("ai.veltro.mornix.zta.secureenclave.signing");
    static inline const QByteArray keychainFallbackTag = QByteArrayLiteral("ai.veltro.mornix.zta.keychain.signing");
    static inline const QString unknownSerial = QStringLiteral("UNKNOWN_SERIAL");
    static inline const QString unknownUUID = QStringLiteral("UNKNOWN_UUID");

    // A key lookup: the hardware token with its tag, or the keychain with the fallback tag.
    struct KeyQuery {
        bool secureEnclaveToken = false;
        QByteArray applicationTag;
    };
    static KeyQuery baseKeyQuery() { return {true, secureEnclaveTag}; }
    static KeyQuery keychainFallbackKeyQuery() { return {false, keychainFallbackTag}; }

    // environmentSecret: VELTRO_MDM_ENROLLMENT_SECRET as the composition root read it, the
    // enrollment secret of registrations made without one of their own.
    explicit DeviceEnrollmentAgent(IdentityPorts ports, std::optional<QString> environmentSecret = std::nullopt);

    // Signing key.
    DevicePrivateKey loadOrCreatePrivateKey() const;
    std::optional<DevicePrivateKey> loadExistingPrivateKey(const KeyQuery &query) const;
    DevicePrivateKey loadOrCreateKeychainFallbackPrivateKey() const;
    static bool isSecureEnclaveKey(const DevicePrivateKey &key);
    static QString publicKeyPEM(const DevicePrivateKey &key);
    static QByteArray makeSubjectPublicKeyInfo(const QByteArray &x963);
    static QByteArray derLength(qsizetype length);  // length >= 0
    static QByteArray sign(const QByteArray &message, const DevicePrivateKey &key);
    // Deletes both key items; missing items are success.
    void clearSigningKey() const;

    // Hardware identity.
    std::optional<QString> ioPlatformValue(const QString &name) const;
    QString hardwareSerialNumber() const;  // or "UNKNOWN_SERIAL"
    QString hardwareUUID() const;          // or "UNKNOWN_UUID"

    // Signed payloads.
    DeviceEnrollmentPayload buildEnrollmentPayload(
        const std::optional<QString> &mdmEnrollmentSecret = std::nullopt) const;
    DeviceRegistrationRequestPayload buildSignedRegistrationRequest(
        const QString &challengeID, const QString &challengeNonce,
        const std::optional<QString> &mdmEnrollmentSecret = std::nullopt) const;
    DeviceClaimRequestPayload buildSignedClaimRequest(
        const QString &challengeID, const QString &challengeNonce, const QString &inviteCode,
        const std::optional<QString> &humanClaimName = std::nullopt) const;
    DeviceClaimStatusRequestPayload buildSignedClaimStatusRequest(const QString &claimRequestID) const;
    DeviceLogoutRequestPayload buildSignedLogoutRequest(const QString &deviceID) const;
    DeviceChallengeSignaturePayload signChallenge(const QString &nonce) const;

    // The "--zta-*" modes. nullopt when arguments[1] is none of them; otherwise the exit status,
    // after writing one pretty JSON document to `out` or one "Device enrollment agent error: "
    // line to `err`.
    std::optional<int> runCLIIfRequested(const QStringList &arguments, QIODevice &out, QIODevice &err) const;

private:
    IdentityPorts m_ports;
    std::optional<QString> m_environmentSecret;
};

}  // namespace mornix
