#pragma once

#include <QDBusConnection>
#include <QObject>

class QDBusServiceWatcher;

namespace mornix {

// Follows whether a status-notifier host (a desktop panel's tray) is on the session bus: the
// org.kde.StatusNotifierWatcher name is owned and its IsStatusNotifierHostRegistered property
// is true. Panels offer the watcher some seconds after they start, and again after a restart.
// All bus calls are asynchronous. Thread: the thread that owns it (the main thread).
class TrayHostWatcher : public QObject {
    Q_OBJECT
public:
    explicit TrayHostWatcher(QDBusConnection bus, QObject *parent = nullptr);

    // Starts watching; the first answer comes as checked(present) from the event loop.
    void start();
    bool isHostPresent() const { return m_present; }

Q_SIGNALS:
    // The first answer after start(), whatever it is.
    void checked(bool present);
    // A host is there now (at the first answer or later, again after each restart).
    void hostAppeared();
    void hostVanished();

private Q_SLOTS:
    void onHostRegistered();

private:
    void queryHost();
    void setPresent(bool present);

    QDBusConnection m_bus;
    QDBusServiceWatcher *m_serviceWatcher = nullptr;
    bool m_present = false;
    bool m_answered = false;
    quint64 m_generation = 0;  // discards answers to queries made before the owner changed
};

}  // namespace mornix
