#include "api/wire_records.h"

#include "api/json_fields.h"

using namespace json_fields;

PublicAuthConfig PublicAuthConfig::fromJSON(const QJsonObject &o)
{
    return {requiredString(o, QStringLiteral("supabase_url")), requiredString(o, QStringLiteral("supabase_public_key"))};
}

OAuthTokenResponse OAuthTokenResponse::fromJSON(const QJsonObject &o)
{
    OAuthTokenResponse r;
    r.access_token = requiredString(o, QStringLiteral("access_token"));
    r.token_type = optionalString(o, QStringLiteral("token_type"));
    r.expires_in = optionalInteger(o, QStringLiteral("expires_in"));
    r.refresh_token = optionalString(o, QStringLiteral("refresh_token"));
    r.scope = optionalString(o, QStringLiteral("scope"));
    return r;
}

DeviceRegistrationChallengeResponse DeviceRegistrationChallengeResponse::fromJSON(const QJsonObject &o)
{
    return {requiredString(o, QStringLiteral("challenge_id")), requiredString(o, QStringLiteral("challenge_nonce")),
            requiredString(o, QStringLiteral("expires_at"))};
}

DeviceClaimChallengeResponse DeviceClaimChallengeResponse::fromJSON(const QJsonObject &o)
{
    return {requiredString(o, QStringLiteral("challenge_id")), requiredString(o, QStringLiteral("challenge_nonce")),
            requiredString(o, QStringLiteral("expires_at"))};
}

RegisteredDevice RegisteredDevice::fromJSON(const QJsonObject &o)
{
    return {requiredString(o, QStringLiteral("id")), requiredString(o, QStringLiteral("org_id")),
            requiredString(o, QStringLiteral("project_id")), requiredString(o, QStringLiteral("device_name"))};
}

DeviceRegistrationResponse DeviceRegistrationResponse::fromJSON(const QJsonObject &o)
{
    DeviceRegistrationResponse r;
    r.device = RegisteredDevice::fromJSON(requiredObject(o, QStringLiteral("device")));
    r.device_bearer_token = requiredString(o, QStringLiteral("device_bearer_token"));
    r.device_secret = requiredString(o, QStringLiteral("device_secret"));
    return r;
}

DeviceClaimRecord DeviceClaimRecord::fromJSON(const QJsonObject &o)
{
    DeviceClaimRecord r;
    r.id = requiredString(o, QStringLiteral("id"));
    r.workspace_id = optionalString(o, QStringLiteral("workspace_id"));
    r.project_id = optionalString(o, QStringLiteral("project_id"));
    r.hardware_serial_number = requiredString(o, QStringLiteral("hardware_serial_number"));
    r.hardware_uuid = requiredString(o, QStringLiteral("hardware_uuid"));
    r.requested_device_name = optionalString(o, QStringLiteral("requested_device_name"));
    r.human_claim_name = optionalString(o, QStringLiteral("human_claim_name"));
    r.invite_code_hint = requiredString(o, QStringLiteral("invite_code_hint"));
    r.status = requiredString(o, QStringLiteral("status"));
    r.created_at = requiredString(o, QStringLiteral("created_at"));
    return r;
}

DeviceClaimCompleteResponse DeviceClaimCompleteResponse::fromJSON(const QJsonObject &o)
{
    return {DeviceClaimRecord::fromJSON(requiredObject(o, QStringLiteral("claim")))};
}

DeviceClaimStatusResponse::ApprovedDeviceBootstrap
DeviceClaimStatusResponse::ApprovedDeviceBootstrap::fromJSON(const QJsonObject &o)
{
    ApprovedDeviceBootstrap r;
    r.device = RegisteredDevice::fromJSON(requiredObject(o, QStringLiteral("device")));
    r.device_secret = requiredString(o, QStringLiteral("device_secret"));
    r.bearer_token = requiredString(o, QStringLiteral("bearer_token"));
    r.auth_kind = requiredString(o, QStringLiteral("auth_kind"));
    return r;
}

DeviceClaimStatusResponse DeviceClaimStatusResponse::fromJSON(const QJsonObject &o)
{
    DeviceClaimStatusResponse r;
    r.claim = DeviceClaimRecord::fromJSON(requiredObject(o, QStringLiteral("claim")));
    if (const auto bootstrap = optionalObject(o, QStringLiteral("approved_device_bootstrap")))
        r.approved_device_bootstrap = ApprovedDeviceBootstrap::fromJSON(*bootstrap);
    return r;
}
