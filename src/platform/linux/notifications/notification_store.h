#pragma once

#include "platform/user_notifications.h"

#include <QList>
#include <QString>

#include <functional>

namespace mornix {

// What the desktop's notification server does not keep for us: the registered categories, the
// requests waiting for their trigger, and the notifications shown with their server's bus name
// and id. One file per user, "user-notifications.json" in the agent's data directory (0700),
// written 0600 through a temporary file and a rename, read without following links and only
// when it is a private regular file of this user. Every access runs under the cross-process lock
// "user-notifications.lock" beside it. Thread: any.
class NotificationStore {
public:
    struct Pending {
        UserNotificationRequest request;
        qint64 dueAtMs = 0;  // milliseconds since 1970 UTC
    };
    struct Delivered {
        UserNotificationRequest request;
        QString server;  // unique bus name of the server that shows it
        quint32 id = 0;  // the server's notification id
        QString poster;  // requests that answer clicks: the posting connection's unique name
    };
    struct State {
        QList<UserNotificationCategory> categories;
        QList<Pending> pending;
        QList<Delivered> delivered;
    };

    explicit NotificationStore(QString directory);
    // $XDG_DATA_HOME/VeltroMornix.
    static QString defaultDirectory();

    // Runs `change` on the current state with the lock held; the state is written back when it
    // returns true. False (and `error`) when the lock cannot be taken or the file not written.
    bool transact(const std::function<bool(State &)> &change, QString *error = nullptr);
    // The current state (an unreadable or unsafe file reads as empty).
    State read();

    static QByteArray encode(const State &state);
    static State decode(const QByteArray &bytes);

private:
    State load() const;
    bool save(const State &state, QString *error) const;

    QString m_directory;
};

}  // namespace mornix
