#include "identity/device_enrollment_agent.h"

#include "identity/identity_error.h"
#include "identity/security_text.h"
#include "support/crypto.h"
#include "support/text_cleaning.h"

#include <QDateTime>

namespace mornix {

namespace {

IdentityError osStatusError(int status, const QString &prefix)
{
    return IdentityError(error_domain::osStatus, status, prefix + securityStatusDescription(status));
}

QString base64Lines(const QByteArray &der)
{
    const QByteArray b64 = der.toBase64();
    QByteArrayList lines;
    for (qsizetype i = 0; i < b64.size(); i += 64)
        lines << b64.mid(i, 64);
    return QString::fromLatin1(lines.join('\n'));
}

}  // namespace

DeviceEnrollmentAgent::DeviceEnrollmentAgent(IdentityPorts ports, std::optional<QString> environmentSecret)
    : m_ports(std::move(ports))
    , m_environmentSecret(std::move(environmentSecret))
{
}

std::optional<DevicePrivateKey> DeviceEnrollmentAgent::loadExistingPrivateKey(const KeyQuery &query) const
{
    if (query.secureEnclaveToken) {
        std::shared_ptr<HardwareKeyHandle> handle;
        QString detail;
        const int status = m_ports.hardwareKey->find(query.applicationTag, handle, detail);
        if (status == keychain_status::itemNotFound || (status == keychain_status::success && !handle))
            return std::nullopt;
        if (status != keychain_status::success) {
            IdentityError error = osStatusError(status, QStringLiteral("Failed to load Secure Enclave key: "));
            if (!detail.isEmpty())
                error = IdentityError(error_domain::osStatus, status, detail);
            throw error;
        }
        return DevicePrivateKey::fromHardware(std::move(handle));
    }
    QByteArray der;
    const int status = m_ports.keychain->readKey(query.applicationTag, der);
    if (status == keychain_status::itemNotFound)
        return std::nullopt;
    if (status != keychain_status::success)
        throw osStatusError(status, QStringLiteral("Failed to load Secure Enclave key: "));
    const DevicePrivateKey key = DevicePrivateKey::fromPKCS8(der);
    // A stored key that does not parse is never replaced silently: the device would change keys.
    if (key.isNull())
        throw DeviceEnrollmentError::secureEnclaveUnavailable(QStringLiteral("Stored device key is unreadable"));
    return key;
}

DevicePrivateKey DeviceEnrollmentAgent::loadOrCreatePrivateKey() const
{
    // A hardware key that is stored but cannot be used now (hardware gone, cleared, locked
    // out) is an error, never a reason to make a new key: the device would silently change
    // keys. Only "no hardware for this process" (missing entitlement) reads as "no key".
    try {
        if (auto key = loadExistingPrivateKey(baseKeyQuery()))
            return *key;
    } catch (const IdentityError &error) {
        if (error.domain() != error_domain::osStatus || error.code() != keychain_status::missingEntitlement)
            throw DeviceEnrollmentError::secureEnclaveUnavailable(error.localizedDescription());
    }
    // A device that already has a software key keeps it: a hardware key made now would
    // replace the key the service knows.
    if (auto key = loadExistingPrivateKey(keychainFallbackKeyQuery()))
        return *key;
    const HardwareKey::CreateResult created = m_ports.hardwareKey->create(secureEnclaveTag);
    if (created.key)
        return DevicePrivateKey::fromHardware(created.key);
    if (created.hasError && created.errorCode != keychain_status::missingEntitlement) {
        const IdentityError error(created.errorDomain, created.errorCode, created.errorDescription);
        throw DeviceEnrollmentError::secureEnclaveUnavailable(securityErrorDescription(error));
    }
    return loadOrCreateKeychainFallbackPrivateKey();
}

DevicePrivateKey DeviceEnrollmentAgent::loadOrCreateKeychainFallbackPrivateKey() const
{
    if (auto key = loadExistingPrivateKey(keychainFallbackKeyQuery()))
        return *key;
    const DevicePrivateKey key = DevicePrivateKey::generateSoftware();
    if (key.isNull())
        throw DeviceEnrollmentError::secureEnclaveUnavailable(
            QStringLiteral("Device-only Keychain key generation failed"));
    const int status = m_ports.keychain->addKey(keychainFallbackTag, key.pkcs8());
    if (status == keychain_status::duplicateItem) {
        // Another process created the key between our lookup and add: use that one.
        if (auto existing = loadExistingPrivateKey(keychainFallbackKeyQuery()))
            return *existing;
    }
    if (status != keychain_status::success) {
        const IdentityError error(error_domain::osStatus, status);
        throw DeviceEnrollmentError::secureEnclaveUnavailable(securityErrorDescription(error));
    }
    return key;
}

bool DeviceEnrollmentAgent::isSecureEnclaveKey(const DevicePrivateKey &key)
{
    return key.kind() == DevicePrivateKey::Kind::secureEnclave;
}

QByteArray DeviceEnrollmentAgent::derLength(qsizetype length)
{
    Q_ASSERT(length >= 0);
    if (length < 128)
        return QByteArray(1, static_cast<char>(length));
    QByteArray bytes;
    for (quint64 n = static_cast<quint64>(length); n > 0; n >>= 8)
        bytes.prepend(static_cast<char>(n & 0xff));
    return QByteArray(1, static_cast<char>(0x80 + bytes.size())) + bytes;
}

QByteArray DeviceEnrollmentAgent::makeSubjectPublicKeyInfo(const QByteArray &x963)
{
    static const QByteArray algorithm = QByteArray::fromHex("301306072A8648CE3D020106082A8648CE3D030107");
    const QByteArray content = QByteArray(1, '\0') + x963;
    const QByteArray bitString = QByteArray(1, '\x03') + derLength(content.size()) + content;
    return QByteArray(1, '\x30') + derLength(algorithm.size() + bitString.size()) + algorithm + bitString;
}

QString DeviceEnrollmentAgent::publicKeyPEM(const DevicePrivateKey &key)
{
    const QByteArray point = key.publicKeyX963();
    if (point.isEmpty())
        throw DeviceEnrollmentError::publicKeyUnavailable();
    return QStringLiteral("-----BEGIN PUBLIC KEY-----\n") + base64Lines(makeSubjectPublicKeyInfo(point))
           + QStringLiteral("\n-----END PUBLIC KEY-----");
}

QByteArray DeviceEnrollmentAgent::sign(const QByteArray &message, const DevicePrivateKey &key)
{
    QString error;
    const QByteArray signature = key.sign(message, error);
    if (signature.isEmpty())
        throw DeviceEnrollmentError::secureEnclaveUnavailable(
            error.isEmpty() ? QStringLiteral("Failed to sign with Secure Enclave key") : error);
    return signature;
}

void DeviceEnrollmentAgent::clearSigningKey() const
{
    const auto acceptable = [](int status) {
        return status == keychain_status::success || status == keychain_status::itemNotFound
               || status == keychain_status::missingEntitlement;
    };
    int status = m_ports.hardwareKey->remove(secureEnclaveTag);
    if (acceptable(status))
        status = m_ports.keychain->deleteKey(keychainFallbackTag);
    if (!acceptable(status))
        throw osStatusError(status, QStringLiteral("Failed to delete device signing key: "));
}

std::optional<QString> DeviceEnrollmentAgent::ioPlatformValue(const QString &name) const
{
    return m_ports.hardwareIdentity->platformValue(name);
}

QString DeviceEnrollmentAgent::hardwareSerialNumber() const
{
    return ioPlatformValue(QLatin1String(HardwareIdentity::serialNumberKey)).value_or(unknownSerial);
}

QString DeviceEnrollmentAgent::hardwareUUID() const
{
    return ioPlatformValue(QLatin1String(HardwareIdentity::platformUUIDKey)).value_or(unknownUUID);
}

DeviceEnrollmentPayload DeviceEnrollmentAgent::buildEnrollmentPayload(
    const std::optional<QString> &mdmEnrollmentSecret) const
{
    const DevicePrivateKey key = loadOrCreatePrivateKey();
    const bool secureEnclave = isSecureEnclaveKey(key);
    DeviceEnrollmentPayload payload;
    payload.hardware_serial_number = hardwareSerialNumber();
    payload.hardware_uuid = hardwareUUID();
    payload.secure_enclave_public_key = publicKeyPEM(key);
    payload.device_name = m_ports.hardwareIdentity->localizedHostName().value_or(QStringLiteral("Mac"));
    payload.mdm_enrollment_secret = resolvedEnrollmentSecret(mdmEnrollmentSecret, m_environmentSecret);
    PostureProbes &probes = *m_ports.postureProbes;
    payload.posture.sip_enabled = parseSIPEnabled(probes.systemIntegrityStatus());
    payload.posture.sip_raw_status = probes.systemIntegrityStatus();
    payload.posture.filevault_enabled = parseFileVaultEnabled(probes.diskEncryptionStatus());
    payload.posture.filevault_raw_status = probes.diskEncryptionStatus();
    payload.agent.collector = secureEnclave ? DeviceEnrollmentAgentMetadata::secureEnclaveCollector
                                            : DeviceEnrollmentAgentMetadata::keychainCollector;
    payload.agent.generated_at = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    return payload;
}

DeviceRegistrationRequestPayload DeviceEnrollmentAgent::buildSignedRegistrationRequest(
    const QString &challengeID, const QString &challengeNonce, const std::optional<QString> &mdmEnrollmentSecret) const
{
    const DevicePrivateKey key = loadOrCreatePrivateKey();
    DeviceRegistrationRequestPayload request;
    request.payload = buildEnrollmentPayload(mdmEnrollmentSecret);
    request.challenge_id = challengeID;
    request.challenge_nonce = challengeNonce;
    request.payload_hash_sha256 = payloadHash(request.payload.jsonObject());
    request.request_timestamp = QString::number(QDateTime::currentSecsSinceEpoch());
    request.request_nonce = crypto::randomUUIDLower();
    const QString text = signed_text::registration(challengeID, challengeNonce, request.request_timestamp,
                                                   request.request_nonce, request.payload_hash_sha256);
    request.registration_signature_base64 = crypto::base64(sign(text.toUtf8(), key));
    return request;
}

DeviceClaimRequestPayload DeviceEnrollmentAgent::buildSignedClaimRequest(
    const QString &challengeID, const QString &challengeNonce, const QString &inviteCode,
    const std::optional<QString> &humanClaimName) const
{
    const DevicePrivateKey key = loadOrCreatePrivateKey();
    DeviceClaimRequestPayload request;
    request.payload = buildEnrollmentPayload(std::nullopt);
    request.challenge_id = challengeID;
    request.challenge_nonce = challengeNonce;
    request.payload_hash_sha256 = payloadHash(request.payload.jsonObject());
    request.invite_code = normalizedInviteCode(inviteCode);
    const QString inviteCodeHash = crypto::sha256Hex(request.invite_code.toUtf8());
    request.request_timestamp = QString::number(QDateTime::currentSecsSinceEpoch());
    request.request_nonce = crypto::randomUUIDLower();
    const QString text = signed_text::claim(challengeID, challengeNonce, request.request_timestamp,
                                            request.request_nonce, request.payload_hash_sha256, inviteCodeHash);
    request.claim_signature_base64 = crypto::base64(sign(text.toUtf8(), key));
    request.human_claim_name = sanitizedClaimName(humanClaimName);
    return request;
}

DeviceClaimStatusRequestPayload DeviceEnrollmentAgent::buildSignedClaimStatusRequest(
    const QString &claimRequestID) const
{
    const DevicePrivateKey key = loadOrCreatePrivateKey();
    DeviceClaimStatusRequestPayload request;
    request.claim_request_id = claimRequestID;
    request.hardware_serial_number = hardwareSerialNumber();
    request.hardware_uuid = hardwareUUID();
    request.secure_enclave_public_key = publicKeyPEM(key);
    const QString text =
        signed_text::claimStatus(claimRequestID, request.hardware_serial_number, request.hardware_uuid);
    request.status_signature_base64 = crypto::base64(sign(text.toUtf8(), key));
    return request;
}

DeviceLogoutRequestPayload DeviceEnrollmentAgent::buildSignedLogoutRequest(const QString &deviceID) const
{
    const DevicePrivateKey key = loadOrCreatePrivateKey();
    DeviceLogoutRequestPayload request;
    request.device_id = deviceID;
    request.hardware_serial_number = hardwareSerialNumber();
    request.hardware_uuid = hardwareUUID();
    request.secure_enclave_public_key = publicKeyPEM(key);
    const QString text = signed_text::logout(deviceID, request.hardware_serial_number, request.hardware_uuid);
    request.logout_signature_base64 = crypto::base64(sign(text.toUtf8(), key));
    return request;
}

DeviceChallengeSignaturePayload DeviceEnrollmentAgent::signChallenge(const QString &nonce) const
{
    const DevicePrivateKey key = loadOrCreatePrivateKey();
    DeviceChallengeSignaturePayload record;
    record.signature_base64 = crypto::base64(sign(nonce.toUtf8(), key));
    record.hardware_serial_number = hardwareSerialNumber();
    record.hardware_uuid = hardwareUUID();
    record.nonce = nonce;
    return record;
}

std::optional<int> DeviceEnrollmentAgent::runCLIIfRequested(const QStringList &arguments, QIODevice &out,
                                                            QIODevice &err) const
{
    if (arguments.size() < 2)
        return std::nullopt;
    const QString &mode = arguments.at(1);
    int minimum = 0;
    if (mode == QLatin1String("--zta-enrollment-payload"))
        minimum = 2;
    else if (mode == QLatin1String("--zta-registration-request"))
        minimum = 4;
    else if (mode == QLatin1String("--zta-claim-request"))
        minimum = 5;
    else if (mode == QLatin1String("--zta-sign-challenge"))
        minimum = 3;
    else
        return std::nullopt;

    try {
        if (arguments.size() < minimum)
            throw DeviceEnrollmentError::invalidCLIUsage();
        QJsonObject record;
        if (minimum == 2) {
            record = buildEnrollmentPayload(std::nullopt).jsonObject();
        } else if (minimum == 4) {
            record = buildSignedRegistrationRequest(arguments.at(2), arguments.at(3), std::nullopt).jsonObject();
        } else if (minimum == 5) {
            const std::optional<QString> name =
                arguments.size() > 5 ? std::optional<QString>(arguments.at(5)) : std::nullopt;
            record = buildSignedClaimRequest(arguments.at(2), arguments.at(3), arguments.at(4), name).jsonObject();
        } else {
            record = signChallenge(arguments.at(2)).jsonObject();
        }
        out.write(encodedPretty(record));
        return 0;
    } catch (const IdentityError &error) {
        err.write((QStringLiteral("Device enrollment agent error: ") + sanitizeLog(error.localizedDescription(), 300)
                   + QLatin1Char('\n'))
                      .toUtf8());
        return 1;
    }
}

}  // namespace mornix
