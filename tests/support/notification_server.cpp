#include "support/notification_server.h"

#include "support/process_runner.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <algorithm>

namespace mornix {

NotificationServerProcess::NotificationServerProcess(Mode mode)
    : m_mode(mode)
{
}

NotificationServerProcess::~NotificationServerProcess()
{
    stop();
}

bool NotificationServerProcess::start()
{
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QStringList arguments;
    if (m_mode == Mode::PosterOnly)
        arguments << QStringLiteral("--poster-only");
    m_process->start(QStringLiteral(MORNIX_NOTIFICATION_SERVER), arguments);
    if (!m_process->waitForStarted(10000))
        return false;
    QDeadlineTimer deadline(10000);
    while (!m_process->canReadLine() && !deadline.hasExpired()) {
        if (!m_process->waitForReadyRead(int(deadline.remainingTime())))
            break;
    }
    return m_process->readLine().trimmed() == "ready";
}

void NotificationServerProcess::stop()
{
    if (m_process)
        stopProcess(*m_process);
    m_process.reset();
}

QVariant NotificationServerProcess::call(const QString &method, const QVariantList &arguments) const
{
    QDBusMessage message = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.Notifications"),
                                                          QStringLiteral("/ai/veltro/test/NotificationServer"),
                                                          QStringLiteral("ai.veltro.test.NotificationServer"), method);
    message.setArguments(arguments);
    const QDBusMessage reply = QDBusConnection::sessionBus().call(message, QDBus::Block, 10000);
    return reply.type() == QDBusMessage::ReplyMessage ? reply.arguments().value(0) : QVariant();
}

QJsonObject NotificationServerProcess::state() const
{
    return QJsonDocument::fromJson(call(QStringLiteral("State"), {}).toString().toUtf8()).object();
}

QList<NotificationServerProcess::Shown> NotificationServerProcess::open() const
{
    QList<Shown> list;
    for (const QJsonValue &value : state().value(QStringLiteral("open")).toArray()) {
        const QJsonObject object = value.toObject();
        Shown shown;
        shown.id = uint(object.value(QStringLiteral("id")).toInteger());
        shown.sender = object.value(QStringLiteral("sender")).toString();
        shown.senderPid = object.value(QStringLiteral("sender_pid")).toInteger();
        shown.appName = object.value(QStringLiteral("app_name")).toString();
        shown.summary = object.value(QStringLiteral("summary")).toString();
        shown.body = object.value(QStringLiteral("body")).toString();
        for (const QJsonValue &action : object.value(QStringLiteral("actions")).toArray())
            shown.actions.append(action.toString());
        shown.expireTimeout = object.value(QStringLiteral("expire_timeout")).toInt();
        list.append(shown);
    }
    return list;
}

QJsonArray NotificationServerProcess::history() const
{
    return state().value(QStringLiteral("history")).toArray();
}

int NotificationServerProcess::historyCount(const QString &event) const
{
    const QJsonArray events = history();
    return int(std::count_if(events.begin(), events.end(), [&](const QJsonValue &value) {
        return value.toObject().value(QStringLiteral("event")).toString() == event;
    }));
}

bool NotificationServerProcess::press(uint id, const QString &action) const
{
    return call(QStringLiteral("Press"), {id, action}).toBool();
}

bool NotificationServerProcess::dismiss(uint id) const
{
    return call(QStringLiteral("Dismiss"), {id}).toBool();
}

bool NotificationServerProcess::waitForOpen(int count, int timeoutMs) const
{
    return QTest::qWaitFor([&] { return open().size() == count; }, timeoutMs);
}

}  // namespace mornix
