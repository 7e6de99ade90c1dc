#pragma once

#include <QDBusConnection>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>

namespace mornix {

// One item of a com.canonical.dbusmenu layout.
struct MenuNode {
    int id = 0;
    QVariantMap properties;
    QList<MenuNode> children;
};

// Reads and drives an exported menu the way a tray host does. Thread: main thread.
class DBusMenuClient {
public:
    DBusMenuClient(QDBusConnection bus, QString service, QString menuPath);

    // AboutToShow on the root, then the whole layout; an empty root when the call fails.
    MenuNode layout() const;
    // The item with `label` at the top level; id -1 when there is none.
    MenuNode item(const QString &label) const;
    // Sends the "clicked" event to the top-level item with `label`.
    bool click(const QString &label) const;

    // One line per top-level item: "-" for a separator, else the label, with "(off)" when
    // disabled and "(checked)" for toggle-state 1.
    static QStringList describe(const MenuNode &root);

private:
    QDBusConnection m_bus;
    QString m_service;
    QString m_menuPath;
};

// The item path an item gave the watcher ("/StatusNotifierItem" when it gave a bus name),
// and the object path of its menu read from the item's Menu property; empty on failure.
QString statusNotifierMenuPath(QDBusConnection bus, const QString &service, const QString &itemPath);

}  // namespace mornix
