#include "signin/sign_in_flows.h"

#include "api/api_client.h"
#include "api/api_error.h"
#include "api/pinned_session.h"
#include "api/pinned_session_failure_store.h"
#include "api/transport_error.h"
#include "commands/device_service_client.h"
#include "identity/device_enrollment_agent.h"
#include "identity/identity_error.h"
#include "identity/keychain_store.h"
#include "signin/signin_logging.h"
#include "support/blocking_call.h"
#include "support/text_cleaning.h"

#include <QDateTime>
#include <QTimer>
#include <QLoggingCategory>

#include <QCoroFuture>
#include <QCoroTimer>

namespace mornix {

namespace {

bool containsIgnoringCase(const QString &text, QLatin1String needle)
{
    return text.contains(needle, Qt::CaseInsensitive);
}

QString oauthErrorDescription(const OAuthError &error)
{
    switch (error.kind()) {
    case OAuthError::Kind::callbackListenerFailed: return QStringLiteral("The sign-in listener failed: ") + error.message();
    case OAuthError::Kind::invalidBaseURL: return QStringLiteral("The sign-in address is not a valid URL.");
    case OAuthError::Kind::invalidAuthorizeURL: return QStringLiteral("The authorization URL could not be formed.");
    case OAuthError::Kind::invalidCallback: return QStringLiteral("The sign-in callback could not be read.");
    case OAuthError::Kind::missingCode: return QStringLiteral("The sign-in callback carried no authorization code.");
    case OAuthError::Kind::missingToken: return QStringLiteral("The sign-in returned no token.");
    case OAuthError::Kind::missingClientCredentials: return QStringLiteral("No OAuth client identifier is configured.");
    case OAuthError::Kind::stateMismatch: return QStringLiteral("The sign-in callback did not match this attempt.");
    case OAuthError::Kind::canceled: return QStringLiteral("The sign-in was canceled.");
    case OAuthError::Kind::failedToStart: return QStringLiteral("The web browser could not be opened.");
    case OAuthError::Kind::callbackTimedOut: return QStringLiteral("The sign-in timed out.");
    case OAuthError::Kind::providerError: return QStringLiteral("The sign-in provider reported: ") + error.message();
    }
    return QStringLiteral("The sign-in failed.");
}

}  // namespace

SignInFlows::SignInFlows(Host &host, Dependencies dependencies, QObject *parent)
    : QObject(parent)
    , m_host(host)
    , m_deps(std::move(dependencies))
    , m_oauthManager(new OAuthManager(m_deps.oauth, this))
{
}

SignInFlows::~SignInFlows() = default;

std::shared_ptr<APIClient> SignInFlows::makeAPIClient(const QString &apiBaseURL) const
{
    APIClient::Collaborators collaborators;
    collaborators.enrollmentAgent = m_deps.enrollmentAgent;
    collaborators.operationalLog = m_deps.appendLog;
    return std::make_shared<APIClient>(makePinnedSession(apiBaseURL, m_deps.config, m_deps.pinFailures), collaborators);
}

// --- texts ----------------------------------------------------------------------------------

QString SignInFlows::describe(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const OAuthError &e) {
        return oauthErrorDescription(e);
    } catch (const APIError &e) {
        switch (e.kind()) {
        case APIError::Kind::unauthorized: return QStringLiteral("The service refused the request.");
        case APIError::Kind::serverError: return QStringLiteral("The service answered with HTTP status %1.").arg(e.statusCode());
        case APIError::Kind::decodeError: return e.message();
        case APIError::Kind::badURL: return QStringLiteral("The service address is not valid.");
        case APIError::Kind::invalidResponse: return QStringLiteral("The service answer was not an HTTP response.");
        }
    } catch (const TransportError &e) {
        return e.message();
    } catch (const PinnedSessionError &e) {
        switch (e.kind()) {
        case PinnedSessionError::Kind::invalidAPIBaseURL: return QStringLiteral("The API base URL is not valid.");
        case PinnedSessionError::Kind::insecureScheme: return QStringLiteral("The API base URL does not use HTTPS.");
        case PinnedSessionError::Kind::disallowedHost: return QStringLiteral("The API host is not allowed.");
        }
    } catch (const IdentityError &e) {
        return e.localizedDescription();
    } catch (const std::exception &e) {
        const QString text = QString::fromUtf8(e.what());
        return text.isEmpty() ? QStringLiteral("unknown error") : text;
    } catch (...) {
    }
    return QStringLiteral("unknown error");
}

QString SignInFlows::redactedServerDetail(const QString &detail)
{
    const QString lower = detail.toLower();
    if (lower.contains(QLatin1String("secure_enclave_public_key")) || lower.contains(QLatin1String("stable_payload_json"))
        || lower.contains(QLatin1String("mdm_enrollment_secret")))
        return QStringLiteral("redacted sensitive server detail");
    return sanitizeLog(detail, 4000);
}

SignInFlows::FailureTexts SignInFlows::failureTexts(const std::exception_ptr &error, const QString &phase,
                                                    const std::optional<QString> &pinFailure)
{
    const auto generic = [&] {
        return FailureTexts{sanitizeLog(QStringLiteral("failed at ") + phase + QStringLiteral(": ") + describe(error), 120),
                            QStringLiteral("failed during ") + phase, std::nullopt};
    };
    try {
        std::rethrow_exception(error);
    } catch (const OAuthError &e) {
        switch (e.kind()) {
        case OAuthError::Kind::missingClientCredentials:
            return {QStringLiteral("oauth app credentials missing"), QStringLiteral("enter oauth client id and secret"), {}};
        case OAuthError::Kind::stateMismatch:
            return {QStringLiteral("oauth state mismatch, retry sign-in"), QStringLiteral("state mismatch"), {}};
        case OAuthError::Kind::canceled:
            return {QStringLiteral("oauth canceled (callback not received)"), QStringLiteral("sign-in canceled"), {}};
        case OAuthError::Kind::callbackTimedOut:
            return {QStringLiteral("oauth timeout, retry sign-in"), QStringLiteral("sign-in timed out"), {}};
        case OAuthError::Kind::missingCode:
            return {QStringLiteral("oauth callback missing code"), QStringLiteral("missing authorization code"), {}};
        case OAuthError::Kind::missingToken:
            return {QStringLiteral("oauth callback missing token"), QStringLiteral("provider sign-in did not return a token"), {}};
        case OAuthError::Kind::providerError:
            return {sanitizeLog(QStringLiteral("oauth provider error: ") + e.message(), 120),
                    QStringLiteral("sign-in provider reported an error"), {}};
        case OAuthError::Kind::callbackListenerFailed:
            return {sanitizeLog(QStringLiteral("oauth listener failed: ") + e.message(), 80),
                    QStringLiteral("authentication failed"), {}};
        default:
            return generic();
        }
    } catch (const APIError &e) {
        if (e.kind() == APIError::Kind::unauthorized)
            return {sanitizeLog(QStringLiteral("unauthorized at ") + phase + QStringLiteral(": ") + e.body(), 120),
                    QStringLiteral("unauthorized during ") + phase, {}};
        if (e.kind() == APIError::Kind::serverError) {
            const QString logLine = QStringLiteral("server detail at ") + phase + QStringLiteral(": ")
                + redactedServerDetail(e.body());
            if (containsIgnoringCase(e.body(), QLatin1String("redirect_uri does not match previously seen redirect")))
                return {QStringLiteral("oauth redirect mismatch, retry sign-in"),
                        QStringLiteral("redirect mismatch on auth server"), logLine};
            // The detail shown is the redacted one: what is never logged is never shown either.
            return {sanitizeLog(QStringLiteral("server ") + QString::number(e.statusCode()) + QStringLiteral(" at ")
                                    + phase + QStringLiteral(": ") + redactedServerDetail(e.body()),
                                120),
                    QStringLiteral("server error during ") + phase, logLine};
        }
        return generic();
    } catch (const TransportError &e) {
        if (e.code() == QNetworkReply::OperationCanceledError && pinFailure && *pinFailure != QLatin1String("ok")) {
            const QString message = sanitizeLog(*pinFailure + QStringLiteral(" at ") + phase, 120);
            return {message, *pinFailure, {}};
        }
        return {sanitizeLog(QStringLiteral("network ") + QString::number(int(e.code())) + QStringLiteral(" at ") + phase, 120),
                QStringLiteral("network error at ") + phase, {}};
    } catch (...) {
        return generic();
    }
}

QString SignInFlows::reportFailure(const std::exception_ptr &error, const QString &phase, SignInWindowController *window)
{
    std::optional<QString> pinFailure;
    try {
        std::rethrow_exception(error);
    } catch (const TransportError &) {
        if (m_deps.pinFailures)
            pinFailure = m_deps.pinFailures->take();
    } catch (...) {
    }
    const FailureTexts texts = failureTexts(error, phase, pinFailure);
    qCInfo(lcSignIn) << "flow failed at" << phase << ":" << describe(error);
    if (texts.logLine && m_deps.appendLog)
        m_deps.appendLog(*texts.logLine);
    if (window) {
        window->setButtonsEnabled(true);
        window->clearStatus();
        window->setStatus(texts.label, SignInWindowController::LabelColor::red);
    }
    m_host.setLastCommand(texts.lastCommand);
    return texts.label;
}

// --- entry ----------------------------------------------------------------------------------

bool SignInFlows::runsFromApplicationBundle(const RuntimeContext &context)
{
    return context.bundleID == QLatin1String("ai.veltro.mornix") && context.bundlePath.endsWith(QLatin1String(".app"))
        && context.executablePath.contains(QLatin1String(".app/Contents/MacOS/"));
}

void SignInFlows::presentRuntimeMisconfigurationAlert(const RuntimeContext &context)
{
    if (!m_deps.alerts)
        return;
    m_deps.alerts->showWarning(
        QStringLiteral("Run the bundled app target"),
        QStringLiteral("Secure Enclave and Keychain access require Mornix to run from the signed app bundle.\n\nBundle ID: ")
            + context.bundleID + QStringLiteral("\nBundle path: ") + context.bundlePath
            + QStringLiteral("\nExecutable path: ") + context.executablePath
            + QStringLiteral("\n\nLaunch the Xcode app target so the process runs from VeltroMornix.app instead of a raw executable."));
}

void SignInFlows::presentInitialClaimPromptIfNeeded()
{
    if (m_host.credentials() || m_host.pendingClaim() || m_signInWindow || m_didPresentInitialClaimPrompt)
        return;
    m_didPresentInitialClaimPrompt = true;
    const QPointer<SignInFlows> self(this);
    QTimer::singleShot(m_deps.initialPromptDelay, this, [self] {
        if (self)
            self->registerDevice();
    });
}

void SignInFlows::registerDevice()
{
    m_didPresentInitialClaimPrompt = true;
    const RuntimeContext context = m_deps.runtimeContext ? m_deps.runtimeContext() : RuntimeContext{};
    if (!runsFromApplicationBundle(context)) {
        m_host.setLastCommand(QStringLiteral("refusing claim flow from unbundled runtime"));
        if (m_deps.appendLog)
            m_deps.appendLog(QStringLiteral("runtime refusal bundle_path=") + context.bundlePath
                             + QStringLiteral(" executable_path=") + context.executablePath);
        presentRuntimeMisconfigurationAlert(context);
        return;
    }
    if (m_signInWindow && m_signInWindow->isOpen())
        return;  // one sign-in window at a time
    openSignInWindow();
}

QCoro::Task<void> SignInFlows::openSignInWindow()
{
    const QPointer<SignInFlows> self(this);
    const std::chrono::milliseconds delay = m_deps.registerDelay;
    co_await QCoro::sleepFor(delay);
    if (!self)
        co_return;

    std::optional<QString> chosen;
    if (const std::optional<DeviceCredentials> credentials = m_host.credentials())
        chosen = credentials->apiBaseURL;
    else if (m_deps.userDefaults)
        chosen = SignInPreferences::storedAPIBaseURL(*m_deps.userDefaults);
    const QString websiteHost = m_deps.config.websiteURL.host();
    const QString apiBaseURL =
        SignInPreferences::normalizedAPIBaseURL(chosen, m_deps.config.defaultAPIBaseURL, websiteHost);
    std::optional<QString> name = m_deps.computerName ? m_deps.computerName() : std::nullopt;
    const QString deviceName = name && !name->trimmed().isEmpty() ? *name : fallbackDeviceName;

    SignInWindowController::Settings settings;
    settings.defaultAPIBaseURL = m_deps.config.defaultAPIBaseURL;
    settings.defaultOAuthClientID = m_deps.config.defaultOAuthClientID;
    settings.websiteHost = websiteHost;
    settings.helpPageURL = m_deps.config.helpPageURL;
    settings.openHelpPage = m_deps.openHelpPage;
    settings.userDefaults = m_deps.userDefaults;
    auto *window = new SignInWindowController(apiBaseURL, deviceName, settings, this);
    m_signInWindow = window;
    if (m_deps.attachWindow)
        m_deps.attachWindow(window);
    const QPointer<SignInWindowController> guard(window);
    connect(window, &SignInWindowController::closed, this, [self, guard] {
        // Closed by the flow or by the user: the controller lets go of it.
        if (self && self->m_signInWindow == guard)
            self->m_signInWindow.clear();
        if (guard)
            guard->deleteLater();
    });

    const std::optional<SignInRequest> request = co_await window->present();
    if (!self)
        co_return;
    if (!request) {
        m_host.setLastCommand(QStringLiteral("sign-in canceled"));
        co_return;
    }
    // A button pressed after a failed attempt starts a new attempt in the same window.
    window->setNewAttemptHandler([self, guard](const SignInRequest &again) {
        if (self && guard)
            self->runAttempt(again, guard);
    });
    co_await runAttempt(*request, guard);
}

QCoro::Task<void> SignInFlows::runAttempt(SignInRequest request, QPointer<SignInWindowController> window)
{
    if (window) {
        window->setButtonsEnabled(false);
        window->setStatus(QStringLiteral("Preparing device claim..."), SignInWindowController::LabelColor::secondary);
    }
    co_await registerDeviceFlow(request.apiBaseURL, request.deviceName, request.method, request.oauthClientID,
                                request.oauthClientSecret, window);
}

// --- registration ---------------------------------------------------------------------------

QCoro::Task<void> SignInFlows::registerDeviceFlow(QString apiBaseURL, QString deviceName, SignInMethod method,
                                                  std::optional<QString> oauthClientID,
                                                  std::optional<QString> oauthClientSecret,
                                                  QPointer<SignInWindowController> signIn)
{
    const QPointer<SignInFlows> self(this);
    if (apiBaseURL.isEmpty() || deviceName.isEmpty()) {
        m_host.setLastCommand(QStringLiteral("registration failed: missing fields"));
        if (signIn)
            signIn->setStatus(QStringLiteral("missing registration fields"), SignInWindowController::LabelColor::red);
        co_return;
    }
    if (method.kind == SignInMethod::Kind::deviceEnrollment) {
        co_await claimDeviceFlow(apiBaseURL, deviceName, method.enrollmentSecret, method.inviteCode,
                                 method.humanClaimName, signIn);
        co_return;
    }

    m_host.setLastCommand(QStringLiteral("oauth: opening sign-in"));
    QString phase = phaseOpeningSignIn;
    std::exception_ptr failure;
    // The browser's callback tab (provider sign-ins): told the outcome once it is known.
    std::shared_ptr<OAuthLoopbackListener> callbackPage;
    try {
        const QString authBaseURL = m_deps.config.defaultAPIBaseURL;
        const std::shared_ptr<const APIClient> authClient = makeAPIClient(authBaseURL);
        const std::shared_ptr<const APIClient> serviceClient = makeAPIClient(apiBaseURL);
        std::shared_ptr<DeviceServiceClient> pollClient = m_deps.makeServiceClient
            ? m_deps.makeServiceClient(apiBaseURL)
            : nullptr;
        if (!pollClient)
            throw PinnedSessionError(PinnedSessionError::Kind::invalidAPIBaseURL);

        const std::optional<QString> serial =
            m_deps.enrollmentAgent->ioPlatformValue(QString::fromLatin1(HardwareIdentity::serialNumberKey));
        const std::optional<QString> uuid =
            m_deps.enrollmentAgent->ioPlatformValue(QString::fromLatin1(HardwareIdentity::platformUUIDKey));

        OAuthAuthenticationMethod mapped = OAuthAuthenticationMethod::google();
        if (method.kind == SignInMethod::Kind::github)
            mapped = OAuthAuthenticationMethod::github();
        else if (method.kind == SignInMethod::Kind::password)
            mapped = OAuthAuthenticationMethod::passwordPair(method.email, method.password);
        const AuthResult auth = co_await m_oauthManager->authenticateOnce(authBaseURL, authClient, mapped,
                                                                          oauthClientID, oauthClientSecret);
        callbackPage = auth.callbackPage;
        if (!self)
            co_return;

        m_host.setLastCommand(QStringLiteral("oauth: exchanging token"));
        m_host.setLastCommand(QStringLiteral("oauth: registering device"));
        phase = phaseRegisteringDevice;
        const QString accessToken = auth.token.access_token;
        const QString serialText = serial.value_or(DeviceEnrollmentAgent::unknownSerial);
        const QString uuidText = uuid.value_or(DeviceEnrollmentAgent::unknownUUID);
        const DeviceRegistrationResponse response =
            co_await serviceClient->registerDevice(apiBaseURL, accessToken, serialText, uuidText);
        if (!self)
            co_return;

        DeviceCredentials credentials;
        credentials.apiBaseURL = apiBaseURL;
        credentials.authBaseURL = authBaseURL;
        credentials.authKind = authKindRawValue(auth.kind);
        credentials.bearerToken = response.device_bearer_token;
        credentials.oauthClientID = auth.clientID;
        credentials.orgID = response.device.org_id;
        credentials.projectID = response.device.project_id;
        credentials.deviceID = response.device.id;
        credentials.deviceSecret = response.device_secret;
        const std::shared_ptr<KeychainStore> keychain = m_deps.keychain;
        QFuture<void> save = startBlockingCall([keychain, credentials] {
            keychain->saveCredentials(credentials);
        });
        co_await save;
        if (!self)
            co_return;

        m_host.setCredentials(credentials);
        m_host.setServiceClient(pollClient);
        m_host.setConnected(false);
        m_host.setLastCommand(QStringLiteral("registered ") + credentials.deviceID);
        if (callbackPage)
            callbackPage->showSignedIn();
        if (signIn)
            signIn->orderOutAndClose();
        co_return;
    } catch (...) {
        failure = std::current_exception();
    }
    if (self && failure) {
        const QString label = reportFailure(failure, phase, signIn);
        if (callbackPage)
            callbackPage->showFailure(QStringLiteral("This computer could not be registered (") + label
                                      + QStringLiteral(")."));
    }
}

// --- claim ----------------------------------------------------------------------------------

QCoro::Task<void> SignInFlows::claimDeviceFlow(QString apiBaseURL, QString deviceName, QString enrollmentSecret,
                                               QString inviteCode, std::optional<QString> humanClaimName,
                                               QPointer<SignInWindowController> signIn)
{
    const QPointer<SignInFlows> self(this);
    QString phase = phaseCollectingIdentity;
    std::exception_ptr failure;
    try {
        const std::shared_ptr<const APIClient> serviceClient = makeAPIClient(apiBaseURL);
        std::shared_ptr<DeviceServiceClient> pollClient = m_deps.makeServiceClient
            ? m_deps.makeServiceClient(apiBaseURL)
            : nullptr;
        if (!pollClient)
            throw PinnedSessionError(PinnedSessionError::Kind::invalidAPIBaseURL);

        m_host.setLastCommand(QStringLiteral("zta: collecting device identity"));
        const std::shared_ptr<const DeviceEnrollmentAgent> agent = m_deps.enrollmentAgent;
        QFuture<DeviceEnrollmentPayload> collect = startBlockingCall(
            [agent, enrollmentSecret] { return agent->buildEnrollmentPayload(enrollmentSecret); });
        const DeviceEnrollmentPayload payload = co_await collect;
        if (!self)
            co_return;

        phase = phaseRequestingChallenge;
        if (signIn)
            signIn->setStatus(QStringLiteral("Requesting claim challenge..."), SignInWindowController::LabelColor::secondary);
        m_host.setLastCommand(QStringLiteral("silicon-vault: requesting claim challenge"));
        const std::optional<QString> claimName = humanClaimName ? humanClaimName : std::optional<QString>(deviceName);
        const QString serial = payload.hardware_serial_number;
        const QString uuid = payload.hardware_uuid;
        const DeviceClaimChallengeResponse challenge =
            co_await serviceClient->issueDeviceClaimChallenge(apiBaseURL, inviteCode, claimName, serial, uuid);
        if (!self)
            co_return;

        phase = phaseSigningChallenge;
        if (signIn)
            signIn->setStatus(QStringLiteral("Signing claim challenge in Secure Enclave..."),
                              SignInWindowController::LabelColor::secondary);
        m_host.setLastCommand(QStringLiteral("silicon-vault: signing claim challenge"));
        QFuture<DeviceClaimRequestPayload> sign = startBlockingCall(
            [agent, challenge, inviteCode, claimName] {
                return agent->buildSignedClaimRequest(challenge.challenge_id, challenge.challenge_nonce, inviteCode,
                                                      claimName);
            });
        const DeviceClaimRequestPayload request = co_await sign;
        if (!self)
            co_return;

        phase = phaseSubmittingClaim;
        if (signIn)
            signIn->setStatus(QStringLiteral("Submitting claim request..."), SignInWindowController::LabelColor::secondary);
        m_host.setLastCommand(QStringLiteral("silicon-vault: submitting claim request"));
        const DeviceClaimCompleteResponse submitted = co_await serviceClient->completeDeviceClaim(apiBaseURL, request);
        if (!self)
            co_return;

        PendingClaimState pending;
        pending.claimID = submitted.claim.id;
        pending.apiBaseURL = apiBaseURL;
        pending.deviceName = deviceName;
        pending.createdAt = double(QDateTime::currentSecsSinceEpoch());
        const std::shared_ptr<KeychainStore> keychain = m_deps.keychain;
        QFuture<void> save = startBlockingCall([keychain, pending] {
            keychain->savePendingClaim(pending);
        });
        co_await save;
        if (!self)
            co_return;

        m_host.setPendingClaim(pending);
        m_host.setServiceClient(pollClient);
        m_host.setConnected(false);
        m_host.setLastCommand(QStringLiteral("pending claim ") + pending.claimID.left(8));
        if (signIn)
            signIn->orderOutAndClose();
        if (m_deps.alerts)
            m_deps.alerts->showInformational(
                QStringLiteral("Device claim submitted"),
                QStringLiteral("Claim ") + pending.claimID + QStringLiteral(" is now ") + submitted.claim.status.toLower()
                    + QStringLiteral(" and awaiting workspace admin approval before login-time device binding."));
        co_return;
    } catch (...) {
        failure = std::current_exception();
    }
    if (self && failure)
        reportFailure(failure, phase, signIn);
}

QCoro::Task<void> SignInFlows::resumeApprovedClaimIfNeeded(PendingClaimState pendingClaim)
{
    const QPointer<SignInFlows> self(this);
    const QString shortID = pendingClaim.claimID.left(8);
    bool switched = false;
    std::exception_ptr failure;
    try {
        const std::shared_ptr<const APIClient> client = makeAPIClient(pendingClaim.apiBaseURL);
        const std::shared_ptr<const DeviceEnrollmentAgent> agent = m_deps.enrollmentAgent;
        const QString claimID = pendingClaim.claimID;
        QFuture<DeviceClaimStatusRequestPayload> sign = startBlockingCall(
            [agent, claimID] { return agent->buildSignedClaimStatusRequest(claimID); });
        const DeviceClaimStatusRequestPayload request = co_await sign;
        if (!self)
            co_return;
        const QString apiBaseURL = pendingClaim.apiBaseURL;
        const DeviceClaimStatusResponse status = co_await client->fetchDeviceClaimStatus(apiBaseURL, request);
        if (!self)
            co_return;

        if (status.claim.status == QLatin1String("PENDING_ADMIN_REVIEW")) {
            m_host.setLastCommand(QStringLiteral("pending claim ") + shortID);
            co_return;
        }
        if (status.claim.status != QLatin1String("APPROVED")) {
            m_host.setLastCommand(QStringLiteral("claim status ") + status.claim.status.toLower());
            co_return;
        }
        if (!status.approved_device_bootstrap) {
            m_host.setLastCommand(QStringLiteral("claim approved, awaiting bootstrap"));
            co_return;
        }

        const auto &bootstrap = *status.approved_device_bootstrap;
        DeviceCredentials credentials;
        credentials.apiBaseURL = pendingClaim.apiBaseURL;
        credentials.authKind = bootstrap.auth_kind;
        credentials.bearerToken = bootstrap.bearer_token;
        credentials.orgID = bootstrap.device.org_id;
        credentials.projectID = bootstrap.device.project_id;
        credentials.deviceID = bootstrap.device.id;
        credentials.deviceSecret = bootstrap.device_secret;
        const std::shared_ptr<KeychainStore> keychain = m_deps.keychain;
        // Save first, then delete the pending item: a failure in between leaves both, and the
        // next poll (with the credentials delivered again) completes it.
        QFuture<void> store = startBlockingCall([keychain, credentials] {
            keychain->saveCredentials(credentials);
            keychain->clearPendingClaim();
        });
        co_await store;
        if (!self)
            co_return;

        m_host.setCredentials(credentials);
        m_host.setPendingClaim(std::nullopt);
        switched = true;
        std::shared_ptr<DeviceServiceClient> pollClient = m_deps.makeServiceClient
            ? m_deps.makeServiceClient(pendingClaim.apiBaseURL)
            : nullptr;
        if (!pollClient)
            throw PinnedSessionError(PinnedSessionError::Kind::invalidAPIBaseURL);
        m_host.setServiceClient(pollClient);
        m_host.setLastCommand(QStringLiteral("claim approved ") + shortID);
        if (m_deps.alerts)
            m_deps.alerts->showInformational(QStringLiteral("Device claim approved"),
                                             DeviceTerms::capitalized(m_deps.terms ? m_deps.terms->deviceNoun()
                                                                                   : QStringLiteral("this Mac"))
                                                 + QStringLiteral(" is now approved and has been bound for command delivery."));
        co_return;
    } catch (...) {
        failure = std::current_exception();
    }
    if (!self || !failure)
        co_return;
    Q_UNUSED(switched);  // before the switch nothing changed, so the pending claim is polled again
    m_host.setLastCommand(sanitizeLog(QStringLiteral("pending claim poll failed: ") + describe(failure), 120));
}

// --- token refresh --------------------------------------------------------------------------

QCoro::Task<void> SignInFlows::pollPendingClaim()
{
    const std::optional<PendingClaimState> claim = m_host.pendingClaim();
    if (!claim || !m_host.hasServiceClient())
        co_return;
    const PendingClaimState pending = *claim;
    co_await resumeApprovedClaimIfNeeded(pending);
}

QCoro::Task<std::optional<DeviceCredentials>> SignInFlows::refreshOAuthIfNeeded(DeviceCredentials credentials, bool force)
{
    const QPointer<SignInFlows> self(this);
    if (!m_host.hasServiceClient() || !credentials.refreshToken)
        co_return force ? std::nullopt : std::optional<DeviceCredentials>(credentials);
    if (!force) {
        if (!credentials.tokenExpiresAt)
            co_return credentials;
        if (*credentials.tokenExpiresAt - 60.0 > double(QDateTime::currentSecsSinceEpoch()))
            co_return credentials;
    }

    std::optional<DeviceCredentials> updated;
    try {
        const QString refreshBaseURL = credentials.authBaseURL.value_or(credentials.apiBaseURL);
        const QString refreshToken = *credentials.refreshToken;
        // The refresh goes to the refresh base URL, on a session pinned to that origin.
        const std::shared_ptr<const APIClient> client = makeAPIClient(refreshBaseURL);
        const QString kind = credentials.authKind.value_or(QString());
        OAuthTokenResponse token;
        if (kind == QLatin1String("supabase-password") || kind == QLatin1String("supabase-provider")) {
            token = co_await client->refreshSupabaseAccessToken(refreshBaseURL, refreshToken);
        } else {
            const QString clientID = credentials.oauthClientID.value_or(m_deps.config.defaultOAuthClientID);
            const QString noSecret;
            token = co_await client->refreshAccessToken(refreshBaseURL, clientID, noSecret, refreshToken);
        }
        if (!self)
            co_return std::nullopt;

        DeviceCredentials next = credentials;
        next.bearerToken = token.access_token;
        next.refreshToken = token.refresh_token ? token.refresh_token : credentials.refreshToken;
        next.tokenExpiresAt = token.expires_in
            ? std::optional<double>(double(QDateTime::currentSecsSinceEpoch()) + double(*token.expires_in))
            : std::nullopt;
        next.oauthClientID = credentials.oauthClientID.value_or(m_deps.config.defaultOAuthClientID);
        const std::shared_ptr<KeychainStore> keychain = m_deps.keychain;
        QFuture<void> save = startBlockingCall([keychain, next] {
            keychain->saveCredentials(next);
        });
        co_await save;
        if (!self)
            co_return std::nullopt;
        m_host.setCredentials(next);
        updated = next;
    } catch (const std::exception &error) {
        qCInfo(lcSignIn) << "token refresh failed:" << error.what();
    } catch (...) {
        qCInfo(lcSignIn) << "token refresh failed";
    }
    if (!self)
        co_return std::nullopt;
    if (updated)
        co_return updated;
    co_return force ? std::nullopt : std::optional<DeviceCredentials>(credentials);
}

}  // namespace mornix
