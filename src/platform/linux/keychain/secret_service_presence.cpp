#include "platform/linux/keychain/secret_service_presence.h"

#include <QDBusConnection>
#include <QDBusMessage>

namespace mornix {

namespace secret_service {

namespace {

constexpr int kTimeoutMs = 3000;
const QString kSecretsName = QStringLiteral("org.freedesktop.secrets");

QDBusMessage askBus(const QDBusConnection &bus, const QString &method, const QVariantList &arguments)
{
    QDBusMessage message =
        QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                                       QStringLiteral("org.freedesktop.DBus"), method);
    message.setArguments(arguments);
    return bus.call(message, QDBus::Block, kTimeoutMs);
}

}  // namespace

bool sessionBusOffersSecretService(QString *why)
{
    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        if (why)
            *why = QStringLiteral("no session bus: ") + bus.lastError().message();
        return false;
    }
    const QDBusMessage owned = askBus(bus, QStringLiteral("NameHasOwner"), {kSecretsName});
    if (owned.type() == QDBusMessage::ReplyMessage && !owned.arguments().isEmpty()
        && owned.arguments().first().toBool())
        return true;
    const QDBusMessage activatable = askBus(bus, QStringLiteral("ListActivatableNames"), {});
    if (activatable.type() == QDBusMessage::ReplyMessage && !activatable.arguments().isEmpty()
        && activatable.arguments().first().toStringList().contains(kSecretsName))
        return true;
    if (why) {
        const QDBusMessage &failed = owned.type() == QDBusMessage::ErrorMessage ? owned : activatable;
        *why = failed.type() == QDBusMessage::ErrorMessage
                   ? QStringLiteral("the session bus did not answer: ") + failed.errorMessage()
                   : QStringLiteral("the session bus offers no org.freedesktop.secrets");
    }
    return false;
}

}  // namespace secret_service

}  // namespace mornix
