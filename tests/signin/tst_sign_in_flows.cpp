// The registration and claim flows and the token refresh, in process and as real processes (the
// terminal sign-in, --help, a running agent taking part in enrollment), against the real
// reference service over TLS, the real loopback listener on 53682, the scripted-browser program
// (in process and as $BROWSER), and a real Secret Service on a private session bus.
#include "api/api_client.h"
#include "app/api_adapters.h"
#include "commands/device_service_client.h"
#include "identity/device_enrollment_agent.h"
#include "identity/keychain_store.h"
#include "secret_service_fixture.h"
#include "platform/linux/notifications/dbus_distributed_notifications.h"
#include "platform/linux/linux_ports.h"
#include "recording_host.h"
#include "support/gated_keychain.h"
#include "signin/sign_in_flows.h"
#include "scripted_browser.h"
#include "sign_in_window_answers.h"
#include "support/agent_process.h"
#include "support/bundle_modules.h"
#include "support/dev_service.h"
#include "support/lock_holder.h"
#include "support/process_runner.h"
#include "support/temporary_home.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTest>
#include <QTimer>
#include <QUrlQuery>

#include <QCoroTask>

using namespace Qt::StringLiterals;

namespace mornix {

namespace {

const QString kBase = u"https://localhost:8443"_s;

}  // namespace

class SignInFlowsTest : public QObject {
    Q_OBJECT

    TemporaryHome m_home;
    std::unique_ptr<SecretServiceFixture> m_secretService;
    DevService m_service;
    Ports m_ports;
    std::shared_ptr<KeychainStore> m_keychain;
    std::unique_ptr<RecordingHost> m_recording = std::make_unique<RecordingHost>();
    RecordingAlerts m_alerts;
    SignInWindowAnswers m_answers;
    ScriptedBrowser m_browser{m_home.path()};

    std::unique_ptr<SignInFlows> makeFlows(std::chrono::milliseconds timeout = std::chrono::seconds(20),
                                           std::shared_ptr<Keychain> keychain = {})
    {
        if (!keychain)
            keychain = m_ports.keychain;
        SignInFlows::Dependencies deps;
        deps.config = Config::defaults();
        deps.keychain = std::make_shared<KeychainStore>(keychain);
        deps.enrollmentAgent = std::make_shared<DeviceEnrollmentAgent>(
            IdentityPorts{keychain, m_ports.hardwareKey, m_ports.hardwareIdentity, m_ports.postureProbes});
        deps.oauth.defaultClientID = Config::defaults().defaultOAuthClientID;
        deps.oauth.openBrowser = [this](const QUrl &url) { return m_browser.open(url); };
        deps.oauth.socketOwners = m_ports.socketOwners;
        deps.oauth.callbackTimeout = timeout;
        deps.alerts = std::shared_ptr<SignInFlows::Alerts>(&m_alerts, [](SignInFlows::Alerts *) {});
        deps.runtimeContext = &bundledContext;
        deps.computerName = [] { return std::optional<QString>(u"Test Box"_s); };
        deps.attachWindow = m_answers.attacher();
        deps.userDefaults = m_ports.userDefaults;
        return std::make_unique<SignInFlows>(*m_recording->state, deps);
    }

    // Runs the menu's sign-in with the window answered by `method`; waits for `final`.
    bool signIn(SignInFlows &flows, const SignInMethod &method, const QString &finalPrefix, int timeoutMs = 30000)
    {
        m_answers.setNext(method);
        const qsizetype before = m_recording->commands.size();
        flows.registerDevice();
        return QTest::qWaitFor(
            [&] { return m_recording->commands.size() > before && m_recording->last().startsWith(finalPrefix); },
            timeoutMs);
    }

    std::optional<DeviceCredentials> storedCredentials() const { return m_keychain->loadCredentials(); }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = headlessEnvironment(m_home.environment());
        env.remove(u"VELTRO_KEYCHAIN"_s);
        env.insert(u"BROWSER"_s, QStringLiteral(MORNIX_SOURCE_DIR "/tests/signin/scripted-browser"));
        env.insert(u"MORNIX_DEV_PKI_DIR"_s, QStringLiteral(MORNIX_DEV_PKI_DIR));
        return env;
    }

    ProcessResult agent(const QStringList &arguments) const
    {
        return runProcess(QStringLiteral(MORNIX_EXECUTABLE), arguments, {}, environment(), 90000);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        qunsetenv("VELTRO_KEYCHAIN");
        m_secretService = std::make_unique<SecretServiceFixture>();
        QVERIFY2(m_secretService->isRunning(), qPrintable(m_secretService->error()));
        QVERIFY(m_service.start());
        m_ports = makeLinuxPorts(MORNIX_EXECUTABLE, Config::defaults(), buildBundleModules());
        m_keychain = std::make_shared<KeychainStore>(m_ports.keychain);
    }

    void init()
    {
        m_keychain->clearCredentials();
        m_keychain->clearPendingClaim();
        m_recording = std::make_unique<RecordingHost>();
        m_answers.clear();
        m_alerts.shown.clear();
        m_browser.reset();
        m_service.admin({u"fault"_s, u"clear"_s});
    }

    void cleanup() { QVERIFY(m_browser.allFinished()); }

    void failuresKeepEverythingAndSayWhy_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QStringList>("fault");
        QTest::addColumn<QString>("lastCommand");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("logLine");
        QTest::addColumn<QByteArray>("page");  // what the browser's callback tab was told
        using M = Browser;
        const QByteArray tryAgain = " You can close this tab and try again from the desktop app.</p>";
        // Callbacks of another attempt are refused; this attempt then times out.
        QTest::newRow("wrong state") << int(M::wrongState) << QStringList() << u"oauth timeout, retry sign-in"_s
                                     << u"sign-in timed out"_s << u""_s
                                     << QByteArray("400\n")
                                            + "<h1>Sign-in callback not accepted</h1><p>This sign-in "
                                              "callback does not belong to the sign-in in progress.</p>";
        QTest::newRow("error redirect")
            << int(M::follow) << QStringList{"authorize", "--oauth-error", "access_denied"}
            << u"oauth provider error: access_denied: fault injected by veltro-devservice admin"_s
            << u"sign-in provider reported an error"_s << u""_s
            << QByteArray("200\n")
                   + "<h1>Veltro sign-in failed</h1><p>The sign-in provider reported an error "
                     "(access_denied: fault injected by veltro-devservice admin). This computer was not registered."
                   + tryAgain;
        QTest::newRow("browser never returns")
            << int(M::neverReturn) << QStringList() << u"oauth timeout, retry sign-in"_s << u"sign-in timed out"_s
            << u""_s << QByteArray();
        QTest::newRow("no browser") << int(M::refuse) << QStringList()
                                    << u"failed at opening sign-in: The web browser could not be opened."_s
                                    << u"failed during opening sign-in"_s << u""_s << QByteArray();
        QTest::newRow("redirect mismatch")
            << int(M::follow)
            << QStringList{"token", "--status", "400", "--message",
                           "Redirect_URI does not match previously seen redirect URI"}
            << u"oauth redirect mismatch, retry sign-in"_s << u"redirect mismatch on auth server"_s
            << u"server detail at opening sign-in: {\"error\":\"injected_fault\",\"message\":"
               u"\"Redirect_URI does not match previously seen redirect URI\"}"_s
            << QByteArray("200\n")
                   + "<h1>Veltro sign-in failed</h1><p>The service did not issue a token for this "
                     "sign-in. This computer was not registered."
                   + tryAgain;
        QTest::newRow("sensitive detail")
            << int(M::follow)
            << QStringList{"register", "--status", "500", "--message", "field stable_payload_json of SERIAL-1 rejected"}
            << u"server 500 at registering device: redacted sensitive server detail"_s
            << u"server error during registering device"_s
            << u"server detail at registering device: redacted sensitive server detail"_s
            << QByteArray("200\n")
                   + "<h1>Veltro sign-in failed</h1><p>This computer could not be registered (server "
                     "error during registering device)."
                   + tryAgain;
    }

    void failuresKeepEverythingAndSayWhy()
    {
        QFETCH(int, mode);
        QFETCH(QStringList, fault);
        QFETCH(QString, lastCommand);
        QFETCH(QString, label);
        QFETCH(QString, logLine);
        QFETCH(QByteArray, page);
        if (!fault.isEmpty()) {
            const ProcessResult set = m_service.admin(QStringList{u"fault"_s, u"set"_s} + fault);
            QCOMPARE(set.exitCode, 0);
        }
        m_browser.mode = Browser(mode);
        auto flows = makeFlows(std::chrono::milliseconds(mode == int(Browser::neverReturn)  ? 500
                                                         : mode == int(Browser::wrongState) ? 4000
                                                                                            : 20000));
        QVERIFY2(signIn(*flows, SignInMethod::google(), lastCommand, 40000),
                 qPrintable(m_recording->commands.join('|')));
        QCOMPARE(m_recording->last(), lastCommand);
        SignInWindowController *window = flows->signInWindow();
        QVERIFY(window && window->isOpen());
        QCOMPARE(window->statusText(), label);
        QCOMPARE(window->statusColor(), SignInWindowController::LabelColor::red);
        QVERIFY(window->statusVisible());
        QVERIFY(window->buttonsEnabled());
        if (!logLine.isEmpty())
            QVERIFY2(m_recording->log.contains(logLine), qPrintable(m_recording->log.join('\n')));
        for (const QString &text : m_recording->log + m_recording->commands)
            QVERIFY2(!text.contains("stable_payload_json"_L1), qPrintable(text));
        QVERIFY(!m_recording->state->credentials() && !m_recording->state->serviceClient());
        QVERIFY(!storedCredentials());
        const QByteArray told = m_browser.page();
        if (page.isEmpty())
            QCOMPARE(told, QByteArray());
        else
            QVERIFY2(told.startsWith(page.left(4)) && told.contains(page.mid(4)), told.constData());
        QVERIFY(!told.contains("Signed in to Veltro"));

        // The same window takes a new attempt (the service answering normally again); the
        // keychain then holds what the controller took in, and the window closes.
        m_service.admin({u"fault"_s, u"clear"_s});
        m_browser.mode = Browser::follow;
        window->signInGitHub();
        QVERIFY(!window->buttonsEnabled());
        QVERIFY(QTest::qWaitFor([&] { return m_recording->last().startsWith("registered "_L1); }, 40000));
        QCOMPARE(m_recording->last(), u"registered "_s + m_service.deviceID());
        QVERIFY(m_browser.page().startsWith("200\n<!doctype html>"));
        QVERIFY(m_browser.page().contains("<h1>Signed in to Veltro</h1><p>Veltro sign-in completed. You can close this "
                                          "tab and return to the desktop app.</p>"));
        const std::optional<DeviceCredentials> stored = storedCredentials();
        QVERIFY(stored && m_recording->state->credentials() && m_recording->state->serviceClient()
                && !m_recording->state->connected());
        QCOMPARE(*stored, *m_recording->state->credentials());
        QCOMPARE(stored->apiBaseURL, kBase);
        QCOMPARE(stored->authBaseURL, std::optional<QString>(kBase));
        QCOMPARE(stored->oauthClientID, std::optional<QString>(Config::defaults().defaultOAuthClientID));
        QVERIFY(!stored->refreshToken && !stored->tokenExpiresAt);  // the user's token only registered
        QVERIFY(!flows->signInWindow());
    }

    void slowTokenEndpointKeepsTheEventLoopRunning()
    {
        QCOMPARE(m_service.admin({"fault", "set", "token", "--delay-ms", "2500"}).exitCode, 0);
        auto flows = makeFlows();
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
        ticker.start(50);
        QElapsedTimer clock;
        clock.start();
        QVERIFY(signIn(*flows, SignInMethod::github(), u"registered "_s));
        QVERIFY(clock.elapsed() >= 2500);
        // The wait for the token suspended the flow, not the thread.
        QVERIFY2(ticks >= 30, qPrintable(QString::number(ticks)));
    }

    void keychainFailureAfterRegistrationChangesNothing()
    {
        // The real keychain, except that saving the device credentials fails.
        const auto credentialsRefused = [](GatedKeychain::Call call, const QString &account) {
            const bool save = call == GatedKeychain::Call::add || call == GatedKeychain::Call::update;
            return save && account == KeychainStore::credentialsAccount ? keychain_status::interactionNotAllowed
                                                                        : keychain_status::success;
        };
        auto flows =
            makeFlows(std::chrono::seconds(20), std::make_shared<GatedKeychain>(m_ports.keychain, credentialsRefused));
        QVERIFY(signIn(*flows, SignInMethod::github(), u"failed at registering device: "_s));
        QVERIFY(!m_service.deviceID().isEmpty());  // the service did register it
        QCOMPARE(flows->signInWindow()->statusText(), u"failed during registering device"_s);
        QVERIFY(!m_recording->state->credentials() && !m_recording->state->serviceClient());
        QVERIFY(m_recording->state->connected());  // untouched
        QVERIFY(!storedCredentials());
    }

    // Closing the window cancels, with no browser; the initial prompt appears once per run.
    void closingTheWindowCancels()
    {
        auto flows = makeFlows();
        m_answers.setNext(std::nullopt);
        flows->presentInitialClaimPromptIfNeeded();
        flows->presentInitialClaimPromptIfNeeded();
        QVERIFY(flows->didPresentInitialClaimPrompt());
        QVERIFY(QTest::qWaitFor([&] { return !m_recording->commands.isEmpty(); }, 5000));
        QTest::qWait(600);
        QCOMPARE(m_recording->commands, QStringList{u"sign-in canceled"_s});
        QCOMPARE(m_browser.opened, 0);
        QVERIFY(!flows->signInWindow());
        flows->presentInitialClaimPromptIfNeeded();
        QTest::qWait(600);
        QCOMPARE(m_recording->commands.size(), 1);
        // Not at all with a pending claim (or credentials).
        auto other = makeFlows();
        m_recording->state->setPendingClaim(PendingClaimState{u"c"_s, kBase, u"n"_s, 1});
        other->presentInitialClaimPromptIfNeeded();
        QVERIFY(!other->didPresentInitialClaimPrompt());
    }

    void refusedOutsideTheBundle()
    {
        SignInFlows::Dependencies deps;
        deps.alerts = std::shared_ptr<SignInFlows::Alerts>(&m_alerts, [](SignInFlows::Alerts *) {});
        deps.runtimeContext = [] {
            RuntimeContext context = bundledContext();
            context.bundlePath = u"/opt/build"_s;
            context.executablePath = u"/opt/build/VeltroMornix"_s;
            return context;
        };
        SignInFlows flows(*m_recording->state, deps);
        flows.registerDevice();
        QCOMPARE(m_recording->commands, QStringList{u"refusing claim flow from unbundled runtime"_s});
        QCOMPARE(m_recording->log,
                 (QStringList{u"refusing claim flow from unbundled runtime"_s,
                              u"runtime refusal bundle_path=/opt/build executable_path=/opt/build/VeltroMornix"_s}));
        QCOMPARE(m_alerts.shown.size(), 1);
        QVERIFY(m_alerts.shown[0].second.contains(u"Executable path: /opt/build/VeltroMornix\n"_s));
        QVERIFY(!flows.signInWindow());
        QVERIFY(flows.didPresentInitialClaimPrompt());
    }

    void claimPendingThenApproved()
    {
        auto flows = makeFlows();
        const QString invite = m_service.adminJSON({u"invite"_s, u"create"_s}).value(u"invite_code"_s).toString();
        QVERIFY(!invite.isEmpty());
        m_answers.setNext(SignInMethod::deviceEnrollment(u"mdm-secret"_s, invite, std::nullopt));
        flows->registerDevice();
        QVERIFY(QTest::qWaitFor([&] { return m_recording->last().startsWith("pending claim "_L1); }, 30000));
        QCOMPARE(m_recording->commands,
                 (QStringList{u"zta: collecting device identity"_s, u"silicon-vault: requesting claim challenge"_s,
                              u"silicon-vault: signing claim challenge"_s, u"silicon-vault: submitting claim request"_s,
                              m_recording->last()}));
        const std::optional<PendingClaimState> pending = m_keychain->loadPendingClaim();
        QVERIFY(pending);
        QCOMPARE(*m_recording->state->pendingClaim(), *pending);
        QCOMPARE(m_recording->last(), u"pending claim "_s + pending->claimID.left(8));
        QCOMPARE(pending->deviceName, u"Test Box"_s);
        QVERIFY(m_alerts.shown.value(0).second.startsWith(u"Claim "_s + pending->claimID
                                                          + u" is now pending_admin_review"_s));
        QVERIFY(!flows->signInWindow());

        const auto poll = [&] {
            const PendingClaimState claim = *m_recording->state->pendingClaim();
            QCoro::waitFor(flows->resumeApprovedClaimIfNeeded(claim));
            return m_recording->last();
        };
        QCOMPARE(poll(), u"pending claim "_s + pending->claimID.left(8));
        // Approved, but the service hands out no credentials yet; then a status nobody knows.
        QCOMPARE(m_service.admin({"claims", "approve", pending->claimID}).exitCode, 0);
        m_service.admin({"fault", "set", "claim-status", "--claim-status", "APPROVED"});
        QCOMPARE(poll(), u"claim approved, awaiting bootstrap"_s);
        m_service.admin({"fault", "set", "claim-status", "--claim-status", "On_Hold"});
        QCOMPARE(poll(), u"claim status on_hold"_s);
        m_service.admin({"fault", "set", "claim-status", "--status", "503"});
        QVERIFY(poll().startsWith("pending claim poll failed: "_L1));
        QVERIFY(m_recording->state->pendingClaim() && m_keychain->loadPendingClaim()
                && !m_recording->state->credentials());

        QCOMPARE(poll(), u"claim approved "_s + pending->claimID.left(8));
        QVERIFY(!m_recording->state->pendingClaim());
        QVERIFY(!m_keychain->loadPendingClaim());
        const std::optional<DeviceCredentials> stored = storedCredentials();
        QVERIFY(stored);
        QCOMPARE(*stored, *m_recording->state->credentials());
        QCOMPARE(stored->deviceID, m_service.deviceID());
        QCOMPARE(stored->authKind, std::optional<QString>(u"device-claim"_s));
        QVERIFY(!stored->authBaseURL && !stored->oauthClientID);
        QCOMPARE(m_alerts.shown.last().first, u"Device claim approved"_s);
        QVERIFY(!QCoro::waitFor(m_recording->state->serviceClient()->pollNextCommand(*stored)));
    }

    void tokenRefreshFollowsTheSixtySecondRule()
    {
        auto flows = makeFlows();
        // A token grant of the service's OAuth endpoint, obtained through the browser.
        const std::shared_ptr<const APIClient> auth =
            std::make_shared<APIClient>(makePinnedSession(kBase, Config::defaults(), nullptr));
        const OAuthAuthenticationMethod method = OAuthAuthenticationMethod::github();
        // Base URL and client id are taken trimmed: the service knows neither padded.
        const QString clientID = Config::defaults().defaultOAuthClientID;
        const std::optional<QString> client = u" "_s + clientID + u"\n"_s;
        const std::optional<QString> noSecret;
        const AuthResult grant = QCoro::waitFor(
            flows->oauthManager().authenticateOnce(u" "_s + kBase + u" "_s, auth, method, client, noSecret));
        QCOMPARE(grant.clientID, clientID);
        QCOMPARE(grant.kind, AuthKind::oauthGateway);
        QVERIFY(grant.token.refresh_token);

        m_recording->state->setServiceClient(m_recording->state->makeServiceClient(kBase));
        DeviceCredentials credentials;
        credentials.apiBaseURL = kBase;
        credentials.authKind = u"oauth-gateway"_s;
        credentials.bearerToken = grant.token.access_token;
        credentials.refreshToken = grant.token.refresh_token;
        credentials.orgID = credentials.projectID = credentials.deviceID = credentials.deviceSecret = u"x"_s;
        const double now = double(QDateTime::currentSecsSinceEpoch());

        credentials.tokenExpiresAt = now + 61;
        const std::optional<DeviceCredentials> kept = QCoro::waitFor(flows->refreshOAuthIfNeeded(credentials, false));
        QCOMPARE(kept, std::optional<DeviceCredentials>(credentials));
        QVERIFY(!m_recording->state->credentials() && !storedCredentials());

        credentials.tokenExpiresAt = now + 59;
        const std::optional<DeviceCredentials> renewed =
            QCoro::waitFor(flows->refreshOAuthIfNeeded(credentials, false));
        QVERIFY(renewed);
        QVERIFY(renewed->bearerToken != credentials.bearerToken);
        QVERIFY(renewed->refreshToken && *renewed->refreshToken != *credentials.refreshToken);  // rotated
        QVERIFY(renewed->tokenExpiresAt && std::abs(*renewed->tokenExpiresAt - (now + 3600)) < 30);
        QCOMPARE(renewed->oauthClientID, std::optional<QString>(Config::defaults().defaultOAuthClientID));
        QCOMPARE(renewed->deviceID, credentials.deviceID);
        QCOMPARE(storedCredentials(), renewed);
        QCOMPARE(m_recording->state->credentials(), renewed);

        // The old refresh token is refused now: a forced refresh gives nothing, a due one keeps
        // the old credentials, and nothing is stored either way.
        QVERIFY(!QCoro::waitFor(flows->refreshOAuthIfNeeded(credentials, true)));
        QCOMPARE(QCoro::waitFor(flows->refreshOAuthIfNeeded(credentials, false)),
                 std::optional<DeviceCredentials>(credentials));
        QCOMPARE(storedCredentials(), renewed);
        // Without a service client or a refresh token nothing is attempted.
        DeviceCredentials bare = credentials;
        bare.refreshToken.reset();
        QVERIFY(!QCoro::waitFor(flows->refreshOAuthIfNeeded(bare, true)));
        QCOMPARE(QCoro::waitFor(flows->refreshOAuthIfNeeded(bare, false)), std::optional<DeviceCredentials>(bare));
    }

    // The whole switch list is compared with the manual page in tests/integration.
    void helpExitsAndSignInNeedsAProvider()
    {
        const ProcessResult help = agent({u"--help"_s});
        QCOMPARE(help.exitCode, 0);
        QCOMPARE(help.standardError, QByteArray());
        QVERIFY(help.standardOutput.contains("--sign-in google|github"));
        // A switch of the list keeps its place before ours.
        const ProcessResult version = agent({u"--help"_s, u"--desktop-bridge-version"_s});
        QCOMPARE(version.standardOutput, QByteArray("{\"protocol_version\":1,\"update_notifications\":true}\n"));
        const ProcessResult bad = agent({u"--sign-in"_s, u"myspace"_s});
        QCOMPARE(bad.exitCode, 1);
        QCOMPARE(bad.standardError, QByteArray("--sign-in needs a provider: google or github\n"));
    }

    // The terminal sign-in's own runs, with a real browser, are tst_sign_in_chromium's.
    void terminalSignInFailuresExitOne()
    {
        // Another enrollment holds the lock: nothing is attempted.
        // The enrollment lock is at a fixed path, whatever TMPDIR says.
        const QString lock = u"/tmp/ai.veltro.mornix.enroll.%1.lock"_s.arg(::getuid());
        LockHolder holder(lock);
        QVERIFY(holder.waitUntilHeld());
        const ProcessResult busy = agent({u"--sign-in"_s, u"github"_s});
        holder.release();
        QCOMPARE(busy.exitCode, 1);
        QCOMPARE(busy.standardError,
                 (u"cannot sign in: another enrollment is in progress (it holds %1)\n"_s.arg(lock)).toUtf8());
        QCOMPARE(busy.standardOutput, QByteArray());
    }

    void failedRefreshLeavesTheAgentPollingWithItsCredentials()
    {
        QCOMPARE(agent({u"--sign-in"_s, u"github"_s}).exitCode, 0);
        // Credentials due for refresh in 30 s whose refresh token the service refuses.
        DeviceCredentials credentials = *m_keychain->loadCredentials();
        credentials.refreshToken = u"vrt_never_issued"_s;
        credentials.tokenExpiresAt = double(QDateTime::currentSecsSinceEpoch() + 30);
        m_keychain->saveCredentials(credentials);

        AgentProcess running(environment());
        QVERIFY(running.start());
        QVERIFY(running.waitForLog(u"connected=true"_s, 30000));
        const QString commandID =
            m_service.adminJSON({"command", "send", "--device", credentials.deviceID, "--app", "codex"})
                .value(u"command_id"_s)
                .toString();
        QVERIFY(!commandID.isEmpty());
        QVERIFY(QTest::qWaitFor([&] { return m_service.ackStatuses(commandID).contains(u"executed"_s); }, 30000));
        QCOMPARE(running.logCount(u"authentication required"_s), 0);
        QCOMPARE(m_keychain->loadCredentials(), std::optional<DeviceCredentials>(credentials));  // nothing rewritten
    }

    void runningAgentCompletesAnApprovedClaim()
    {
        // The claim is submitted here (the claim flow, in process, on the same keychain).
        auto flows = makeFlows();
        const QString invite = m_service.adminJSON({"invite", "create"}).value(u"invite_code"_s).toString();
        const QString name = u"Lab box"_s;
        const QString secret = u"mdm"_s;
        const std::optional<QString> claimName = u"Ada's box"_s;
        const QPointer<SignInWindowController> noWindow;
        QCoro::waitFor(flows->claimDeviceFlow(kBase, name, secret, invite, claimName, noWindow));
        QVERIFY2(m_recording->state->pendingClaim(), qPrintable(m_recording->last()));
        const QString shortID = m_recording->state->pendingClaim()->claimID.left(8);

        AgentProcess running(environment());
        QVERIFY(running.start());
        // The agent starts with the stored claim's text ("pending claim …", unchanged by each
        // poll, so not logged again) and asks about it every few seconds.
        QVERIFY(running.waitForLog(u"app started build="_s, 30000));
        QTest::qWait(3000);
        QCOMPARE(running.logCount(u"claim"_s), 0);
        QCOMPARE(m_service.admin({"claims", "approve", m_recording->state->pendingClaim()->claimID}).exitCode, 0);
        QVERIFY(running.waitForLog(u"claim approved "_s + shortID, 30000));
        QVERIFY(running.waitForLog(u"connected=true"_s, 30000));
        QVERIFY(!m_keychain->loadPendingClaim());
        const std::optional<DeviceCredentials> stored = m_keychain->loadCredentials();
        QVERIFY(stored);
        const QString commandID =
            m_service.adminJSON({"command", "send", "--device", stored->deviceID, "--app", "codex"})
                .value(u"command_id"_s)
                .toString();
        QVERIFY(QTest::qWaitFor([&] { return m_service.ackStatuses(commandID).contains(u"executed"_s); }, 30000));
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_MAIN(SignInFlowsTest)
#include "tst_sign_in_flows.moc"
#include "support/config.h"
