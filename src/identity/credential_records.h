#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// The three secret records kept in the keychain. encoded(): a compact JSON object whose keys are
// the field names; absent optionals are left out. decode(): throws DecodingError when the bytes
// are not JSON, not an object, lack a required key or hold a value of the wrong type (unknown
// keys are ignored, null counts as absent for optionals).

namespace mornix {

struct DeviceCredentials {
    QString apiBaseURL;
    std::optional<QString> authBaseURL;
    std::optional<QString> authKind;
    QString bearerToken;
    std::optional<QString> refreshToken;
    std::optional<double> tokenExpiresAt;  // seconds since 1970-01-01 UTC
    std::optional<QString> oauthClientID;
    QString orgID;
    QString projectID;
    QString deviceID;
    QString deviceSecret;

    QByteArray encoded() const;
    static DeviceCredentials decode(const QByteArray &json);
    bool operator==(const DeviceCredentials &) const = default;
};

// The companion application's broker token grant.
struct BrokerGrant {
    QString accessToken;
    QString refreshToken;
    qint64 expiresAt = 0;

    // All rules, in order: access token begins with "bg1.", is at most 16384 UTF-8 bytes, refresh
    // token is "sg1." + 43 URL-safe Base64 characters, access token is "bg1." + one or more of
    // them, expiresAt > 0.
    bool isValid() const;
    QByteArray encoded() const;
    static BrokerGrant decode(const QByteArray &json);
    bool operator==(const BrokerGrant &) const = default;
};

// A device claim sent to the service and waiting for an administrator.
struct PendingClaimState {
    QString claimID;
    QString apiBaseURL;
    QString deviceName;
    double createdAt = 0;  // seconds since 1970-01-01 UTC

    QByteArray encoded() const;
    static PendingClaimState decode(const QByteArray &json);
    bool operator==(const PendingClaimState &) const = default;
};

}  // namespace mornix
