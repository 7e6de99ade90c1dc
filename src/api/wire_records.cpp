#include "api/wire_records.h"

namespace mornix {

namespace {

// expires_in is added to dates in milliseconds: a bound well inside what that can hold.
constexpr qint64 kExpiresInLimit = 9'000'000'000'000'000;

}  // namespace

PublicAuthConfig PublicAuthConfig::fromJSON(const JsonReader &o)
{
    return {o.required<QString>("supabase_url"), o.required<QString>("supabase_public_key")};
}

OAuthTokenResponse OAuthTokenResponse::fromJSON(const JsonReader &o)
{
    OAuthTokenResponse r;
    r.access_token = o.required<QString>("access_token");
    r.token_type = o.optional<QString>("token_type");
    r.expires_in = o.optional<qint64>("expires_in");
    if (r.expires_in && (*r.expires_in > kExpiresInLimit || *r.expires_in < -kExpiresInLimit))
        throw JsonFieldError(JsonProblem::NotInteger, QStringLiteral("expires_in"), QStringLiteral("an integer"));
    r.refresh_token = o.optional<QString>("refresh_token");
    r.scope = o.optional<QString>("scope");
    return r;
}

DeviceRegistrationChallengeResponse DeviceRegistrationChallengeResponse::fromJSON(const JsonReader &o)
{
    return {o.required<QString>("challenge_id"), o.required<QString>("challenge_nonce"),
            o.required<QString>("expires_at")};
}

DeviceClaimChallengeResponse DeviceClaimChallengeResponse::fromJSON(const JsonReader &o)
{
    return {o.required<QString>("challenge_id"), o.required<QString>("challenge_nonce"),
            o.required<QString>("expires_at")};
}

RegisteredDevice RegisteredDevice::fromJSON(const JsonReader &o)
{
    return {o.required<QString>("id"), o.required<QString>("org_id"), o.required<QString>("project_id"),
            o.required<QString>("device_name")};
}

DeviceRegistrationResponse DeviceRegistrationResponse::fromJSON(const JsonReader &o)
{
    DeviceRegistrationResponse r;
    r.device = RegisteredDevice::fromJSON(o.required<JsonReader>("device"));
    r.device_bearer_token = o.required<QString>("device_bearer_token");
    r.device_secret = o.required<QString>("device_secret");
    return r;
}

DeviceClaimRecord DeviceClaimRecord::fromJSON(const JsonReader &o)
{
    DeviceClaimRecord r;
    r.id = o.required<QString>("id");
    r.workspace_id = o.optional<QString>("workspace_id");
    r.project_id = o.optional<QString>("project_id");
    r.hardware_serial_number = o.required<QString>("hardware_serial_number");
    r.hardware_uuid = o.required<QString>("hardware_uuid");
    r.requested_device_name = o.optional<QString>("requested_device_name");
    r.human_claim_name = o.optional<QString>("human_claim_name");
    r.invite_code_hint = o.required<QString>("invite_code_hint");
    r.status = o.required<QString>("status");
    r.created_at = o.required<QString>("created_at");
    return r;
}

DeviceClaimCompleteResponse DeviceClaimCompleteResponse::fromJSON(const JsonReader &o)
{
    return {DeviceClaimRecord::fromJSON(o.required<JsonReader>("claim"))};
}

DeviceClaimStatusResponse::ApprovedDeviceBootstrap DeviceClaimStatusResponse::ApprovedDeviceBootstrap::fromJSON(
    const JsonReader &o)
{
    ApprovedDeviceBootstrap r;
    r.device = RegisteredDevice::fromJSON(o.required<JsonReader>("device"));
    r.device_secret = o.required<QString>("device_secret");
    r.bearer_token = o.required<QString>("bearer_token");
    r.auth_kind = o.required<QString>("auth_kind");
    return r;
}

DeviceClaimStatusResponse DeviceClaimStatusResponse::fromJSON(const JsonReader &o)
{
    DeviceClaimStatusResponse r;
    r.claim = DeviceClaimRecord::fromJSON(o.required<JsonReader>("claim"));
    if (const auto bootstrap = o.optional<JsonReader>("approved_device_bootstrap"))
        r.approved_device_bootstrap = ApprovedDeviceBootstrap::fromJSON(*bootstrap);
    return r;
}

}  // namespace mornix
