#include "app/desktop_updater_wiring.h"

#include "app/runtime_lock.h"
#include "platform/linux/updater/appcast_updater.h"
#include "support/config.h"
#include "core/logged_alerts.h"

#include <QCoreApplication>

#include <cstdio>
#include <limits>

namespace mornix {

namespace {

class StandardErrorTeeLog final : public SystemLog {
public:
    explicit StandardErrorTeeLog(std::shared_ptr<SystemLog> inner)
        : m_inner(std::move(inner))
    {
    }
    void write(Level level, const QString &message) override
    {
        if (m_inner)
            m_inner->write(level, message);
        const QByteArray line = message.toUtf8() + '\n';
        std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
        std::fflush(stderr);
    }

private:
    std::shared_ptr<SystemLog> m_inner;
};

}  // namespace

std::unique_ptr<DesktopUpdater> makeDesktopUpdater(const Arguments &arguments, const Ports &ports, const Config &config,
                                                   std::shared_ptr<PlatformModules> modules,
                                                   std::function<void()> terminate, DesktopUpdaterSeams seams,
                                                   DesktopModule *desktop)
{
    auto log = std::make_shared<StandardErrorTeeLog>(ports.systemLog);
    DesktopUpdater::Dependencies deps;
    deps.systemLog = log;
    deps.bundle = ports.bundle;
    deps.bundleReader = ports.bundleReader;
    deps.codeSigning = ports.codeSigning;
    deps.workspace = ports.workspace;
    deps.distributedNotifications = ports.distributedNotifications;
    deps.acquireLock = [log]() -> std::shared_ptr<const void> {
        return RuntimeLock::acquire(QStringLiteral("updater.lock"), *log);
    };
    deps.makeUpdater = [log, ports, modules, seams, desktop,
                        anchors = config.extraTLSAnchorsPEM](const UpdaterHost &host) -> std::unique_ptr<Updater> {
        AppcastUpdater::Dependencies updaterDeps;
        updaterDeps.systemLog = log;
        updaterDeps.bundleReader = ports.bundleReader;
        updaterDeps.codeSigning = ports.codeSigning;
        updaterDeps.modules = modules;
        if (seams.prompt)
            updaterDeps.prompt = seams.prompt;
        else if (desktop)
            updaterDeps.prompt = desktop->makeUpdatePrompt(log);
        else
            updaterDeps.prompt = std::make_shared<LoggedUpdatePrompt>(log);
        updaterDeps.stepHook = seams.stepHook;
        if (seams.transferDeadlineMs > 0) {
            updaterDeps.transferLimits.deadlineBaseMs = seams.transferDeadlineMs;
            updaterDeps.transferLimits.minimumBytesPerSecond = std::numeric_limits<qint64>::max();
        }
        updaterDeps.extraTLSAnchorsPEM = anchors;
        return std::make_unique<AppcastUpdater>(host, std::move(updaterDeps));
    };
    // The widget application's property, set by name: this side links no Qt Gui.
    deps.setAccessoryPolicy = [] {
        if (QCoreApplication *app = QCoreApplication::instance())
            app->setProperty("quitOnLastWindowClosed", false);
    };
    // configure() already ran before launch completed (every start does it); the updater, a
    // long-running process too, also delivers reminders that fall due while it runs.
    deps.configureUpdateNotifications = [notifications = ports.userNotifications] {
        if (notifications)
            notifications->startScheduledDelivery();
    };
    deps.terminate = std::move(terminate);
    return std::make_unique<DesktopUpdater>(arguments.has(QStringLiteral("--check-now")), std::move(deps));
}

}  // namespace mornix
