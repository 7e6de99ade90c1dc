#include "support/dbus_menu_client.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>

namespace mornix {

namespace {

const QString kMenuInterface = QStringLiteral("com.canonical.dbusmenu");

void readNode(const QDBusArgument &argument, MenuNode &node)
{
    argument.beginStructure();
    argument >> node.id >> node.properties;
    argument.beginArray();
    while (!argument.atEnd()) {
        QDBusVariant child;
        argument >> child;
        MenuNode childNode;
        readNode(child.variant().value<QDBusArgument>(), childNode);
        node.children.append(childNode);
    }
    argument.endArray();
    argument.endStructure();
}

}  // namespace

DBusMenuClient::DBusMenuClient(QDBusConnection bus, QString service, QString menuPath)
    : m_bus(std::move(bus))
    , m_service(std::move(service))
    , m_menuPath(std::move(menuPath))
{
}

MenuNode DBusMenuClient::layout() const
{
    QDBusMessage aboutToShow =
        QDBusMessage::createMethodCall(m_service, m_menuPath, kMenuInterface, QStringLiteral("AboutToShow"));
    aboutToShow << 0;
    m_bus.call(aboutToShow);
    QDBusMessage call =
        QDBusMessage::createMethodCall(m_service, m_menuPath, kMenuInterface, QStringLiteral("GetLayout"));
    call << 0 << -1 << QStringList();
    const QDBusMessage reply = m_bus.call(call);
    MenuNode root;
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 2)
        return root;
    readNode(reply.arguments().at(1).value<QDBusArgument>(), root);
    return root;
}

MenuNode DBusMenuClient::item(const QString &label) const
{
    for (const MenuNode &node : layout().children) {
        if (node.properties.value(QStringLiteral("label")).toString() == label)
            return node;
    }
    MenuNode none;
    none.id = -1;
    return none;
}

bool DBusMenuClient::click(const QString &label) const
{
    const int id = item(label).id;
    if (id < 0)
        return false;
    QDBusMessage event = QDBusMessage::createMethodCall(m_service, m_menuPath, kMenuInterface, QStringLiteral("Event"));
    event << id << QStringLiteral("clicked") << QVariant::fromValue(QDBusVariant(0)) << 0u;
    return m_bus.call(event).type() == QDBusMessage::ReplyMessage;
}

QStringList DBusMenuClient::describe(const MenuNode &root)
{
    QStringList out;
    for (const MenuNode &item : root.children) {
        if (item.properties.value(QStringLiteral("type")).toString() == QLatin1String("separator")) {
            out << QStringLiteral("-");
            continue;
        }
        QString text = item.properties.value(QStringLiteral("label")).toString();
        if (item.properties.contains(QStringLiteral("enabled"))
            && !item.properties.value(QStringLiteral("enabled")).toBool())
            text += QStringLiteral("(off)");
        if (item.properties.value(QStringLiteral("toggle-state")).toInt() == 1)
            text += QStringLiteral("(checked)");
        out << text;
    }
    return out;
}

QString statusNotifierMenuPath(QDBusConnection bus, const QString &service, const QString &itemPath)
{
    QDBusMessage get = QDBusMessage::createMethodCall(
        service, itemPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << QStringLiteral("org.kde.StatusNotifierItem") << QStringLiteral("Menu");
    const QDBusMessage reply = bus.call(get);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    return reply.arguments().first().value<QDBusVariant>().variant().value<QDBusObjectPath>().path();
}

}  // namespace mornix
