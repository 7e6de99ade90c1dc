#include "signin/sign_in_flows.h"

#include "api/api_client.h"
#include "api/pinned_session.h"
#include "api/pinned_session_failure_store.h"
#include "api/transport_error.h"
#include "commands/device_service_client.h"
#include "identity/device_enrollment_agent.h"
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

// The credentials of a device the service has just registered or bound.
DeviceCredentials deviceCredentials(const QString &apiBaseURL, const RegisteredDevice &device,
                                    const QString &bearerToken, const QString &deviceSecret)
{
    DeviceCredentials credentials;
    credentials.apiBaseURL = apiBaseURL;
    credentials.bearerToken = bearerToken;
    credentials.orgID = device.org_id;
    credentials.projectID = device.project_id;
    credentials.deviceID = device.id;
    credentials.deviceSecret = deviceSecret;
    return credentials;
}

}  // namespace

SignInFlows::SignInFlows(ControllerState &state, Dependencies dependencies, QObject *parent)
    : QObject(parent)
    , m_state(state)
    , m_deps(std::move(dependencies))
    , m_clients{m_deps.config, m_deps.pinFailures, m_deps.enrollmentAgent,
                [&state](const QString &line) { state.appendLog(line); }}
    , m_oauthManager(new OAuthManager(m_deps.oauth, this))
    , m_tokenRefresh(new TokenRefresh(state, m_clients, m_deps.keychain, this))
{
}

SignInFlows::~SignInFlows() = default;

std::shared_ptr<DeviceServiceClient> SignInFlows::pollClientFor(const QString &apiBaseURL) const
{
    std::shared_ptr<DeviceServiceClient> client = m_state.makeServiceClient(apiBaseURL);
    if (!client)
        throw PinnedSessionError(PinnedSessionError::Kind::invalidAPIBaseURL);
    return client;
}

QString SignInFlows::reportFailure(const std::exception_ptr &error, const QString &phase,
                                   SignInWindowController *window)
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
    if (texts.logLine)
        m_state.appendLog(*texts.logLine);
    if (window) {
        window->setButtonsEnabled(true);
        window->clearStatus();
        window->setStatus(texts.label, SignInWindowController::LabelColor::red);
    }
    m_state.setLastCommand(texts.lastCommand);
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
        QStringLiteral(
            "Secure Enclave and Keychain access require Mornix to run from the signed app bundle.\n\nBundle ID: ")
            + context.bundleID + QStringLiteral("\nBundle path: ") + context.bundlePath
            + QStringLiteral("\nExecutable path: ") + context.executablePath
            + QStringLiteral("\n\nLaunch the Xcode app target so the process runs from VeltroMornix.app instead of a "
                             "raw executable."));
}

void SignInFlows::presentInitialClaimPromptIfNeeded()
{
    if (m_state.credentials() || m_state.pendingClaim() || m_signInWindow || m_didPresentInitialClaimPrompt)
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
        m_state.setLastCommand(QStringLiteral("refusing claim flow from unbundled runtime"));
        m_state.appendLog(QStringLiteral("runtime refusal bundle_path=") + context.bundlePath
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
    if (const std::optional<DeviceCredentials> credentials = m_state.credentials())
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
        m_state.setLastCommand(QStringLiteral("sign-in canceled"));
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
        m_state.setLastCommand(QStringLiteral("registration failed: missing fields"));
        if (signIn)
            signIn->setStatus(QStringLiteral("missing registration fields"), SignInWindowController::LabelColor::red);
        co_return;
    }
    if (method.kind == SignInMethod::Kind::deviceEnrollment) {
        co_await claimDeviceFlow(apiBaseURL, deviceName, method.enrollmentSecret, method.inviteCode,
                                 method.humanClaimName, signIn);
        co_return;
    }

    m_state.setLastCommand(QStringLiteral("oauth: opening sign-in"));
    QString phase = phaseOpeningSignIn;
    std::exception_ptr failure;
    // The browser's callback tab (provider sign-ins): told the outcome once it is known.
    std::shared_ptr<OAuthLoopbackListener> callbackPage;
    try {
        const QString authBaseURL = m_deps.config.defaultAPIBaseURL;
        const std::shared_ptr<const APIClient> authClient = m_clients.make(authBaseURL);
        const std::shared_ptr<const APIClient> serviceClient = m_clients.make(apiBaseURL);
        const std::shared_ptr<DeviceServiceClient> pollClient = pollClientFor(apiBaseURL);

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

        m_state.setLastCommand(QStringLiteral("oauth: exchanging token"));
        m_state.setLastCommand(QStringLiteral("oauth: registering device"));
        phase = phaseRegisteringDevice;
        const QString accessToken = auth.token.access_token;
        const QString serialText = serial.value_or(DeviceEnrollmentAgent::unknownSerial);
        const QString uuidText = uuid.value_or(DeviceEnrollmentAgent::unknownUUID);
        const DeviceRegistrationResponse response =
            co_await serviceClient->registerDevice(apiBaseURL, accessToken, serialText, uuidText);
        if (!self)
            co_return;

        DeviceCredentials credentials =
            deviceCredentials(apiBaseURL, response.device, response.device_bearer_token, response.device_secret);
        credentials.authBaseURL = authBaseURL;
        credentials.authKind = authKindRawValue(auth.kind);
        credentials.oauthClientID = auth.clientID;
        const std::shared_ptr<KeychainStore> keychain = m_deps.keychain;
        QFuture<void> save = startBlockingCall([keychain, credentials] { keychain->saveCredentials(credentials); });
        co_await save;
        if (!self)
            co_return;

        m_state.setCredentials(credentials);
        m_state.setServiceClient(pollClient);
        m_state.setConnected(false);
        m_state.setLastCommand(QStringLiteral("registered ") + credentials.deviceID);
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
        const std::shared_ptr<const APIClient> serviceClient = m_clients.make(apiBaseURL);
        const std::shared_ptr<DeviceServiceClient> pollClient = pollClientFor(apiBaseURL);

        m_state.setLastCommand(QStringLiteral("zta: collecting device identity"));
        const std::shared_ptr<const DeviceEnrollmentAgent> agent = m_deps.enrollmentAgent;
        QFuture<DeviceEnrollmentPayload> collect =
            startBlockingCall([agent, enrollmentSecret] { return agent->buildEnrollmentPayload(enrollmentSecret); });
        const DeviceEnrollmentPayload payload = co_await collect;
        if (!self)
            co_return;

        phase = phaseRequestingChallenge;
        if (signIn)
            signIn->setStatus(QStringLiteral("Requesting claim challenge..."),
                              SignInWindowController::LabelColor::secondary);
        m_state.setLastCommand(QStringLiteral("silicon-vault: requesting claim challenge"));
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
        m_state.setLastCommand(QStringLiteral("silicon-vault: signing claim challenge"));
        QFuture<DeviceClaimRequestPayload> sign = startBlockingCall([agent, challenge, inviteCode, claimName] {
            return agent->buildSignedClaimRequest(challenge.challenge_id, challenge.challenge_nonce, inviteCode,
                                                  claimName);
        });
        const DeviceClaimRequestPayload request = co_await sign;
        if (!self)
            co_return;

        phase = phaseSubmittingClaim;
        if (signIn)
            signIn->setStatus(QStringLiteral("Submitting claim request..."),
                              SignInWindowController::LabelColor::secondary);
        m_state.setLastCommand(QStringLiteral("silicon-vault: submitting claim request"));
        const DeviceClaimCompleteResponse submitted = co_await serviceClient->completeDeviceClaim(apiBaseURL, request);
        if (!self)
            co_return;

        PendingClaimState pending;
        pending.claimID = submitted.claim.id;
        pending.apiBaseURL = apiBaseURL;
        pending.deviceName = deviceName;
        pending.createdAt = double(QDateTime::currentSecsSinceEpoch());
        const std::shared_ptr<KeychainStore> keychain = m_deps.keychain;
        QFuture<void> save = startBlockingCall([keychain, pending] { keychain->savePendingClaim(pending); });
        co_await save;
        if (!self)
            co_return;

        m_state.setPendingClaim(pending);
        m_state.setServiceClient(pollClient);
        m_state.setConnected(false);
        m_state.setLastCommand(QStringLiteral("pending claim ") + pending.claimID.left(8));
        if (signIn)
            signIn->orderOutAndClose();
        if (m_deps.alerts)
            m_deps.alerts->showInformational(
                QStringLiteral("Device claim submitted"),
                QStringLiteral("Claim ") + pending.claimID + QStringLiteral(" is now ")
                    + submitted.claim.status.toLower()
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
    std::exception_ptr failure;
    try {
        const std::shared_ptr<const APIClient> client = m_clients.make(pendingClaim.apiBaseURL);
        const std::shared_ptr<const DeviceEnrollmentAgent> agent = m_deps.enrollmentAgent;
        const QString claimID = pendingClaim.claimID;
        QFuture<DeviceClaimStatusRequestPayload> sign =
            startBlockingCall([agent, claimID] { return agent->buildSignedClaimStatusRequest(claimID); });
        const DeviceClaimStatusRequestPayload request = co_await sign;
        if (!self)
            co_return;
        const QString apiBaseURL = pendingClaim.apiBaseURL;
        const DeviceClaimStatusResponse status = co_await client->fetchDeviceClaimStatus(apiBaseURL, request);
        if (!self)
            co_return;

        if (status.claim.status == QLatin1String("PENDING_ADMIN_REVIEW")) {
            m_state.setLastCommand(QStringLiteral("pending claim ") + shortID);
            co_return;
        }
        if (status.claim.status != QLatin1String("APPROVED")) {
            m_state.setLastCommand(QStringLiteral("claim status ") + status.claim.status.toLower());
            co_return;
        }
        if (!status.approved_device_bootstrap) {
            m_state.setLastCommand(QStringLiteral("claim approved, awaiting bootstrap"));
            co_return;
        }

        const auto &bootstrap = *status.approved_device_bootstrap;
        DeviceCredentials credentials = deviceCredentials(pendingClaim.apiBaseURL, bootstrap.device,
                                                          bootstrap.bearer_token, bootstrap.device_secret);
        credentials.authKind = bootstrap.auth_kind;
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

        m_state.setCredentials(credentials);
        m_state.setPendingClaim(std::nullopt);
        m_state.setServiceClient(pollClientFor(pendingClaim.apiBaseURL));
        m_state.setLastCommand(QStringLiteral("claim approved ") + shortID);
        if (m_deps.alerts)
            m_deps.alerts->showInformational(
                QStringLiteral("Device claim approved"),
                DeviceTerms::capitalized(m_deps.terms ? m_deps.terms->deviceNoun() : QStringLiteral("this Mac"))
                    + QStringLiteral(" is now approved and has been bound for command delivery."));
        co_return;
    } catch (...) {
        failure = std::current_exception();
    }
    if (!self || !failure)
        co_return;
    // Nothing was switched before the failure: the pending claim is polled again.
    m_state.setLastCommand(sanitizeLog(QStringLiteral("pending claim poll failed: ") + describe(failure), 120));
}

// --- renewal (the poll loop's) ---------------------------------------------------------------

QCoro::Task<void> SignInFlows::pollPendingClaim()
{
    const std::optional<PendingClaimState> claim = m_state.pendingClaim();
    if (!claim || !m_state.serviceClient())
        co_return;
    const PendingClaimState pending = *claim;
    co_await resumeApprovedClaimIfNeeded(pending);
}

QCoro::Task<std::optional<DeviceCredentials>> SignInFlows::refreshOAuthIfNeeded(DeviceCredentials credentials,
                                                                                bool force)
{
    return m_tokenRefresh->refreshIfNeeded(std::move(credentials), force);
}

}  // namespace mornix
