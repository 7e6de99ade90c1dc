#pragma once

#include <QProcess>
#include <QString>

namespace mornix {

// A real Secret Service for one test program: gnome-keyring-daemon (secrets component) on the
// private session bus of dbus-run-session, its login keyring created and unlocked with a
// password fed on standard input. Keyrings live in the current $XDG_DATA_HOME, so construct a
// TemporaryHome first. The daemon is stopped when the fixture is destroyed.
class SecretServiceFixture {
public:
    SecretServiceFixture();
    ~SecretServiceFixture();
    bool isRunning() const { return m_running; }
    QString error() const { return m_error; }
    // The daemon's process (tests stop and continue it to make the keyring stop answering).
    qint64 processId() const { return m_daemon.processId(); }

private:
    QProcess m_daemon;
    bool m_running = false;
    QString m_error;
};

}  // namespace mornix
