#pragma once

#include "support/json_reader.h"

#include <QString>

#include <optional>

// Response records of the service and the hosted sign-in provider. JSON keys equal the field
// names. fromJSON raises JsonFieldError when a required field is missing, null or mistyped.

namespace mornix {

struct PublicAuthConfig {
    QString supabase_url;
    QString supabase_public_key;
    static PublicAuthConfig fromJSON(const JsonReader &object);
};

struct OAuthTokenResponse {
    QString access_token;
    std::optional<QString> token_type;
    std::optional<qint64> expires_in;  // seconds, within ±9e15
    std::optional<QString> refresh_token;
    std::optional<QString> scope;
    static OAuthTokenResponse fromJSON(const JsonReader &object);
};

struct DeviceRegistrationChallengeResponse {
    QString challenge_id;
    QString challenge_nonce;
    QString expires_at;
    static DeviceRegistrationChallengeResponse fromJSON(const JsonReader &object);
};

struct DeviceClaimChallengeResponse {
    QString challenge_id;
    QString challenge_nonce;
    QString expires_at;
    static DeviceClaimChallengeResponse fromJSON(const JsonReader &object);
};

struct RegisteredDevice {
    QString id;
    QString org_id;
    QString project_id;
    QString device_name;
    static RegisteredDevice fromJSON(const JsonReader &object);
};

struct DeviceRegistrationResponse {
    RegisteredDevice device;
    QString device_bearer_token;
    QString device_secret;
    static DeviceRegistrationResponse fromJSON(const JsonReader &object);
};

struct DeviceClaimRecord {
    QString id;
    std::optional<QString> workspace_id;
    std::optional<QString> project_id;
    QString hardware_serial_number;
    QString hardware_uuid;
    std::optional<QString> requested_device_name;
    std::optional<QString> human_claim_name;
    QString invite_code_hint;
    QString status;
    QString created_at;
    static DeviceClaimRecord fromJSON(const JsonReader &object);
};

struct DeviceClaimCompleteResponse {
    DeviceClaimRecord claim;
    static DeviceClaimCompleteResponse fromJSON(const JsonReader &object);
};

struct DeviceClaimStatusResponse {
    struct ApprovedDeviceBootstrap {
        RegisteredDevice device;
        QString device_secret;
        QString bearer_token;
        QString auth_kind;
        static ApprovedDeviceBootstrap fromJSON(const JsonReader &object);
    };

    DeviceClaimRecord claim;
    std::optional<ApprovedDeviceBootstrap> approved_device_bootstrap;
    static DeviceClaimStatusResponse fromJSON(const JsonReader &object);
};

}  // namespace mornix
