// The enrollment endpoints: registration with a user token, device claims with invite codes
// and admin approval, claim status, logout. Every signed text is checked against the
// device's P-256 key before anything is stored.
#include "canonical.h"
#include "device_auth.h"
#include "devices.h"
#include "faults.h"
#include "http_util.h"
#include "routes.h"
#include "signatures.h"
#include "tokens.h"
#include "util.h"

#include "support/json_reader.h"

#include <regex>

namespace mornix {

namespace devservice {

namespace {

constexpr std::int64_t kChallengeSeconds = 300;
constexpr int kFieldMax = 4000;

struct SignedEnrollment {
    std::string challengeId;
    std::string challengeNonce;
    std::string requestTimestamp;
    std::string requestNonce;
    std::string payloadHash;
    std::string signature;  // DER
    QJsonObject payload;
    std::string publicKeyDer;
};

struct Challenge {
    std::string nonce;
    std::int64_t expiresAt;
    std::string serial;
    std::string uuid;
    std::optional<std::string> userId;
    std::optional<std::string> inviteCode;
    std::optional<std::string> humanClaimName;
    bool used;
};

// Absent and null are both "not stated".
void requireBoolOrAbsent(const QJsonObject &object, const char *key)
{
    try {
        JsonReader(object).optional<bool>(key);
    } catch (const JsonFieldError &) {
        refuse(400, "invalid_payload", std::string("payload field must be a boolean: ") + key);
    }
}

// The enrollment payload's shape: the fields the agent always sends, with their types.
void validateEnrollmentPayload(const QJsonObject &payload)
{
    for (const char *key : {"device_name", "hardware_serial_number", "hardware_uuid", "secure_enclave_public_key"})
        requireString(payload, key);
    optionalString(payload, "mdm_enrollment_secret");
    const QJsonObject posture = requireObject(payload, "posture");
    requireString(posture, "sip_raw_status");
    requireString(posture, "filevault_raw_status");
    requireBoolOrAbsent(posture, "sip_enabled");
    requireBoolOrAbsent(posture, "filevault_enabled");
    const QJsonObject agent = requireObject(payload, "agent");
    for (const char *key : {"collector", "generated_at", "key_algorithm", "signature_algorithm", "key_accessibility"})
        requireString(agent, key);
    if (requireString(agent, "key_algorithm") != "P-256"
        || requireString(agent, "signature_algorithm") != "ECDSA_SHA256")
        refuse(400, "invalid_payload", "payload agent must declare P-256 and ECDSA_SHA256");
    const std::string collector = requireString(agent, "collector");
    if (collector != "veltro-mornix-secureenclave-agent" && collector != "veltro-mornix-keychain-agent")
        refuse(400, "invalid_payload", "payload agent collector is not one of the agent's collectors");
    if (requireString(agent, "key_accessibility") != "kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly")
        refuse(400, "invalid_payload",
               "payload agent key_accessibility must be kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly");
    static const std::regex iso("^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z$");
    if (!std::regex_match(agent.value("generated_at").toString().toStdString(), iso))
        refuse(400, "invalid_payload", "payload agent generated_at is not an ISO 8601 UTC time");
}

// The common part of the registration and claim records; verifies everything but the
// signature (whose text differs) and the challenge.
SignedEnrollment readSignedEnrollment(const QJsonObject &body, const char *signatureKey)
{
    SignedEnrollment request;
    request.challengeId = requireString(body, "challenge_id");
    request.challengeNonce = requireString(body, "challenge_nonce");
    request.requestTimestamp = requireString(body, "request_timestamp");
    request.requestNonce = requireString(body, "request_nonce");
    request.payloadHash = requireString(body, "payload_hash_sha256");
    const std::string signature = requireString(body, signatureKey);
    request.payload = requireObject(body, "payload");
    validateEnrollmentPayload(request.payload);

    if (!timestampInWindow(request.requestTimestamp))
        refuse(401, "invalid_timestamp", "request_timestamp outside the allowed window of 300 seconds");
    static const std::regex uuid("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$");
    if (!std::regex_match(request.requestNonce, uuid))
        refuse(400, "invalid_request", "request_nonce must be a lower-case UUID");
    const auto hash = canonicalHashHex(request.payload);
    if (!hash || *hash != request.payloadHash)
        refuse(400, "payload_hash_mismatch", "payload_hash_sha256 does not match the canonical JSON of the payload");
    const auto der = parseDevicePublicKey(request.payload.value("secure_enclave_public_key").toString().toStdString());
    if (!der)
        refuse(400, "invalid_public_key",
               "secure_enclave_public_key is not a P-256 public key in the expected PEM form");
    request.publicKeyDer = *der;
    const auto decoded = decodeStrictBase64(signature);
    if (!decoded)
        refuse(401, "invalid_signature", std::string(signatureKey) + " is not standard base64");
    request.signature = *decoded;
    return request;
}

Challenge loadChallenge(Database &db, const std::string &kind, const SignedEnrollment &request)
{
    Statement select(db, "SELECT nonce, expires_at, hardware_serial_number, hardware_uuid, user_id, invite_code, "
                         "human_claim_name, used FROM challenges WHERE id = ? AND kind = ?");
    select.bind(1, request.challengeId).bind(2, kind);
    if (!select.step())
        refuse(400, "invalid_challenge", "unknown challenge_id");
    Challenge challenge{select.text(0),         select.integer(1),      select.text(2),         select.text(3),
                        select.optionalText(4), select.optionalText(5), select.optionalText(6), select.integer(7) != 0};
    if (challenge.used)
        refuse(400, "invalid_challenge", "challenge was already used");
    if (challenge.expiresAt < nowSeconds())
        refuse(400, "invalid_challenge", "challenge expired");
    if (challenge.nonce != request.challengeNonce)
        refuse(400, "invalid_challenge", "challenge_nonce does not match the challenge");
    const std::string serial =
        sanitizeText(request.payload.value("hardware_serial_number").toString().toStdString(), kFieldMax);
    const std::string uuid = sanitizeText(request.payload.value("hardware_uuid").toString().toStdString(), kFieldMax);
    if (serial != challenge.serial || uuid != challenge.uuid)
        refuse(400, "invalid_challenge", "payload hardware identity differs from the challenge");
    return challenge;
}

std::string issueChallenge(Database &db, const std::string &kind, const std::string &serial, const std::string &uuid,
                           const std::optional<std::string> &userId, const std::optional<std::string> &inviteCode,
                           const std::optional<std::string> &humanClaimName, QJsonObject &response)
{
    const std::string id = randomUUID();
    const std::string nonce = randomToken("");
    const std::int64_t expires = nowSeconds() + kChallengeSeconds;
    Statement insert(db, "INSERT INTO challenges (id, kind, nonce, expires_at, hardware_serial_number, hardware_uuid, "
                         "user_id, invite_code, human_claim_name) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
    insert.bind(1, id)
        .bind(2, kind)
        .bind(3, nonce)
        .bind(4, expires)
        .bind(5, serial)
        .bind(6, uuid)
        .bind(7, userId)
        .bind(8, inviteCode)
        .bind(9, humanClaimName)
        .run();
    response = QJsonObject{{"challenge_id", QString::fromStdString(id)},
                           {"challenge_nonce", QString::fromStdString(nonce)},
                           {"expires_at", QString::fromStdString(isoUtc(expires * 1000))}};
    return id;
}

void markChallengeUsed(Database &db, const std::string &id)
{
    Statement update(db, "UPDATE challenges SET used = 1 WHERE id = ?");
    update.bind(1, id).run();
}

void verifySignature(const std::string &publicKeyDer, const std::vector<std::string> &lines,
                     const std::string &signature, const char *what)
{
    if (!verifyEcdsaSha256(publicKeyDer, joinLines(lines), signature))
        refuse(401, "invalid_signature", std::string(what) + " signature does not verify");
}

std::string hardwareField(const QJsonObject &body, const char *key)
{
    const std::string value = requireString(body, key);
    if (value.empty() || userPerceivedLength(value) > kFieldMax)
        refuse(400, "invalid_request", std::string("invalid field: ") + key);
    return value;
}

// --- registration ---------------------------------------------------------------------------

void handleRegister(State &state, const httplib::Request &req, httplib::Response &res)
{
    const auto authorization = singleHeader(req, "Authorization", 401);
    if (!authorization || authorization->rfind("Bearer ", 0) != 0)
        refuse(401, "unauthorized", "missing user bearer token");
    const std::string token = authorization->substr(7);
    const QJsonObject body = requireJsonObject(req);
    const std::string action = requireString(body, "action");
    const DevIdentity identity = state.identity();

    if (action == "challenge") {
        const std::string serial = hardwareField(body, "hardware_serial_number");
        const std::string uuid = hardwareField(body, "hardware_uuid");
        QJsonObject response;
        state.locked([&](Database &db) {
            const auto user = userForAccessToken(db, token);
            if (!user)
                refuse(401, "unauthorized", "invalid or expired user access token");
            Transaction transaction(db);
            issueChallenge(db, "register", serial, uuid, *user, std::nullopt, std::nullopt, response);
            transaction.commit();
        });
        sendJson(res, 200, response);
        return;
    }
    if (action != "complete")
        refuse(400, "invalid_request", "action must be \"challenge\" or \"complete\"");

    QJsonObject response;
    state.locked([&](Database &db) {
        const auto user = userForAccessToken(db, token);
        if (!user)
            refuse(401, "unauthorized", "invalid or expired user access token");
        const SignedEnrollment request = readSignedEnrollment(body, "registration_signature_base64");
        Transaction transaction(db);
        const Challenge challenge = loadChallenge(db, "register", request);
        if (challenge.userId != *user)
            refuse(400, "invalid_challenge", "challenge was issued to another user");
        verifySignature(request.publicKeyDer,
                        {"REGISTER", request.challengeId, request.challengeNonce, request.requestTimestamp,
                         request.requestNonce, request.payloadHash},
                        request.signature, "registration");
        if (!recordNonce(db, "register", request.requestNonce))
            refuse(401, "replayed_nonce", "request_nonce was already used");
        markChallengeUsed(db, request.challengeId);
        const QJsonObject &payload = request.payload;
        const auto issued = createDevice(
            db, NewDevice{identity.orgId, identity.projectId,
                          sanitizeText(payload.value("device_name").toString().toStdString(), 200), challenge.serial,
                          challenge.uuid, payload.value("secure_enclave_public_key").toString().toStdString(),
                          "registration", std::nullopt});
        transaction.commit();
        response = QJsonObject{{"device", *registeredDevice(db, issued.deviceId)},
                               {"device_bearer_token", QString::fromStdString(issued.bearerToken)},
                               {"device_secret", QString::fromStdString(issued.deviceSecret)}};
    });
    sendJson(res, 200, response);
}

// --- claims ---------------------------------------------------------------------------------

struct Invite {
    std::string code;
    std::string orgId;
    std::string projectId;
};

Invite usableInvite(Database &db, const std::string &code)
{
    Statement select(db, "SELECT code, org_id, project_id, expires_at, claim_id FROM invites WHERE code = ?");
    select.bind(1, code);
    if (!select.step())
        refuse(403, "invalid_invite", "invite code not found");
    if (select.integer(3) < nowSeconds())
        refuse(403, "invalid_invite", "invite code expired");
    if (!select.isNull(4))
        refuse(403, "invalid_invite", "invite code already used");
    return Invite{select.text(0), select.text(1), select.text(2)};
}

void handleClaim(State &state, const httplib::Request &req, httplib::Response &res)
{
    const QJsonObject body = requireJsonObject(req);
    const std::string action = requireString(body, "action");
    QJsonObject response;

    if (action == "challenge") {
        const std::string invite = normalisedInviteCode(requireString(body, "invite_code"));
        const std::string humanName = sanitizeText(requireString(body, "human_claim_name"), 200);
        const std::string serial = hardwareField(body, "hardware_serial_number");
        const std::string uuid = hardwareField(body, "hardware_uuid");
        state.locked([&](Database &db) {
            Transaction transaction(db);
            usableInvite(db, invite);
            issueChallenge(db, "claim", serial, uuid, std::nullopt, invite,
                           humanName.empty() ? std::nullopt : std::optional<std::string>(humanName), response);
            transaction.commit();
        });
        sendJson(res, 200, response);
        return;
    }
    if (action != "complete")
        refuse(400, "invalid_request", "action must be \"challenge\" or \"complete\"");

    const SignedEnrollment request = readSignedEnrollment(body, "claim_signature_base64");
    const std::string inviteCode = requireString(body, "invite_code");
    const auto humanName = optionalString(body, "human_claim_name");
    if (humanName && (humanName->empty() || userPerceivedLength(*humanName) > 200))
        refuse(400, "invalid_request", "human_claim_name must be 1 to 200 characters");
    state.locked([&](Database &db) {
        Transaction transaction(db);
        const Challenge challenge = loadChallenge(db, "claim", request);
        if (!challenge.inviteCode || inviteCode != *challenge.inviteCode)
            refuse(400, "invalid_invite",
                   "invite_code does not match the challenge (expected trimmed and upper-cased)");
        const Invite invite = usableInvite(db, *challenge.inviteCode);
        verifySignature(request.publicKeyDer,
                        {"CLAIM", request.challengeId, request.challengeNonce, request.requestTimestamp,
                         request.requestNonce, request.payloadHash, sha256Hex(invite.code)},
                        request.signature, "claim");
        if (!recordNonce(db, "claim", request.requestNonce))
            refuse(401, "replayed_nonce", "request_nonce was already used");
        markChallengeUsed(db, request.challengeId);

        const std::string claimId = randomUUID();
        const QJsonObject &payload = request.payload;
        Statement insert(db,
                         "INSERT INTO claims (id, invite_code, org_id, project_id, hardware_serial_number, "
                         "hardware_uuid, requested_device_name, human_claim_name, public_key_pem, status, created_at) "
                         "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, 'PENDING_ADMIN_REVIEW', ?)");
        insert.bind(1, claimId)
            .bind(2, invite.code)
            .bind(3, invite.orgId)
            .bind(4, invite.projectId)
            .bind(5, challenge.serial)
            .bind(6, challenge.uuid)
            .bind(7, sanitizeText(payload.value("device_name").toString().toStdString(), 200))
            .bind(8, humanName ? humanName : challenge.humanClaimName)
            .bind(9, payload.value("secure_enclave_public_key").toString().toStdString())
            .bind(10, nowMs())
            .run();
        Statement consume(db, "UPDATE invites SET claim_id = ? WHERE code = ?");
        consume.bind(1, claimId).bind(2, invite.code).run();
        transaction.commit();
        response = QJsonObject{{"claim", *claimRecord(db, claimId)}};
    });
    sendJson(res, 200, response);
}

void handleClaimStatus(State &state, const httplib::Request &req, httplib::Response &res)
{
    const QJsonObject body = requireJsonObject(req);
    const std::string claimId = requireString(body, "claim_request_id");
    const std::string serial = requireString(body, "hardware_serial_number");
    const std::string uuid = requireString(body, "hardware_uuid");
    const std::string pem = requireString(body, "secure_enclave_public_key");
    const auto signature = decodeStrictBase64(requireString(body, "status_signature_base64"));
    if (!signature)
        refuse(401, "invalid_signature", "status_signature_base64 is not standard base64");
    const auto der = parseDevicePublicKey(pem);
    if (!der)
        refuse(400, "invalid_public_key",
               "secure_enclave_public_key is not a P-256 public key in the expected PEM form");

    QJsonObject response;
    state.locked([&](Database &db) {
        Transaction transaction(db);
        Statement select(db, "SELECT hardware_serial_number, hardware_uuid, public_key_pem, status, device_id "
                             "FROM claims WHERE id = ?");
        select.bind(1, claimId);
        if (!select.step())
            refuse(404, "not_found", "claim not found");
        if (select.text(0) != sanitizeText(serial, kFieldMax) || select.text(1) != sanitizeText(uuid, kFieldMax))
            refuse(403, "forbidden", "hardware identity does not match the claim");
        if (parseDevicePublicKey(select.text(2)) != der)
            refuse(403, "forbidden", "public key does not match the claim");
        verifySignature(*der, {"CLAIM_STATUS", claimId, serial, uuid}, *signature, "claim status");
        const std::string status = select.text(3);
        const auto deviceId = select.optionalText(4);

        response = QJsonObject{{"claim", *claimRecord(db, claimId)}};
        if (const auto forced = takeClaimStatusFault(db)) {
            QJsonObject claim = response.value("claim").toObject();
            claim.insert("status", QString::fromStdString(*forced));
            response.insert("claim", claim);
            transaction.commit();
            return;
        }
        if (status == "APPROVED" && deviceId) {
            // Credentials go out until the device first uses them; each delivery replaces the
            // previous pair so that no secret is kept in the clear.
            Statement device(db, "SELECT first_seen_at FROM devices WHERE id = ?");
            device.bind(1, *deviceId);
            if (device.step() && device.isNull(0)) {
                const auto issued = rotateDeviceCredentials(db, *deviceId);
                response.insert("approved_device_bootstrap",
                                QJsonObject{{"device", *registeredDevice(db, *deviceId)},
                                            {"device_secret", QString::fromStdString(issued.deviceSecret)},
                                            {"bearer_token", QString::fromStdString(issued.bearerToken)},
                                            {"auth_kind", "device-claim"}});
            }
        }
        transaction.commit();
    });
    sendJson(res, 200, response);
}

// --- logout ---------------------------------------------------------------------------------

void handleLogout(State &state, const httplib::Request &req, httplib::Response &res)
{
    const QJsonObject body = requireJsonObject(req);
    const std::string deviceId = requireString(body, "device_id");
    const std::string serial = requireString(body, "hardware_serial_number");
    const std::string uuid = requireString(body, "hardware_uuid");
    const std::string pem = requireString(body, "secure_enclave_public_key");
    const auto signature = decodeStrictBase64(requireString(body, "logout_signature_base64"));
    if (!signature)
        refuse(401, "invalid_signature", "logout_signature_base64 is not standard base64");

    // A device the service no longer knows answers 404 so that the agent can clean up.
    const bool known = state.locked([&](Database &db) {
        Statement select(db, "SELECT 1 FROM devices WHERE id = ?");
        select.bind(1, deviceId);
        return select.step();
    });
    if (!known)
        refuse(404, "not_found", "device not found");

    const AuthenticatedDevice device = authenticateDevice(state, req);
    if (device.id != deviceId)
        refuse(403, "forbidden", "device_id does not match the authenticated device");
    // Stored identities are the cleaned texts of the challenge; the signature is over the raw ones.
    if (sanitizeText(serial, kFieldMax) != device.hardwareSerialNumber
        || sanitizeText(uuid, kFieldMax) != device.hardwareUUID)
        refuse(403, "forbidden", "hardware identity does not match the device");
    const auto der = parseDevicePublicKey(pem);
    if (!der || der != parseDevicePublicKey(device.publicKeyPem))
        refuse(403, "forbidden", "public key does not match the device");
    verifySignature(*der, {"LOGOUT", deviceId, serial, uuid}, *signature, "logout");

    state.locked([&](Database &db) {
        Transaction transaction(db);
        removeDevice(db, deviceId);
        transaction.commit();
    });
    sendJson(res, 200, QJsonObject{{"ok", true}, {"device_id", QString::fromStdString(deviceId)}});
}

}  // namespace

void installEnrollmentRoutes(httplib::Server &server, State &state)
{
    server.Post("/api/desktop/devices/register",
                withFaults(state, guarded([&state](const httplib::Request &req, httplib::Response &res) {
                               handleRegister(state, req, res);
                           })));
    server.Post("/api/v1/device-claims",
                withFaults(state, guarded([&state](const httplib::Request &req, httplib::Response &res) {
                               handleClaim(state, req, res);
                           })));
    server.Post("/api/v1/device-claims/status",
                withFaults(state, guarded([&state](const httplib::Request &req, httplib::Response &res) {
                               handleClaimStatus(state, req, res);
                           })));
    server.Post("/api/desktop/devices/logout",
                withFaults(state, guarded([&state](const httplib::Request &req, httplib::Response &res) {
                               handleLogout(state, req, res);
                           })));
}

}  // namespace devservice

}  // namespace mornix
