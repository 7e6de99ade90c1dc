#pragma once

#include "core/dashboard_state.h"

#include <QObject>

#include <functional>

namespace mornix {

// The controller's observable status: `lastCommand`, `connected`, `paused` and the dashboard
// activity list, with the reactions every flow relies on. Setting `lastCommand` or `connected`
// always asks for a menu refresh; a changed value also records a dashboard activity and appends
// a log line. Thread: main thread.
class ControllerStatus : public QObject {
    Q_OBJECT
public:
    static constexpr qsizetype maximumActivityCount = 40;

    // `appendLog` receives each operational log line (the Markdown log in production).
    explicit ControllerStatus(std::function<void(const QString &)> appendLog, QObject *parent = nullptr);

    const QString &lastCommand() const { return m_lastCommand; }
    void setLastCommand(const QString &text);
    // Sets the text without any reaction (the controller's initial pending-claim text).
    void setLastCommandQuietly(const QString &text) { m_lastCommand = text; }

    bool connected() const { return m_connected; }
    void setConnected(bool connected);

    bool paused() const { return m_paused; }
    void setPaused(bool paused) { m_paused = paused; }

    const QList<MornixDashboardActivity> &activity() const { return m_activity; }
    // Appends (title, now) unless the newest entry has the same title; keeps the newest 40.
    void recordDashboardActivity(const QString &title);

    void appendLog(const QString &line) const { m_appendLog(line); }

Q_SIGNALS:
    void menuRefreshNeeded();
    void dashboardRefreshNeeded();

private:
    std::function<void(const QString &)> m_appendLog;
    QString m_lastCommand = QStringLiteral("none");
    bool m_connected = false;
    bool m_paused = false;
    QList<MornixDashboardActivity> m_activity;
};

}  // namespace mornix
