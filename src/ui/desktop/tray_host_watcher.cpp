#include "ui/desktop/tray_host_watcher.h"

#include "core/ui_logging.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>

namespace mornix {

namespace {

const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");

}  // namespace

TrayHostWatcher::TrayHostWatcher(QDBusConnection bus, QObject *parent)
    : QObject(parent)
    , m_bus(std::move(bus))
{
}

void TrayHostWatcher::start()
{
    if (m_serviceWatcher)
        return;
    if (!m_bus.isConnected()) {
        QMetaObject::invokeMethod(
            this, [this] { setPresent(false); }, Qt::QueuedConnection);
        return;
    }
    m_serviceWatcher = new QDBusServiceWatcher(kWatcherService, m_bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(m_serviceWatcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString &, const QString &, const QString &newOwner) {
                ++m_generation;
                if (newOwner.isEmpty())
                    setPresent(false);
                else
                    queryHost();
            });
    // A watcher that is up before its host registers says so with this signal.
    m_bus.connect(kWatcherService, kWatcherPath, kWatcherService, QStringLiteral("StatusNotifierHostRegistered"), this,
                  SLOT(onHostRegistered()));
    queryHost();
}

void TrayHostWatcher::onHostRegistered()
{
    setPresent(true);
}

void TrayHostWatcher::queryHost()
{
    QDBusMessage get = QDBusMessage::createMethodCall(
        kWatcherService, kWatcherPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << kWatcherService << QStringLiteral("IsStatusNotifierHostRegistered");
    auto *call = new QDBusPendingCallWatcher(m_bus.asyncCall(get), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [this, call, generation = m_generation] {
        call->deleteLater();
        if (generation != m_generation)
            return;
        const QDBusPendingReply<QDBusVariant> reply = *call;
        // No owner (ServiceUnknown) or no such property: no host to show an item.
        setPresent(!reply.isError() && reply.value().variant().toBool());
    });
}

void TrayHostWatcher::setPresent(bool present)
{
    const bool first = !m_answered;
    m_answered = true;
    const bool changed = present != m_present;
    m_present = present;
    if (first)
        Q_EMIT checked(present);
    if (!changed)
        return;
    if (present) {
        qCInfo(lcUi) << "a status-notifier host is on the session bus";
        Q_EMIT hostAppeared();
    } else {
        qCInfo(lcUi) << "the status-notifier host left the session bus";
        Q_EMIT hostVanished();
    }
}

}  // namespace mornix
