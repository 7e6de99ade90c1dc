// Fuzz harness: every answer body the service (and the hosted sign-in provider) can send besides
// the command envelope, through the decoders the API client uses (each with its endpoint's
// prefix), and as an error body through the status check and the text users see.
// The first two bytes are an HTTP status for the error path; every decoder sees the rest.
// Invariants: a decoder either returns a record or raises decodeError whose message is its
// prefix followed by a reason, nothing else; a decoded record's required texts are present;
// the status check passes 2xx and turns every other status into the matching error; every
// error has a description for users.
#include "api/api_error.h"
#include "api/api_exchange.h"
#include "api/transport_steps.h"
#include "api/wire_records.h"
#include "app/api_adapters.h"
#include "api/service_error_text.h"
#include "fuzz_support.h"

#include <QByteArray>

#include <cstdint>
#include <limits>

namespace mornix {

namespace {

using fuzz_support::check;

template <typename Record, typename Valid>
void decodeAs(const QByteArray &body, const QString &prefix, Valid valid)
{
    try {
        const Record record = api_exchange::decode<Record>(body, prefix);
        check(valid(record), "a decoded record has its required fields");
    } catch (const APIError &error) {
        check(error.kind() == APIError::Kind::decodeError, "a body that does not decode is a decodeError");
        check(error.message().startsWith(prefix) && error.message().size() > prefix.size(),
              "a decodeError carries its endpoint's prefix and a reason");
        check(!describeServiceError(error).isEmpty(), "every error has a description");
    }
}

bool present(const QString &text)
{
    return !text.isNull();
}

bool validDevice(const RegisteredDevice &d)
{
    return present(d.id) && present(d.org_id) && present(d.project_id) && present(d.device_name);
}

bool validClaim(const DeviceClaimRecord &c)
{
    return present(c.id) && present(c.hardware_serial_number) && present(c.hardware_uuid) && present(c.invite_code_hint)
           && present(c.status) && present(c.created_at);
}

void decodeEveryRecord(const QByteArray &body)
{
    decodeAs<PublicAuthConfig>(
        body, QStringLiteral("Failed to decode public auth config: "),
        [](const PublicAuthConfig &r) { return present(r.supabase_url) && present(r.supabase_public_key); });
    const auto validToken = [](const OAuthTokenResponse &r) {
        // expires_in is a number of seconds that can be added to any date up to the year 9999
        // in milliseconds without overflow.
        constexpr qint64 year10000Ms = 253402300800000;
        constexpr qint64 limit = (std::numeric_limits<qint64>::max() - year10000Ms) / 1000;
        return present(r.access_token) && (!r.expires_in || (*r.expires_in >= -limit && *r.expires_in <= limit));
    };
    for (const char *prefix :
         {"Failed to decode OAuth token response: ", "Failed to decode refreshed OAuth token response: ",
          "Failed to decode password OAuth response: ", "Failed to decode Supabase refresh response: "})
        decodeAs<OAuthTokenResponse>(body, QString::fromLatin1(prefix), validToken);
    decodeAs<DeviceRegistrationChallengeResponse>(body, QStringLiteral("Failed to decode OAuth device challenge: "),
                                                  [](const DeviceRegistrationChallengeResponse &r) {
                                                      return present(r.challenge_id) && present(r.challenge_nonce)
                                                             && present(r.expires_at);
                                                  });
    decodeAs<DeviceRegistrationResponse>(
        body, QStringLiteral("Failed to decode register response: "), [](const DeviceRegistrationResponse &r) {
            return validDevice(r.device) && present(r.device_bearer_token) && present(r.device_secret);
        });
    decodeAs<DeviceClaimChallengeResponse>(
        body, QStringLiteral("Failed to decode device claim challenge: "), [](const DeviceClaimChallengeResponse &r) {
            return present(r.challenge_id) && present(r.challenge_nonce) && present(r.expires_at);
        });
    decodeAs<DeviceClaimCompleteResponse>(body, QStringLiteral("Failed to decode device claim response: "),
                                          [](const DeviceClaimCompleteResponse &r) { return validClaim(r.claim); });
    decodeAs<DeviceClaimStatusResponse>(
        body, QStringLiteral("Failed to decode device claim status: "), [](const DeviceClaimStatusResponse &r) {
            const auto &bootstrap = r.approved_device_bootstrap;
            return validClaim(r.claim)
                   && (!bootstrap
                       || (validDevice(bootstrap->device) && present(bootstrap->device_secret)
                           && present(bootstrap->bearer_token) && present(bootstrap->auth_kind)));
        });
}

void checkErrorBody(int status, const QByteArray &body)
{
    try {
        api_transport::validateHTTP(status, body);
        check(status >= 200 && status <= 299, "only 2xx passes");
    } catch (const APIError &error) {
        check(status < 200 || status > 299, "2xx never fails");
        if (status == 401 || status == 403)
            check(error.kind() == APIError::Kind::unauthorized, "401 and 403 are unauthorized");
        else
            check(error.kind() == APIError::Kind::serverError && error.statusCode() == status,
                  "another status is a serverError with that status");
        check(!describeServiceError(error).isEmpty(), "every error has a description");
    }
}

}  // namespace

}  // namespace mornix

using namespace mornix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const int status = 100 + ((data[0] << 8) | data[1]) % 500;
    const QByteArray body =
        QByteArray::fromRawData(reinterpret_cast<const char *>(data) + 2, static_cast<qsizetype>(size - 2));
    decodeEveryRecord(body);
    checkErrorBody(status, body);
    return 0;
}
