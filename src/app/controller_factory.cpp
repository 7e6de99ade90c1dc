#include "app/controller_factory.h"

#include "app/agent_services.h"
#include "app/api_adapters.h"
#include "app/device_removal.h"
#include "identity/device_enrollment_agent.h"
#include "app/build_label.h"
#include "app/runtime_context.h"
#include "app/sign_in_alerts.h"
#include "platform/posix_files.h"
#include "discovery/agent_instance_scanner.h"
#include "identity/keychain_store.h"
#include "support/config.h"
#include "ui/desktop/desktop_controller_ui.h"
#include "ui/desktop/sign_in_panel.h"
#include "ui/headless_controller_ui.h"
#include "ui/markdown_log_store.h"
#include "ui/message_box_alert_presenter.h"
#include "ui/mornix_controller.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>

std::unique_ptr<MornixController> makeMornixController(const Arguments &arguments, Ports &ports)
{
    const QString buildLabel = processBuildLabel(*ports.bundle, arguments.argument0());
    auto alerts = std::make_shared<MessageBoxAlertPresenter>(ports.systemLog);
    auto log = std::make_shared<MarkdownLogStore>(
        ports.systemLog, [buildLabel] { return buildLabel; },
        [workspace = ports.workspace](const QUrl &url) { return workspace->openURL(url); }, alerts);

    MornixController::Dependencies deps;
    deps.arguments = arguments.values();
    deps.buildLabel = buildLabel;
    deps.websiteURL = Config::defaults().websiteURL;
    deps.helpPageURL = Config::defaults().helpPageURL;
    deps.keychain = std::make_shared<KeychainStore>(ports.keychain);
    auto scanner = std::make_shared<const AgentInstanceScanner>(ports.workspace, ports.processTable, ports.codeSigning);
    deps.monitorScanner = makeMonitorScanner(scanner);
    deps.executor = makeKillExecutor(ports, scanner);
    // Without a data directory the path is relative, which the journal refuses: commands are
    // then refused too, never carried out without a journal.
    deps.commandJournal
        = std::make_shared<CommandJournal>(QDir(posix::dataDirectoryPath()).filePath(QStringLiteral("Commands")));
    deps.makeServiceClient = makeServiceClientFactory(Config::defaults(), [log](const QString &line) { log->append(line); });
    auto agent = std::make_shared<DeviceEnrollmentAgent>(
        IdentityPorts{ports.keychain, ports.hardwareKey, ports.hardwareIdentity, ports.postureProbes});
    deps.disconnector = std::make_shared<DeviceRemoval>(deps.keychain, agent, makeBridgeService(Config::defaults(), agent));
    deps.bundle = ports.bundle;
    deps.notifications = ports.distributedNotifications;
    deps.loginItem = ports.loginItem;
    // Windows and the tray icon only with a display and outside the managed presentation.
    auto *gui = qobject_cast<QApplication *>(QCoreApplication::instance());
    const bool desktop = gui && !arguments.has(QStringLiteral("--desktop-managed"));
    if (desktop) {
        // The agent lives in the tray: closing the dashboard or the sign-in window never quits.
        QApplication::setQuitOnLastWindowClosed(false);
        DesktopControllerUI::Options options;
        options.buildLabel = buildLabel;
        options.iconPath = QDir(ports.bundle->bundlePath()).filePath(QStringLiteral("Contents/Resources/MenuBarIcon.png"));
        deps.ui = std::make_shared<DesktopControllerUI>(options);
    } else {
        deps.ui = std::make_shared<HeadlessControllerUI>();
    }
    deps.appendLog = [log](const QString &line) { log->append(line); };
    deps.openLogFile = [log] { log->openLogFile(); };
    deps.openURL = [workspace = ports.workspace](const QUrl &url) { workspace->openURL(url); };
    deps.terminate = [] { QCoreApplication::quit(); };

    SignInFlows::Dependencies signIn;
    signIn.config = Config::defaults();
    signIn.keychain = deps.keychain;
    signIn.enrollmentAgent = agent;
    signIn.makeServiceClient = deps.makeServiceClient;
    signIn.oauth.defaultClientID = Config::defaults().defaultOAuthClientID;
    signIn.oauth.openBrowser = [workspace = ports.workspace](const QUrl &url) { return workspace->openURL(url); };
    signIn.alerts = std::make_shared<MessageBoxSignInAlerts>(ports.systemLog);
    signIn.appendLog = deps.appendLog;
    signIn.runtimeContext = [bundle = ports.bundle, values = arguments.values()] {
        return RuntimeContext::current(*bundle, values);
    };
    signIn.computerName = [identity = ports.hardwareIdentity] { return identity->localizedHostName(); };
    signIn.openHelpPage = deps.openURL;
    if (desktop)
        signIn.attachWindow = &SignInPanel::attach;
    deps.signIn = std::move(signIn);
    return std::make_unique<MornixController>(std::move(deps));
}
