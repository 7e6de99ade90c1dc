#pragma once

#include <QObject>
#include <QString>

#include <functional>

namespace mornix {

// Notifications between this program's processes of one user session (the macOS distributed
// notification centre). A notification is a bare name: no object, no user information.
// Thread: main thread (handlers run on it).
class DistributedNotifications {
public:
    virtual ~DistributedNotifications() = default;

    // Posts `name` for every observer of the session and returns once it has left this process
    // (a short-lived process may exit right after). False when there is nothing to post to.
    virtual bool post(const QString &name) = 0;

    // Calls `handler` on the main thread whenever `name` is posted, until `context` is destroyed.
    // False when observing is impossible (no session bus).
    virtual bool observe(const QString &name, QObject *context, std::function<void()> handler) = 0;
};

// The names this program posts and observes.
namespace notification_names {
inline const QString credentialsUpdated = QStringLiteral("ai.veltro.mornix.credentials-updated");
inline const QString stopManaged = QStringLiteral("ai.veltro.mornix.stop-managed");
// A second start of the agent asks the running one to show itself (reopen).
inline const QString activate = QStringLiteral("ai.veltro.mornix.activate");
inline const QString desktopCheckForUpdates = QStringLiteral("ai.veltro.desktop.check-for-updates");
}  // namespace notification_names

}  // namespace mornix
