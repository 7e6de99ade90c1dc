#include "api/api_client.h"

#include "api/api_exchange.h"
#include "api/api_logging.h"
#include "api/transport_steps.h"
#include "commands/command_id.h"
#include "identity/device_enrollment_agent.h"
#include "support/blocking_call.h"
#include "support/canonical_json.h"
#include "support/sorted_keys_json.h"
#include "support/text_cleaning.h"

#include <QJsonArray>

#include <QCoroFuture>

#include <stdexcept>

namespace mornix {

using namespace api_exchange;
using api_transport::buildURL;

namespace {

constexpr qsizetype kMaxText = 4000;

QString sanitize(const QString &text)
{
    return sanitizeLog(text, kMaxText);
}

HTTPRequest jsonPost(const QString &apiBaseURL, const QString &path, QByteArray body)
{
    HTTPRequest request;
    request.method = "POST";
    request.url = buildURL(apiBaseURL, path);
    request.timeout = api_transport::operationTransferTimeout;
    request.setHeader("Content-Type", "application/json");
    request.body = std::move(body);
    return request;
}

// The body serialised with sorted keys, as the platform serialiser writes it.
QByteArray sortedKeysBody(const QJsonObject &object)
{
    const std::optional<QString> text = sortedKeysJSONString(object);
    if (!text)
        throw std::invalid_argument("request body has no JSON text");
    return text->toUtf8();
}

// Bearer token, then the request signature over the final request.
void authenticate(HTTPRequest &request, const DeviceCredentials &credentials)
{
    request.setHeader("Authorization", "Bearer " + credentials.bearerToken.toUtf8());
    api_transport::signRequest(request, credentials.deviceID, credentials.deviceSecret);
}

}  // namespace

QCoro::Task<DeviceRegistrationResponse> APIClient::registerDevice(QString apiBaseURL, QString bearerToken,
                                                                  QString hardwareSerialNumber, QString hardwareUUID,
                                                                  QPointer<CancellationToken> cancel) const
{
    const std::shared_ptr<PinnedSession> session = m_session;
    const std::shared_ptr<const DeviceEnrollmentAgent> agent = m_collaborators.enrollmentAgent;
    if (!agent)
        throw std::logic_error("APIClient::registerDevice needs a device enrollment agent");
    const QByteArray authorization = "Bearer " + bearerToken.toUtf8();

    HTTPRequest challengeRequest =
        jsonPost(apiBaseURL, QStringLiteral("/api/desktop/devices/register"),
                 compactJSON({{QStringLiteral("action"), QStringLiteral("challenge")},
                              {QStringLiteral("hardware_serial_number"), sanitize(hardwareSerialNumber)},
                              {QStringLiteral("hardware_uuid"), sanitize(hardwareUUID)}}));
    challengeRequest.setHeader("Authorization", authorization);
    const QByteArray challengeBody = co_await sendValidated(session, std::move(challengeRequest), cancel);
    const auto challenge = decode<DeviceRegistrationChallengeResponse>(
        challengeBody, QStringLiteral("Failed to decode OAuth device challenge: "));

    // Signing may wait on the keychain and runs the posture tools: keep it off this thread.
    // (Named locals, not temporaries, in the co_await: GCC 12 destroys captured temporaries of
    // an awaited expression twice.)
    auto build = [agent, id = challenge.challenge_id, nonce = challenge.challenge_nonce] {
        return agent->buildSignedRegistrationRequest(id, nonce);
    };
    QFuture<DeviceRegistrationRequestPayload> building = startBlockingCall(std::move(build));
    const DeviceRegistrationRequestPayload record = co_await building;

    HTTPRequest completion = jsonPost(apiBaseURL, QStringLiteral("/api/desktop/devices/register"),
                                      compactJSON(record.jsonObject(QStringLiteral("complete"))));
    completion.setHeader("Authorization", authorization);
    const QByteArray answer = co_await sendValidated(session, std::move(completion), cancel);
    co_return decode<DeviceRegistrationResponse>(answer, QStringLiteral("Failed to decode register response: "));
}

QCoro::Task<DeviceClaimChallengeResponse> APIClient::issueDeviceClaimChallenge(QString apiBaseURL, QString inviteCode,
                                                                               std::optional<QString> humanClaimName,
                                                                               QString hardwareSerialNumber,
                                                                               QString hardwareUUID,
                                                                               QPointer<CancellationToken> cancel) const
{
    const std::shared_ptr<PinnedSession> session = m_session;
    HTTPRequest request =
        jsonPost(apiBaseURL, QStringLiteral("/api/v1/device-claims"),
                 compactJSON({{QStringLiteral("action"), QStringLiteral("challenge")},
                              {QStringLiteral("invite_code"), sanitize(inviteCode)},
                              {QStringLiteral("human_claim_name"), sanitize(humanClaimName.value_or(QString()))},
                              {QStringLiteral("hardware_serial_number"), sanitize(hardwareSerialNumber)},
                              {QStringLiteral("hardware_uuid"), sanitize(hardwareUUID)}}));
    const QByteArray answer = co_await sendValidated(session, std::move(request), cancel);
    co_return decode<DeviceClaimChallengeResponse>(answer, QStringLiteral("Failed to decode device claim challenge: "));
}

QCoro::Task<DeviceClaimCompleteResponse> APIClient::completeDeviceClaim(QString apiBaseURL,
                                                                        DeviceClaimRequestPayload signedRequest,
                                                                        QPointer<CancellationToken> cancel) const
{
    const std::shared_ptr<PinnedSession> session = m_session;
    const OperationalLog log = m_collaborators.operationalLog;
    const QJsonObject body = signedRequest.jsonObject(QStringLiteral("complete"));

    // Preflight: the payload must hash to the recorded hash, else nothing is sent.
    const QJsonValue payload = body.value(QStringLiteral("payload"));
    const QString recomputed = payloadHash(payload.toObject());
    const QString recorded = signedRequest.payload_hash_sha256;
    if (recomputed != recorded) {
        if (log)
            log(QStringLiteral("claim payload hash preflight mismatch expected=") + recorded
                + QStringLiteral(" recomputed=") + recomputed);
        throw APIError::decodeError(QStringLiteral("Claim payload hash preflight mismatch"));
    }
    const qsizetype payloadBytes = canonical_json::stableJSONString(payload).value_or(QString()).toUtf8().size();
    if (log)
        log(QStringLiteral("claim payload hash preflight ok hash=") + recomputed + QStringLiteral(" payload_bytes=")
            + QString::number(payloadBytes));

    HTTPRequest request = jsonPost(apiBaseURL, QStringLiteral("/api/v1/device-claims"), sortedKeysBody(body));
    const QByteArray answer = co_await sendValidated(session, std::move(request), cancel);
    co_return decode<DeviceClaimCompleteResponse>(answer, QStringLiteral("Failed to decode device claim response: "));
}

QCoro::Task<DeviceClaimStatusResponse> APIClient::fetchDeviceClaimStatus(QString apiBaseURL,
                                                                         DeviceClaimStatusRequestPayload signedRequest,
                                                                         QPointer<CancellationToken> cancel) const
{
    const std::shared_ptr<PinnedSession> session = m_session;
    HTTPRequest request = jsonPost(apiBaseURL, QStringLiteral("/api/v1/device-claims/status"),
                                   sortedKeysBody(signedRequest.jsonObject()));
    const QByteArray answer = co_await sendValidated(session, std::move(request), cancel);
    co_return decode<DeviceClaimStatusResponse>(answer, QStringLiteral("Failed to decode device claim status: "));
}

QCoro::Task<void> APIClient::logoutDevice(DeviceCredentials credentials, DeviceLogoutRequestPayload signedLogoutRequest,
                                          QPointer<CancellationToken> cancel) const
{
    const std::shared_ptr<PinnedSession> session = m_session;
    HTTPRequest request = jsonPost(credentials.apiBaseURL, QStringLiteral("/api/desktop/devices/logout"),
                                   sortedKeysBody(signedLogoutRequest.jsonObject()));
    authenticate(request, credentials);
    co_await sendValidated(session, std::move(request), cancel);
}

QCoro::Task<std::optional<KillCommand>> APIClient::pollNextCommand(DeviceCredentials credentials,
                                                                   QPointer<CancellationToken> cancel) const
{
    const std::shared_ptr<PinnedSession> session = m_session;
    HTTPRequest request;
    request.method = "GET";
    request.url = buildURL(credentials.apiBaseURL, QStringLiteral("/api/desktop/commands/next"),
                           {{QStringLiteral("command_protocol_version"), QStringLiteral("2")},
                            {QStringLiteral("timeout_ms"), QStringLiteral("20000")}});
    request.timeout = api_transport::operationTransferTimeout;
    authenticate(request, credentials);
    const HTTPResponse response = co_await send(session, std::move(request), cancel);
    if (*response.status == 204)
        co_return std::nullopt;
    api_transport::validateHTTP(*response.status, response.body);
    QString error;
    const std::optional<KillCommandEnvelope> envelope = KillCommandEnvelope::decode(response.body, &error);
    if (!envelope) {
        const QString message = QStringLiteral("Failed to decode command envelope: ") + error;
        if (const std::optional<QString> id = command_id::readableID(response.body))
            throw APIError::undecodableCommand(message, *id);
        throw APIError::decodeError(message);
    }
    // An id that cannot be acknowledged safely makes the envelope one without a readable id.
    if (!command_id::isSafe(envelope->command.id))
        throw APIError::decodeError(QStringLiteral("Failed to decode command envelope: command id is not acceptable"));
    co_return envelope->command;
}

QCoro::Task<void> APIClient::sendAck(DeviceCredentials credentials, QString commandID, AckStatus status,
                                     std::optional<KillExecutionResult> execution,
                                     std::optional<QString> messageOverride, QPointer<CancellationToken> cancel) const
{
    const std::shared_ptr<PinnedSession> session = m_session;
    // The id reaches the path only as one percent-encoded segment, and only when it is safe.
    if (!command_id::isSafe(commandID))
        throw APIError::badURL();
    const CommandAcknowledgement ack =
        CommandAcknowledgement::make(commandID, credentials.deviceID, status, execution, messageOverride);
    const QString path = QStringLiteral("/api/desktop/commands/")
                         + QString::fromLatin1(command_id::pathSegment(commandID)) + QStringLiteral("/ack");
    HTTPRequest request = jsonPost(credentials.apiBaseURL, path, compactJSON(ack.toJSON()));
    request.setHeader("X-Idempotency-Key", ack.idempotencyKey.toUtf8());
    authenticate(request, credentials);
    co_await sendValidated(session, std::move(request), cancel);
}

QCoro::Task<void> APIClient::reportAgentInstances(DeviceCredentials credentials, QList<AgentInstanceReport> instances,
                                                  QPointer<CancellationToken> cancel) const
{
    const std::shared_ptr<PinnedSession> session = m_session;
    QJsonArray list;
    for (const AgentInstanceReport &instance : std::as_const(instances))
        list.append(instance.toJSON());
    HTTPRequest request = jsonPost(credentials.apiBaseURL, QStringLiteral("/api/desktop/agent-instances/report"),
                                   compactJSON({{QStringLiteral("instances"), list}}));
    authenticate(request, credentials);
    co_await sendValidated(session, std::move(request), cancel);
}

}  // namespace mornix
