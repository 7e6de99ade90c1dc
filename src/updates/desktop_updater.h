#pragma once

#include "platform/bundle.h"
#include "platform/bundle_reader.h"
#include "platform/code_signing.h"
#include "platform/distributed_notifications.h"
#include "platform/system_log.h"
#include "platform/updater.h"
#include "platform/workspace.h"

#include <QObject>
#include <QTimer>

#include <QCoroTask>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace mornix {

// The updater mode (`--desktop-updater`): this program, shipped inside the companion desktop
// application "Veltro Desktop" (enclosing.app/Contents/X/Y/VeltroMornix.app), keeps that
// application up to date after checking that it is signed by the same developer team as this
// program. One updater runs per user ("updater.lock"); a second start with `--check-now`
// hands its request to the running one. The process ends when the desktop application no
// longer runs and no update session is in progress.
// Thread: main thread.
class DesktopUpdater : public QObject {
    Q_OBJECT
public:
    struct Dependencies {
        std::shared_ptr<SystemLog> systemLog;
        std::shared_ptr<Bundle> bundle;  // this program's own bundle
        std::shared_ptr<BundleReader> bundleReader;
        std::shared_ptr<CodeSigning> codeSigning;
        std::shared_ptr<Workspace> workspace;
        std::shared_ptr<DistributedNotifications> distributedNotifications;
        // Takes "updater.lock"; nullptr when another updater holds it. The lock is held as long
        // as the returned object lives (any type: the updater only keeps it).
        std::function<std::shared_ptr<const void>()> acquireLock;
        UpdaterFactory makeUpdater;
        // No Dock icon, and closing the last window does not end the process.
        std::function<void()> setAccessoryPolicy;
        // Ends the application (the run loop returns).
        std::function<void()> terminate;
        // Runs once when the mode starts, before anything else (the update notifications'
        // configure step where the launch sequence does not already run it). May be empty.
        std::function<void()> configureUpdateNotifications;
        std::chrono::milliseconds watchInterval{5000};
    };

    static inline const QString kDesktopBundleIdentifier = QStringLiteral("ai.veltro.desktop");

    DesktopUpdater(bool checkNow, Dependencies dependencies, QObject *parent = nullptr);
    ~DesktopUpdater() override;

    // Runs the mode; ends the process through `terminate` when it cannot run.
    QCoro::Task<void> startDesktopUpdater();
    // A check request (the distributed notification, `--check-now`): a user-initiated check when
    // the updater can check; nothing otherwise.
    void checkDesktopUpdates();

    // The application four path components above this program's bundle.
    static QString enclosingBundlePath(const QString &ownBundlePath);
    // The host configuration when the enclosing bundle's identifier, feed address and public
    // key are acceptable (the signature test aside); nullopt otherwise.
    static std::optional<UpdaterHost> hostConfiguration(const BundleReader &reader, const QString &hostBundlePath);
    // The enclosing application is validly signed with identifier "ai.veltro.desktop" by the
    // same team as this program, whose team identifier has the form ^[A-Z0-9]{10}$. May block
    // (hashes files): call off the main thread. `team` receives this program's team.
    static bool verifyDesktopHost(CodeSigning &codeSigning, const QString &ownBundlePath, const QString &hostBundlePath,
                                  QString *team = nullptr);

    Updater *updater() const { return m_updater.get(); }

private:
    void notConfigured();
    void watchHost();

    bool m_checkNow;  // a check is wanted as soon as the updater runs (--check-now or a handed-over request)
    Dependencies m_deps;
    std::shared_ptr<const void> m_runtimeLock;
    std::unique_ptr<Updater> m_updater;
    QTimer *m_updaterTimer = nullptr;
};

}  // namespace mornix
