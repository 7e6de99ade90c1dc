#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <optional>

// What the device says about itself to the service, and the exact texts it signs. Each record's
// jsonObject() is its dictionary form (request bodies and hashing): keys are the field names,
// absent optionals are left out, nested records are nested objects. encodedPretty() is the
// command-line output: pretty-printed, keys sorted, ending with one line feed.

namespace mornix {

struct DeviceEnrollmentPosture {
    std::optional<bool> sip_enabled;
    QString sip_raw_status;
    std::optional<bool> filevault_enabled;
    QString filevault_raw_status;
    QJsonObject jsonObject() const;
};

struct DeviceEnrollmentAgentMetadata {
    static inline const QString secureEnclaveCollector = QStringLiteral("veltro-mornix-secureenclave-agent");
    static inline const QString keychainCollector = QStringLiteral("veltro-mornix-keychain-agent");

    QString collector;
    QString generated_at;  // 2026-01-31T08:15:00Z
    QString key_algorithm = QStringLiteral("P-256");
    QString signature_algorithm = QStringLiteral("ECDSA_SHA256");
    QString key_accessibility = QStringLiteral("kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly");
    QJsonObject jsonObject() const;
};

struct DeviceEnrollmentPayload {
    QString device_name;
    QString hardware_serial_number;
    QString hardware_uuid;
    QString secure_enclave_public_key;
    std::optional<QString> mdm_enrollment_secret;
    DeviceEnrollmentPosture posture;
    DeviceEnrollmentAgentMetadata agent;
    QJsonObject jsonObject() const;
};

struct DeviceRegistrationRequestPayload {
    QString challenge_id;
    QString challenge_nonce;
    QString request_timestamp;
    QString request_nonce;
    QString payload_hash_sha256;
    QString registration_signature_base64;
    DeviceEnrollmentPayload payload;
    // action: an extra top-level "action" key, never hashed or signed.
    QJsonObject jsonObject(const std::optional<QString> &action = std::nullopt) const;
};

struct DeviceClaimRequestPayload {
    QString challenge_id;
    QString challenge_nonce;
    QString request_timestamp;
    QString request_nonce;
    QString payload_hash_sha256;
    QString invite_code;
    std::optional<QString> human_claim_name;
    QString claim_signature_base64;
    DeviceEnrollmentPayload payload;
    QJsonObject jsonObject(const std::optional<QString> &action = std::nullopt) const;
};

struct DeviceClaimStatusRequestPayload {
    QString claim_request_id;
    QString hardware_serial_number;
    QString hardware_uuid;
    QString secure_enclave_public_key;
    QString status_signature_base64;
    QJsonObject jsonObject() const;
};

struct DeviceLogoutRequestPayload {
    QString device_id;
    QString hardware_serial_number;
    QString hardware_uuid;
    QString secure_enclave_public_key;
    QString logout_signature_base64;
    QJsonObject jsonObject() const;
};

struct DeviceChallengeSignaturePayload {
    QString hardware_serial_number;
    QString hardware_uuid;
    QString nonce;
    QString signature_base64;
    QJsonObject jsonObject() const;
};

// Pretty-printed JSON with sorted keys and one final line feed.
QByteArray encodedPretty(const QJsonObject &object);

// The signed texts: lines joined by "\n", no final line feed.
namespace signed_text {
QString registration(const QString &challengeID, const QString &challengeNonce, const QString &requestTimestamp,
                     const QString &requestNonce, const QString &payloadHash);
QString claim(const QString &challengeID, const QString &challengeNonce, const QString &requestTimestamp,
              const QString &requestNonce, const QString &payloadHash, const QString &inviteCodeHash);
QString claimStatus(const QString &claimRequestID, const QString &serialNumber, const QString &hardwareUUID);
QString logout(const QString &deviceID, const QString &serialNumber, const QString &hardwareUUID);
}  // namespace signed_text

// An override (even empty) wins and is trimmed (empty gives none); without one the value of the
// environment variable VELTRO_MDM_ENROLLMENT_SECRET (RuntimeEnvironment), trimmed, empty or
// missing giving none.
std::optional<QString> resolvedEnrollmentSecret(const std::optional<QString> &override,
                                                const std::optional<QString> &environmentValue);
// Trimmed; empty gives none; at most the first 200 characters.
std::optional<QString> sanitizedClaimName(const std::optional<QString> &name);
// Trimmed, upper-cased.
QString normalizedInviteCode(const QString &inviteCode);
// "enabled" -> true, else "disabled" -> false, else none (case-insensitive).
std::optional<bool> parseSIPEnabled(const QString &text);
// "filevault is on" -> true, else "filevault is off" -> false, else none (case-insensitive).
std::optional<bool> parseFileVaultEnabled(const QString &text);
// Lower-case hex SHA-256 of the canonical JSON of a dictionary form; throws
// DeviceEnrollmentError::invalidCLIUsage when the value has no canonical form.
QString payloadHash(const QJsonObject &object);

}  // namespace mornix
