#include "app/controller_factory.h"

#include "app/agent_services.h"
#include "app/api_adapters.h"
#include "app/device_removal.h"
#include "identity/device_enrollment_agent.h"
#include "app/build_label.h"
#include "api/pinned_session_failure_store.h"
#include "platform/posix_files.h"
#include "app/runtime_context.h"
#include "discovery/agent_instance_scanner.h"
#include "identity/keychain_store.h"
#include "support/config.h"
#include "core/clients_closed_notice.h"
#include "core/desktop_module.h"
#include "core/headless_controller_ui.h"
#include "core/logged_alerts.h"
#include "core/markdown_log_store.h"
#include "core/mornix_controller.h"
#include "platform/linux/modules/platform_modules.h"

#include <QCoreApplication>
#include <QDir>

namespace mornix {

std::unique_ptr<MornixController> makeMornixController(const Arguments &arguments, Ports &ports, const Config &config,
                                                       DesktopModule *desktop, PlatformModules *modules)
{
    const QString buildLabel = computeBuildLabel(*ports.bundle, arguments.argument0());  // once per process
    std::shared_ptr<AlertPresenter> alerts;
    if (desktop)
        alerts = desktop->makeAlertPresenter(ports.systemLog);
    else
        alerts = std::make_shared<LoggedAlertPresenter>(ports.systemLog);
    auto log = std::make_shared<MarkdownLogStore>(
        ports.systemLog, [buildLabel] { return buildLabel; },
        [workspace = ports.workspace](const QUrl &url, std::function<void(const QString &)> done) {
            workspace->openFile(url, QCoreApplication::instance(), std::move(done));
        },
        alerts);

    MornixController::Dependencies deps;
    deps.arguments = arguments.values();
    deps.runtimeContext = currentRuntimeContext(*ports.bundle, arguments.values());
    deps.buildLabel = buildLabel;
    deps.websiteURL = config.websiteURL;
    deps.helpPageURL = config.helpPageURL;
    deps.keychain = std::make_shared<KeychainStore>(ports.keychain);
    auto scanner = std::make_shared<const AgentInstanceScanner>(ports.workspace, ports.processTable, ports.codeSigning);
    deps.monitorScanner = makeMonitorScanner(scanner, ports.processTable);
    deps.executor = makeKillExecutor(ports, scanner);
    // Without a data directory the path is relative, which the journal refuses: it is then kept
    // in memory only (commands still run, at most once until a restart), and says so.
    deps.commandJournal =
        std::make_shared<CommandJournal>(QDir(posix::dataDirectoryPath()).filePath(QStringLiteral("Commands")));
    // One store of TLS check outcomes for every pinned session of the agent.
    auto pinFailures = std::make_shared<PinnedSessionFailureStore>();
    const OperationalLog appendLog = [log](const QString &line) { log->append(line); };
    deps.state = std::make_shared<ControllerState>(appendLog, makeServiceClientFactory(config, pinFailures, appendLog));
    auto agent = std::make_shared<DeviceEnrollmentAgent>(
        IdentityPorts{ports.keychain, ports.hardwareKey, ports.hardwareIdentity, ports.postureProbes},
        config.environment.mdmEnrollmentSecret);
    deps.disconnector = std::make_shared<DeviceRemoval>(deps.keychain, agent,
                                                        makeBridgeService(config, pinFailures, agent), ports.systemLog);
    deps.notifications = ports.distributedNotifications;
    deps.loginItem = ports.loginItem;
    // Windows and the tray icon only with a display and outside the managed presentation.
    const bool windows = desktop && !arguments.has(QStringLiteral("--desktop-managed"));
    if (windows) {
        DesktopModule::ControllerUIOptions options;
        options.buildLabel = buildLabel;
        options.iconPath =
            QDir(ports.bundle->bundlePath()).filePath(QStringLiteral("Contents/Resources/MenuBarIcon.png"));
        options.terms = ports.deviceTerms;
        deps.ui = desktop->makeControllerUI(options);
    } else {
        deps.ui = std::make_shared<HeadlessControllerUI>();
    }
    // Posted in every mode; a click opens the dashboard where one can be shown.
    deps.clientsClosedNotice = std::make_shared<ClientsClosedNotice>(ports.userNotifications, windows);
    deps.systemLog = ports.systemLog;
    deps.openLogFile = [log] { log->openLogFile(); };
    deps.openURL = [workspace = ports.workspace](const QUrl &url) { workspace->openURL(url); };
    deps.terminate = [] { QCoreApplication::quit(); };

    SignInFlows::Dependencies signIn;
    signIn.config = config;
    signIn.pinFailures = pinFailures;
    signIn.keychain = deps.keychain;
    signIn.enrollmentAgent = agent;
    signIn.oauth.defaultClientID = config.defaultOAuthClientID;
    signIn.oauth.openBrowser = [workspace = ports.workspace](const QUrl &url) { return workspace->openURL(url); };
    signIn.oauth.socketOwners = ports.socketOwners;
    signIn.userDefaults = ports.userDefaults;
    signIn.terms = ports.deviceTerms;
    if (desktop)
        signIn.alerts = desktop->makeSignInAlerts(ports.systemLog);
    else
        signIn.alerts = std::make_shared<LoggedSignInAlerts>(ports.systemLog);
    signIn.runtimeContext = [context = deps.runtimeContext] { return context; };
    signIn.computerName = [identity = ports.hardwareIdentity] { return identity->localizedHostName(); };
    signIn.openHelpPage = deps.openURL;
    if (windows)
        signIn.attachWindow = desktop->signInWindowAttacher(ports.deviceTerms);
    deps.signIn = std::make_unique<SignInFlows>(*deps.state, signIn);
    auto controller = std::make_unique<MornixController>(std::move(deps));
    if (modules) {
        // A module that cannot be used is reported from the thread that tried it: the line is
        // written on the main thread, while the controller lives.
        MornixController *context = controller.get();
        modules->setFaultReport([context, log](const QString &line) {
            QMetaObject::invokeMethod(
                context, [log, line] { log->append(line); }, Qt::QueuedConnection);
        });
        QObject::connect(context, &QObject::destroyed, [modules] { modules->setFaultReport({}); });
    }
    return controller;
}

}  // namespace mornix
