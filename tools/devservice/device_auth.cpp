#include "device_auth.h"

#include "http_util.h"
#include "signatures.h"
#include "util.h"

#include "support/crypto.h"

namespace mornix {

namespace devservice {

namespace {

[[noreturn]] void unauthorized(const std::string &message)
{
    refuse(401, "unauthorized", message);
}

// Both header spellings must be present once and carry the same value.
std::string pairedHeader(const httplib::Request &req, const char *primary, const char *alias)
{
    const auto first = singleHeader(req, primary, 401);
    const auto second = singleHeader(req, alias, 401);
    if (!first || !second)
        unauthorized(std::string("missing request signature header ") + (first ? alias : primary));
    if (*first != *second)
        unauthorized(std::string("headers ") + primary + " and " + alias + " differ");
    return *first;
}

bool isLowerHex(const std::string &text, size_t length)
{
    if (text.size() != length)
        return false;
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

}  // namespace

bool timestampInWindow(const std::string &text)
{
    const auto timestamp = parseInteger(text);
    if (!timestamp || *timestamp < 0)
        return false;
    const std::int64_t skew = *timestamp - nowSeconds();
    return skew <= kTimestampWindowSeconds && skew >= -kTimestampWindowSeconds;
}

bool recordNonce(Database &db, const std::string &scope, const std::string &nonce)
{
    Statement purge(db, "DELETE FROM request_nonces WHERE seen_at < ?");
    purge.bind(1, nowSeconds() - 2 * kTimestampWindowSeconds - 60).run();
    Statement insert(db, "INSERT OR IGNORE INTO request_nonces (scope, nonce, seen_at) VALUES (?, ?, ?)");
    insert.bind(1, scope).bind(2, nonce).bind(3, nowSeconds()).run();
    return db.changes() == 1;
}

AuthenticatedDevice authenticateDevice(State &state, const httplib::Request &req)
{
    const auto authorization = singleHeader(req, "Authorization", 401);
    if (!authorization || authorization->rfind("Bearer ", 0) != 0 || authorization->size() <= 7)
        unauthorized("missing device bearer token");
    const std::string tokenHash = sha256Hex(authorization->substr(7));

    const std::string deviceId = pairedHeader(req, "x-veltro-device-id", "x-veltro-key-id");
    const std::string timestamp = pairedHeader(req, "x-veltro-device-ts", "x-veltro-ts");
    const std::string nonce = pairedHeader(req, "x-veltro-device-nonce", "x-veltro-nonce");
    const std::string signature = pairedHeader(req, "x-veltro-device-signature", "x-veltro-signature");

    if (!timestampInWindow(timestamp))
        unauthorized("request timestamp outside the allowed window of 300 seconds");
    if (signature.rfind("v1=", 0) != 0 || !isLowerHex(signature.substr(3), 64))
        unauthorized("malformed request signature");
    if (nonce.empty() || nonce.size() > 128)
        unauthorized("malformed request nonce");
    const auto signedPath = signedPathFromTarget(req.target);
    if (!signedPath)
        unauthorized("malformed request path");

    return state.locked([&](Database &db) {
        Transaction transaction(db);
        Statement select(db, "SELECT id, org_id, project_id, hardware_serial_number, hardware_uuid, "
                             "public_key_pem, secret_hash FROM devices WHERE token_hash = ?");
        select.bind(1, tokenHash);
        if (!select.step())
            unauthorized("invalid device bearer token");
        AuthenticatedDevice device{select.text(0), select.text(1), select.text(2),
                                   select.text(3), select.text(4), select.text(5)};
        const std::string secretHash = select.text(6);
        if (device.id != deviceId)
            unauthorized("device id does not match the bearer token");

        const std::string expected =
            requestSignatureHex(secretHash, canonicalRequestText(req.method, *signedPath, timestamp, nonce, req.body));
        if (!crypto::constantTimeEquals(QByteArray::fromStdString(expected),
                                        QByteArray::fromStdString(signature.substr(3))))
            unauthorized("request signature does not verify");
        if (!recordNonce(db, "device:" + device.id, nonce))
            unauthorized("request nonce was already used");

        Statement seen(db, "UPDATE devices SET last_seen_at = ?, first_seen_at = COALESCE(first_seen_at, ?) "
                           "WHERE id = ?");
        seen.bind(1, nowMs()).bind(2, nowMs()).bind(3, device.id).run();
        transaction.commit();
        return device;
    });
}

}  // namespace devservice

}  // namespace mornix
