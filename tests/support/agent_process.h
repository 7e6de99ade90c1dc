#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <memory>

namespace mornix {

// The real agent executable running in the background for end-to-end tests, with its own
// environment (a TemporaryHome's, without a display). Its operational log is read from
// $XDG_DATA_HOME/VeltroMornix/Logs/mornix-log.md. Terminated (SIGTERM, then SIGKILL) when dropped.
class AgentProcess {
public:
    explicit AgentProcess(QProcessEnvironment environment);
    ~AgentProcess();

    bool start(const QStringList &arguments = {QStringLiteral("--desktop-managed")});
    QString logPath() const;
    QString logText() const;
    // Number of log entries whose text contains `needle`.
    int logCount(const QString &needle) const;
    // Waits (running the event loop) until the log holds `count` entries containing `needle`.
    bool waitForLog(const QString &needle, int timeoutMs = 15000, int count = 1) const;

    bool isRunning() const;
    bool waitForExit(int timeoutMs);
    int exitCode() const;
    QProcess &process() { return *m_process; }

private:
    QProcessEnvironment m_environment;
    std::unique_ptr<QProcess> m_process;
};

// A TemporaryHome-style environment for a headless agent: no display, no platform plugin.
QProcessEnvironment headlessEnvironment(QProcessEnvironment base);
// The same for an agent with windows on the X server `display` (":N"), through Qt's xcb plugin.
QProcessEnvironment xcbEnvironment(QProcessEnvironment base, const QString &display);

}  // namespace mornix
