#include "platform/linux/notifications/freedesktop_notifications.h"

#include "platform/linux/platform_logging.h"
#include "support/serial_queue.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusReply>
#include <QDateTime>
#include <QLoggingCategory>
#include <QMetaObject>

namespace mornix {

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
constexpr int kCallTimeoutMs = 10000;
constexpr qint64 kRecheckMs = 60 * 1000;
constexpr int kBusCheckMs = 10 * 1000;

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

// Takes the request `identifier` out of the store, pending or delivered; returns what was
// delivered of it (still to be closed on the server).
QList<NotificationStore::Delivered> removeRequest(NotificationStore::State &state, const QString &identifier)
{
    QList<NotificationStore::Delivered> removed;
    state.pending.removeIf([&](const NotificationStore::Pending &p) { return p.request.identifier == identifier; });
    state.delivered.removeIf([&](const NotificationStore::Delivered &d) {
        if (d.request.identifier != identifier)
            return false;
        removed.append(d);
        return true;
    });
    return removed;
}

}  // namespace

QString FreedesktopNotifications::postedKey(const QString &server, quint32 id)
{
    return server + QLatin1Char('#') + QString::number(id);
}

FreedesktopNotifications::FreedesktopNotifications(QString storeDirectory, QObject *parent)
    : QObject(parent)
    , m_store(std::move(storeDirectory))
{
    m_deliveryTimer.setSingleShot(true);
    connect(&m_deliveryTimer, &QTimer::timeout, this, [this] { m_queue->post([this] { deliverDue(); }); });
    m_busCheckTimer.setInterval(kBusCheckMs);
    connect(&m_busCheckTimer, &QTimer::timeout, this, &FreedesktopNotifications::checkBus);
}

FreedesktopNotifications::~FreedesktopNotifications()
{
    // Finish the item in progress before the members it uses go away.
    m_queue.reset();
}

QString FreedesktopNotifications::currentServer() const
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return {};
    const QDBusReply<QString> owner = bus.interface()->serviceOwner(kService);
    return owner.isValid() ? owner.value() : QString();
}

UserNotificationAuthorization FreedesktopNotifications::authorizationStatus()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return UserNotificationAuthorization::notDetermined;
    if (bus.interface()->isServiceRegistered(kService))
        return UserNotificationAuthorization::authorized;
    const QDBusReply<QStringList> activatable = bus.interface()->activatableServiceNames();
    if (activatable.isValid() && activatable.value().contains(kService))
        return UserNotificationAuthorization::authorized;
    return UserNotificationAuthorization::notDetermined;
}

bool FreedesktopNotifications::requestAuthorization(QString *error)
{
    if (!QDBusConnection::sessionBus().isConnected()) {
        if (error)
            *error = QStringLiteral("no session bus");
        return false;
    }
    return authorizationStatus() == UserNotificationAuthorization::authorized;
}

bool FreedesktopNotifications::setCategories(const QList<UserNotificationCategory> &categories, QString *error)
{
    return m_store.transact(
        [&categories](NotificationStore::State &state) {
            if (state.categories == categories)
                return false;
            state.categories = categories;
            return true;
        },
        error);
}

QList<UserNotificationCategory> FreedesktopNotifications::categories()
{
    return m_store.read().categories;
}

bool FreedesktopNotifications::ensureListening()
{
    QMutexLocker locker(&m_mutex);
    if (m_listening)
        return true;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    // The queue's thread exists only in processes that listen (not in the one-shot modes).
    if (!m_queue)
        m_queue = std::make_unique<SerialQueue>(QStringLiteral("ai.veltro.mornix.user-notifications"));
    // Any sender: the sender of each signal is compared with the server that showed the
    // notification, so another program speaking on this path cannot answer for it.
    const bool actions = bus.connect(QString(), kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                                     SLOT(onActionInvoked(uint, QString, QDBusMessage)));
    const bool closes = bus.connect(QString(), kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                                    SLOT(onNotificationClosed(uint, uint, QDBusMessage)));
    m_listening = actions && closes;
    return m_listening;
}

void FreedesktopNotifications::closeOnServer(const QList<NotificationStore::Delivered> &entries)
{
    if (entries.isEmpty())
        return;
    const QString server = currentServer();
    QDBusConnection bus = QDBusConnection::sessionBus();
    for (const NotificationStore::Delivered &entry : entries) {
        if (entry.server != server)
            continue;  // that server is gone, and its notifications with it
        QDBusMessage call =
            QDBusMessage::createMethodCall(entry.server, kPath, kInterface, QStringLiteral("CloseNotification"));
        call << uint(entry.id);
        bus.call(call, QDBus::Block, kCallTimeoutMs);
    }
}

bool FreedesktopNotifications::postLocked(NotificationStore::State &state, const UserNotificationRequest &request,
                                          QString *error)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        if (error)
            *error = QStringLiteral("no session bus");
        return false;
    }
    ensureListening();

    // The earlier request with this identifier leaves the server and the store.
    closeOnServer(removeRequest(state, request.identifier));

    QStringList actions;
    for (const UserNotificationCategory &category : std::as_const(state.categories)) {
        if (category.identifier != request.content.categoryIdentifier)
            continue;
        for (const UserNotificationAction &action : category.actions)
            actions << action.identifier << action.title;
        break;
    }
    // The "default" action is the click on the notification itself; servers show no button for it.
    if (request.content.answersClick)
        actions << UserNotificationResponse::defaultActionIdentifier << QStringLiteral("Open");
    QVariantMap hints;
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue<uchar>(1));
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    // app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout (0: until
    // answered or dismissed).
    call << QStringLiteral("Veltro") << uint(0) << QString() << request.content.title << request.content.body << actions
         << hints << int(0);
    const QDBusMessage reply = bus.call(call, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1) {
        if (error)
            *error = reply.errorMessage().isEmpty() ? QStringLiteral("the notification server did not answer")
                                                    : reply.errorMessage();
        return false;
    }
    const quint32 id = reply.arguments().first().toUInt();
    const QString server = reply.service();
    if (id == 0 || server.isEmpty()) {
        if (error)
            *error = QStringLiteral("the notification server returned no id");
        return false;
    }
    state.delivered.append({request, server, id, request.content.answersClick ? bus.baseService() : QString()});
    {
        QMutexLocker locker(&m_mutex);
        m_postedHere.insert(postedKey(server, id));
    }
    QMetaObject::invokeMethod(
        this, [this] { m_busCheckTimer.start(); }, Qt::QueuedConnection);
    return true;
}

bool FreedesktopNotifications::add(const UserNotificationRequest &request, QString *error)
{
    if (request.identifier.isEmpty()) {
        if (error)
            *error = QStringLiteral("a request needs an identifier");
        return false;
    }
    if (!request.timeInterval) {
        bool posted = false;
        QString postError;
        const bool stored = m_store.transact(
            [&](NotificationStore::State &state) {
                posted = postLocked(state, request, &postError);
                return true;  // also keeps the removal of a replaced request when posting failed
            },
            error);
        if (!posted && error && stored)
            *error = postError;
        return stored && posted;
    }
    if (!(*request.timeInterval > 0)) {
        if (error)
            *error = QStringLiteral("a time-interval trigger must be positive");
        return false;
    }
    QList<NotificationStore::Delivered> replaced;
    const qint64 due = nowMs() + qint64(*request.timeInterval * 1000.0);
    const bool stored = m_store.transact(
        [&](NotificationStore::State &state) {
            replaced = removeRequest(state, request.identifier);
            state.pending.append({request, due});
            return true;
        },
        error);
    closeOnServer(replaced);
    if (stored)
        QMetaObject::invokeMethod(
            this, [this, due] { armDeliveryTimer(due); }, Qt::QueuedConnection);
    return stored;
}

QList<UserNotificationRequest> FreedesktopNotifications::pendingRequests()
{
    QList<UserNotificationRequest> requests;
    for (const NotificationStore::Pending &entry : m_store.read().pending)
        requests.append(entry.request);
    return requests;
}

QList<UserNotificationRequest> FreedesktopNotifications::deliveredNotifications()
{
    // Notifications of a server that has gone (restarted, session over) are no longer shown.
    const QString server = currentServer();
    QList<UserNotificationRequest> requests;
    m_store.transact([&](NotificationStore::State &state) {
        const qsizetype before = state.delivered.size();
        state.delivered.removeIf([&](const NotificationStore::Delivered &d) { return d.server != server; });
        for (const NotificationStore::Delivered &entry : std::as_const(state.delivered))
            requests.append(entry.request);
        return state.delivered.size() != before;
    });
    return requests;
}

void FreedesktopNotifications::removePendingRequests(const QStringList &identifiers)
{
    m_store.transact([&](NotificationStore::State &state) {
        return state.pending.removeIf([&](const NotificationStore::Pending &p) {
            return identifiers.contains(p.request.identifier);
        }) > 0;
    });
}

void FreedesktopNotifications::removeDeliveredNotifications(const QStringList &identifiers)
{
    QList<NotificationStore::Delivered> removed;
    m_store.transact([&](NotificationStore::State &state) {
        state.delivered.removeIf([&](const NotificationStore::Delivered &d) {
            if (!identifiers.contains(d.request.identifier))
                return false;
            removed.append(d);
            return true;
        });
        return !removed.isEmpty();
    });
    closeOnServer(removed);
}

void FreedesktopNotifications::setDelegate(std::shared_ptr<UserNotificationDelegate> delegate)
{
    {
        QMutexLocker locker(&m_mutex);
        m_delegate = std::move(delegate);
    }
    if (!ensureListening())
        qCInfo(lcUserNotifications) << "no session bus: answers to notifications are not received";
}

void FreedesktopNotifications::startScheduledDelivery()
{
    if (m_scheduledDelivery)
        return;
    if (!ensureListening()) {
        qCInfo(lcUserNotifications) << "no session bus: scheduled notifications are not delivered";
        return;
    }
    m_scheduledDelivery = true;
    m_queue->post([this] { deliverDue(); });
}

void FreedesktopNotifications::deliverDue()
{
    const qint64 now = nowMs();
    qint64 nextDue = 0;
    QString error;
    m_store.transact(
        [&](NotificationStore::State &state) {
            QList<UserNotificationRequest> due;
            for (const NotificationStore::Pending &entry : std::as_const(state.pending)) {
                if (entry.dueAtMs <= now)
                    due.append(entry.request);
                else if (nextDue == 0 || entry.dueAtMs < nextDue)
                    nextDue = entry.dueAtMs;
            }
            for (const UserNotificationRequest &request : std::as_const(due)) {
                QString postError;
                if (!postLocked(state, request, &postError)) {
                    // Left pending: the next check tries again.
                    state.pending.append({request, now});
                    qCWarning(lcUserNotifications) << "a due notification could not be shown:" << postError;
                }
            }
            return !due.isEmpty();
        },
        &error);
    QMetaObject::invokeMethod(
        this, [this, nextDue] { armDeliveryTimer(nextDue); }, Qt::QueuedConnection);
}

void FreedesktopNotifications::armDeliveryTimer(qint64 nextDueMs)
{
    if (!m_scheduledDelivery)
        return;
    qint64 wait = kRecheckMs;
    if (nextDueMs > 0)
        wait = std::clamp<qint64>(nextDueMs - nowMs(), 0, kRecheckMs);
    if (m_deliveryTimer.isActive() && m_deliveryTimer.remainingTime() <= wait)
        return;
    m_deliveryTimer.start(int(wait));
}

}  // namespace mornix
