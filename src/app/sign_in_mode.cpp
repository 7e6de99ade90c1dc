#include "api/pinned_session_failure_store.h"
#include "app/sign_in_mode.h"

#include "app/api_adapters.h"
#include "app/async_mode.h"
#include "app/cli_output.h"
#include "app/desktop_enrollment.h"
#include "app/runtime_context.h"
#include "app/terminal_sign_in_alerts.h"
#include "identity/device_enrollment_agent.h"
#include "identity/keychain_store.h"
#include "platform/workspace.h"
#include "signin/sign_in_flows.h"
#include "support/config.h"
#include "support/text_cleaning.h"

#include <QCoreApplication>

#include <unistd.h>

namespace mornix {

namespace {

const QString kSignIn = QStringLiteral("--sign-in");

struct SignInRun {
    Arguments arguments;
    Ports ports;
    Config config;
    SignInMethod method;
    std::unique_ptr<posix::LockFile> enrollmentLock;
};

QCoro::Task<int> signInFromTerminal(std::shared_ptr<SignInRun> run)
{
    const Config &config = run->config;
    const RuntimeContext context = currentRuntimeContext(*run->ports.bundle, run->arguments.values());

    auto keychain = std::make_shared<KeychainStore>(run->ports.keychain);
    auto agent =
        std::make_shared<DeviceEnrollmentAgent>(IdentityPorts{run->ports.keychain, run->ports.hardwareKey,
                                                              run->ports.hardwareIdentity, run->ports.postureProbes},
                                                config.environment.mdmEnrollmentSecret);
    std::shared_ptr<Workspace> workspace = run->ports.workspace;

    SignInFlows::Dependencies deps;
    deps.config = config;
    deps.pinFailures = std::make_shared<PinnedSessionFailureStore>();
    deps.keychain = keychain;
    deps.userDefaults = run->ports.userDefaults;
    deps.terms = run->ports.deviceTerms;
    deps.enrollmentAgent = agent;
    deps.oauth.defaultClientID = config.defaultOAuthClientID;
    // The URL is printed first: over SSH the user opens it elsewhere, so a missing browser
    // does not end the attempt.
    deps.oauth.openBrowser = [workspace](const QUrl &url) {
        cli::writeStdoutLine(url.toString(QUrl::FullyEncoded).toUtf8());
        workspace->openURL(url);
        return true;
    };
    deps.oauth.socketOwners = run->ports.socketOwners;
    deps.alerts = std::make_shared<TerminalSignInAlerts>();
    deps.runtimeContext = [context] { return context; };
    // The state of one terminal sign-in: every status text goes to standard error.
    ControllerState state({}, makeServiceClientFactory(config, deps.pinFailures, {}));
    QObject::connect(&state, &ControllerState::lastCommandSet, &state,
                     [](const QString &text) { cli::writeStderr(sanitizeLog(text, 400) + QLatin1Char('\n')); });
    SignInFlows flows(state, deps);

    if (!SignInFlows::runsFromApplicationBundle(context)) {
        state.setLastCommand(QStringLiteral("refusing claim flow from unbundled runtime"));
        flows.presentRuntimeMisconfigurationAlert(context);
        co_return 1;
    }
    const QString lockPath = DesktopEnrollment::lockFilePath(QString());
    posix::LockAttempt lock = DesktopEnrollment::acquireLock(lockPath);
    run->enrollmentLock = std::move(lock.lock);
    if (!run->enrollmentLock) {
        const QString reason = DesktopEnrollment::lockRefusal(lockPath, lock);
        run->ports.systemLog->error(sanitizeLog(QStringLiteral("sign-in refused: enrollment lock: ") + reason, 400));
        state.setLastCommand(QStringLiteral("cannot sign in: ") + reason);
        co_return 1;
    }

    std::optional<QString> chosen;
    try {
        if (const std::optional<DeviceCredentials> stored = keychain->loadCredentials())
            chosen = stored->apiBaseURL;
    } catch (const std::exception &) {
    }
    if (!chosen)
        chosen = SignInPreferences::storedAPIBaseURL(*run->ports.userDefaults);
    const QString apiBaseURL =
        SignInPreferences::normalizedAPIBaseURL(chosen, config.defaultAPIBaseURL, config.websiteURL.host());
    const std::optional<QString> hostName = run->ports.hardwareIdentity->localizedHostName();
    const QString deviceName = hostName && !hostName->trimmed().isEmpty() ? *hostName : SignInFlows::fallbackDeviceName;
    const SignInMethod method = run->method;
    const std::optional<QString> clientID = config.defaultOAuthClientID;
    const std::optional<QString> noSecret;
    const QPointer<SignInWindowController> noWindow;
    co_await flows.registerDeviceFlow(apiBaseURL, deviceName, method, clientID, noSecret, noWindow);

    if (!state.credentials() || !state.lastCommand().startsWith(QLatin1String("registered ")))
        co_return 1;
    run->ports.distributedNotifications->post(notification_names::credentialsUpdated);
    co_return 0;
}

}  // namespace

std::optional<int> runSignInModeIfRequested(const Arguments &arguments, Ports &ports, const Config &config, int &argc,
                                            char **argv)
{
    const qsizetype at = arguments.indexOf(kSignIn);
    if (at < 0)
        return std::nullopt;
    const QString provider = arguments.values().value(at + 1);
    SignInMethod method;
    if (provider == QLatin1String("google")) {
        method = SignInMethod::google();
    } else if (provider == QLatin1String("github")) {
        method = SignInMethod::github();
    } else {
        cli::writeStderr(QStringLiteral("--sign-in needs a provider: google or github\n"));
        return 1;
    }
    auto run = std::make_shared<SignInRun>(SignInRun{arguments, ports, config, method, nullptr});
    return runAsyncMode(argc, argv, [run]() -> QCoro::Task<int> { co_return co_await signInFromTerminal(run); });
}

std::optional<int> runHelpIfRequested(const Arguments &arguments)
{
    if (!arguments.has(QStringLiteral("--help")))
        return std::nullopt;
    cli::writeStdoutRaw(QByteArrayLiteral(
        "usage: VeltroMornix [SWITCH]\n"
        "Without a switch the agent starts (add --desktop-managed for no window, or --standalone-menu-bar).\n"
        "\n"
        "  --update-notification-status      print the update notification's state (JSON)\n"
        "  --clear-update-notification       remove the update notification\n"
        "  --notify-update VERSION           post the update-available notification\n"
        "  --desktop-uninstall-device        remove this computer's registration and local secrets\n"
        "  --broker-grant-read               print the stored broker grant\n"
        "  --broker-grant-create-stdin       store a new broker grant read from standard input\n"
        "  --broker-grant-update-stdin       replace the broker grant with one read from standard input\n"
        "  --desktop-stop-managed            stop a running --desktop-managed agent\n"
        "  --desktop-bridge-version          print the bridge protocol version\n"
        "  --desktop-control-status          print the enrollment state\n"
        "  --desktop-enroll-stdin            enroll with a grant read from standard input\n"
        "  --zta-enrollment-payload          print the signed device payloads and challenge\n"
        "  --zta-registration-request        signatures (device-key modes)\n"
        "  --zta-claim-request\n"
        "  --zta-sign-challenge NONCE\n"
        "  --print-agent-instances           list the running agent clients (JSON)\n"
        "  --desktop-updater [--check-now]   run as the companion application's updater\n"
        "                                    (--check-now: check for an update at once)\n"
        "  --sign-in google|github           sign in through the browser and register this computer\n"
        "  --doctor [--json]                 check every part of the agent and report (JSON with\n"
        "                                    --json); exit 1 when something is wrong\n"
        "  --help                            print this text\n"));
    return 0;
}

}  // namespace mornix
