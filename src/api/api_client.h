#pragma once

#include "api/api_error.h"
#include "support/operational_log.h"
#include "api/http_exchange.h"
#include "api/pinned_session.h"
#include "api/transport_error.h"
#include "api/wire_records.h"
#include "commands/command_acknowledgement.h"
#include "commands/kill_command.h"
#include "discovery/agent_instance.h"
#include "identity/credential_records.h"
#include "identity/signed_payloads.h"
#include "support/cancellation.h"

#include <QList>
#include <QPointer>
#include <QString>

#include <QCoroTask>

#include <functional>
#include <memory>
#include <optional>

namespace mornix {

class DeviceEnrollmentAgent;

// The program's only HTTP client for the service and the hosted sign-in provider. It owns
// nothing but its pinned session; every operation builds one request, sends it on that session
// and decodes the answer. Operations raise APIError for answers they cannot use and
// TransportError (unchanged) for failures below HTTP; the client never retries.
// Thread: the thread that owns the session (the main thread). Operations may run concurrently;
// each keeps the session alive until it returns, so a client may be replaced while they run.
// Every operation takes an optional cancellation token that aborts its request.
class APIClient {
public:
    // What some operations need besides the session.
    struct Collaborators {
        // Builds and signs the registration record (registerDevice only); it blocks on the
        // keychain and the posture tools, so it runs on a worker thread.
        std::shared_ptr<const DeviceEnrollmentAgent> enrollmentAgent;
        OperationalLog operationalLog;  // the claim preflight's lines
    };

    explicit APIClient(std::shared_ptr<PinnedSession> session, Collaborators collaborators = {});

    const std::shared_ptr<PinnedSession> &session() const { return m_session; }

    // Service sign-in configuration: GET "/api/public-config" on the auth base URL.
    QCoro::Task<PublicAuthConfig> fetchPublicAuthConfig(QString authBaseURL,
                                                        QPointer<CancellationToken> cancel = {}) const;

    // The service's OAuth token endpoint (POST "/token", form body). An empty client secret
    // means none: no Basic authorisation and no "client_secret" field.
    QCoro::Task<OAuthTokenResponse> exchangeAuthorizationCode(QString apiBaseURL, QString clientID,
                                                              QString clientSecret, QString code, QString codeVerifier,
                                                              QString redirectURI,
                                                              QPointer<CancellationToken> cancel = {}) const;
    QCoro::Task<OAuthTokenResponse> refreshAccessToken(QString apiBaseURL, QString clientID, QString clientSecret,
                                                       QString refreshToken,
                                                       QPointer<CancellationToken> cancel = {}) const;

    // The hosted sign-in provider's token endpoint, found through the public configuration read
    // from authBaseURL; sent on this client's session, so its host must be the session's.
    QCoro::Task<OAuthTokenResponse> exchangePasswordCredentials(QString authBaseURL, QString email, QString password,
                                                                QPointer<CancellationToken> cancel = {}) const;
    QCoro::Task<OAuthTokenResponse> refreshSupabaseAccessToken(QString authBaseURL, QString refreshToken,
                                                               QPointer<CancellationToken> cancel = {}) const;

    // Device registration with the user's access token: challenge, then the signed record.
    // Raises std::logic_error when the client was made without an enrollment agent; the
    // agent's own errors (DeviceEnrollmentError, IdentityError) are raised unchanged.
    QCoro::Task<DeviceRegistrationResponse> registerDevice(QString apiBaseURL, QString bearerToken,
                                                           QString hardwareSerialNumber, QString hardwareUUID,
                                                           QPointer<CancellationToken> cancel = {}) const;

    // Device claim with an invite code; an empty human claim name is sent as "".
    QCoro::Task<DeviceClaimChallengeResponse> issueDeviceClaimChallenge(QString apiBaseURL, QString inviteCode,
                                                                        std::optional<QString> humanClaimName,
                                                                        QString hardwareSerialNumber,
                                                                        QString hardwareUUID,
                                                                        QPointer<CancellationToken> cancel = {}) const;
    // Refused locally, nothing sent, when the record's payload hash does not match its payload.
    QCoro::Task<DeviceClaimCompleteResponse> completeDeviceClaim(QString apiBaseURL,
                                                                 DeviceClaimRequestPayload signedRequest,
                                                                 QPointer<CancellationToken> cancel = {}) const;
    QCoro::Task<DeviceClaimStatusResponse> fetchDeviceClaimStatus(QString apiBaseURL,
                                                                  DeviceClaimStatusRequestPayload signedRequest,
                                                                  QPointer<CancellationToken> cancel = {}) const;

    // Device-authenticated operations (bearer token and request signature).
    QCoro::Task<void> logoutDevice(DeviceCredentials credentials, DeviceLogoutRequestPayload signedLogoutRequest,
                                   QPointer<CancellationToken> cancel = {}) const;
    // The next command, or none (204: nothing waiting). The service holds the request up to 20
    // seconds.
    QCoro::Task<std::optional<KillCommand>> pollNextCommand(DeviceCredentials credentials,
                                                            QPointer<CancellationToken> cancel = {}) const;
    QCoro::Task<void> sendAck(DeviceCredentials credentials, QString commandID, AckStatus status,
                              std::optional<KillExecutionResult> execution, std::optional<QString> messageOverride,
                              QPointer<CancellationToken> cancel = {}) const;
    QCoro::Task<void> reportAgentInstances(DeviceCredentials credentials, QList<AgentInstanceReport> instances,
                                           QPointer<CancellationToken> cancel = {}) const;

private:
    std::shared_ptr<PinnedSession> m_session;
    Collaborators m_collaborators;
};

}  // namespace mornix
