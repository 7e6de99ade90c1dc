#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

namespace mornix {

// The recording notification server (recording-notification-server) running on the test's
// session bus, and the test's handle on it: what it shows, what it was asked, and a hand to
// press an action or dismiss a notification. Stopped when dropped.
class NotificationServerProcess {
public:
    enum class Mode { Broadcast, PosterOnly };
    struct Shown {
        uint id = 0;
        QString sender;
        qint64 senderPid = 0;
        QString appName;
        QString summary;
        QString body;
        QStringList actions;
        int expireTimeout = -1;
    };

    explicit NotificationServerProcess(Mode mode = Mode::Broadcast);
    ~NotificationServerProcess();

    bool start();  // waits until it owns org.freedesktop.Notifications
    void stop();

    QList<Shown> open() const;
    QJsonArray history() const;  // {"event": "notify" | "close" | "pressed" | "dismissed", ...}
    int historyCount(const QString &event) const;
    bool press(uint id, const QString &action) const;
    bool dismiss(uint id) const;
    // Waits (running the event loop) until exactly `count` notifications are shown.
    bool waitForOpen(int count, int timeoutMs = 10000) const;

private:
    QVariant call(const QString &method, const QVariantList &arguments) const;  // the answer's first value
    QJsonObject state() const;                                                  // {"open": [...], "history": [...]}
    Mode m_mode;
    std::unique_ptr<QProcess> m_process;
};

}  // namespace mornix
