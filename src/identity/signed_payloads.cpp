#include "identity/signed_payloads.h"

#include "identity/identity_error.h"
#include "support/canonical_json.h"
#include "support/crypto.h"

#include <QJsonDocument>
#include <QTextBoundaryFinder>

namespace mornix {

namespace {

void putOptional(QJsonObject &o, const QString &key, const std::optional<QString> &value)
{
    if (value)
        o.insert(key, *value);
}

void putOptional(QJsonObject &o, const QString &key, const std::optional<bool> &value)
{
    if (value)
        o.insert(key, *value);
}

QString trimmed(const QString &text)
{
    return text.trimmed();
}

}  // namespace

QJsonObject DeviceEnrollmentPosture::jsonObject() const
{
    QJsonObject o;
    putOptional(o, QStringLiteral("sip_enabled"), sip_enabled);
    o.insert(QStringLiteral("sip_raw_status"), sip_raw_status);
    putOptional(o, QStringLiteral("filevault_enabled"), filevault_enabled);
    o.insert(QStringLiteral("filevault_raw_status"), filevault_raw_status);
    return o;
}

QJsonObject DeviceEnrollmentAgentMetadata::jsonObject() const
{
    return QJsonObject{
        {QStringLiteral("collector"), collector},
        {QStringLiteral("generated_at"), generated_at},
        {QStringLiteral("key_algorithm"), key_algorithm},
        {QStringLiteral("signature_algorithm"), signature_algorithm},
        {QStringLiteral("key_accessibility"), key_accessibility},
    };
}

QJsonObject DeviceEnrollmentPayload::jsonObject() const
{
    QJsonObject o{
        {QStringLiteral("device_name"), device_name},
        {QStringLiteral("hardware_serial_number"), hardware_serial_number},
        {QStringLiteral("hardware_uuid"), hardware_uuid},
        {QStringLiteral("secure_enclave_public_key"), secure_enclave_public_key},
        {QStringLiteral("posture"), posture.jsonObject()},
        {QStringLiteral("agent"), agent.jsonObject()},
    };
    putOptional(o, QStringLiteral("mdm_enrollment_secret"), mdm_enrollment_secret);
    return o;
}

QJsonObject DeviceRegistrationRequestPayload::jsonObject(const std::optional<QString> &action) const
{
    QJsonObject o{
        {QStringLiteral("challenge_id"), challenge_id},
        {QStringLiteral("challenge_nonce"), challenge_nonce},
        {QStringLiteral("request_timestamp"), request_timestamp},
        {QStringLiteral("request_nonce"), request_nonce},
        {QStringLiteral("payload_hash_sha256"), payload_hash_sha256},
        {QStringLiteral("registration_signature_base64"), registration_signature_base64},
        {QStringLiteral("payload"), payload.jsonObject()},
    };
    putOptional(o, QStringLiteral("action"), action);
    return o;
}

QJsonObject DeviceClaimRequestPayload::jsonObject(const std::optional<QString> &action) const
{
    QJsonObject o{
        {QStringLiteral("challenge_id"), challenge_id},
        {QStringLiteral("challenge_nonce"), challenge_nonce},
        {QStringLiteral("request_timestamp"), request_timestamp},
        {QStringLiteral("request_nonce"), request_nonce},
        {QStringLiteral("payload_hash_sha256"), payload_hash_sha256},
        {QStringLiteral("invite_code"), invite_code},
        {QStringLiteral("claim_signature_base64"), claim_signature_base64},
        {QStringLiteral("payload"), payload.jsonObject()},
    };
    putOptional(o, QStringLiteral("human_claim_name"), human_claim_name);
    putOptional(o, QStringLiteral("action"), action);
    return o;
}

QJsonObject DeviceClaimStatusRequestPayload::jsonObject() const
{
    return QJsonObject{
        {QStringLiteral("claim_request_id"), claim_request_id},
        {QStringLiteral("hardware_serial_number"), hardware_serial_number},
        {QStringLiteral("hardware_uuid"), hardware_uuid},
        {QStringLiteral("secure_enclave_public_key"), secure_enclave_public_key},
        {QStringLiteral("status_signature_base64"), status_signature_base64},
    };
}

QJsonObject DeviceLogoutRequestPayload::jsonObject() const
{
    return QJsonObject{
        {QStringLiteral("device_id"), device_id},
        {QStringLiteral("hardware_serial_number"), hardware_serial_number},
        {QStringLiteral("hardware_uuid"), hardware_uuid},
        {QStringLiteral("secure_enclave_public_key"), secure_enclave_public_key},
        {QStringLiteral("logout_signature_base64"), logout_signature_base64},
    };
}

QJsonObject DeviceChallengeSignaturePayload::jsonObject() const
{
    return QJsonObject{
        {QStringLiteral("hardware_serial_number"), hardware_serial_number},
        {QStringLiteral("hardware_uuid"), hardware_uuid},
        {QStringLiteral("nonce"), nonce},
        {QStringLiteral("signature_base64"), signature_base64},
    };
}

QByteArray encodedPretty(const QJsonObject &object)
{
    // QJsonObject keeps its keys sorted; the indented form ends with one line feed.
    return QJsonDocument(object).toJson(QJsonDocument::Indented);
}

namespace signed_text {

QString registration(const QString &challengeID, const QString &challengeNonce, const QString &requestTimestamp,
                     const QString &requestNonce, const QString &payloadHash)
{
    return QStringList{QStringLiteral("REGISTER"), challengeID,  challengeNonce,
                       requestTimestamp,           requestNonce, payloadHash}
        .join(QLatin1Char('\n'));
}

QString claim(const QString &challengeID, const QString &challengeNonce, const QString &requestTimestamp,
              const QString &requestNonce, const QString &payloadHash, const QString &inviteCodeHash)
{
    return QStringList{QStringLiteral("CLAIM"), challengeID,  challengeNonce,
                       requestTimestamp,        requestNonce, payloadHash,
                       inviteCodeHash}
        .join(QLatin1Char('\n'));
}

QString claimStatus(const QString &claimRequestID, const QString &serialNumber, const QString &hardwareUUID)
{
    return QStringList{QStringLiteral("CLAIM_STATUS"), claimRequestID, serialNumber, hardwareUUID}.join(
        QLatin1Char('\n'));
}

QString logout(const QString &deviceID, const QString &serialNumber, const QString &hardwareUUID)
{
    return QStringList{QStringLiteral("LOGOUT"), deviceID, serialNumber, hardwareUUID}.join(QLatin1Char('\n'));
}

}  // namespace signed_text

std::optional<QString> resolvedEnrollmentSecret(const std::optional<QString> &override,
                                                const std::optional<QString> &environmentValue)
{
    const QString value = trimmed(override ? *override : environmentValue.value_or(QString()));
    if (value.isEmpty())
        return std::nullopt;
    return value;
}

std::optional<QString> sanitizedClaimName(const std::optional<QString> &name)
{
    const QString value = trimmed(name.value_or(QString()));
    if (value.isEmpty())
        return std::nullopt;
    // Characters are user-perceived characters (grapheme clusters).
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, value);
    qsizetype position = 0;
    for (int count = 0; count < 200; ++count) {
        const qsizetype next = finder.toNextBoundary();
        if (next < 0)
            return value;
        position = next;
    }
    return value.left(position);
}

QString normalizedInviteCode(const QString &inviteCode)
{
    return trimmed(inviteCode).toUpper();
}

std::optional<bool> parseSIPEnabled(const QString &text)
{
    const QString lower = text.toLower();
    if (lower.contains(QLatin1String("enabled")))
        return true;
    if (lower.contains(QLatin1String("disabled")))
        return false;
    return std::nullopt;
}

std::optional<bool> parseFileVaultEnabled(const QString &text)
{
    const QString lower = text.toLower();
    if (lower.contains(QLatin1String("filevault is on")))
        return true;
    if (lower.contains(QLatin1String("filevault is off")))
        return false;
    return std::nullopt;
}

QString payloadHash(const QJsonObject &object)
{
    const std::optional<QString> hash = canonical_json::stableHashHex(QJsonValue(object));
    if (!hash)
        throw DeviceEnrollmentError::invalidCLIUsage();
    return *hash;
}

}  // namespace mornix
