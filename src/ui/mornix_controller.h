#pragma once

#include "ui/controller_status.h"
#include "ui/controller_ui.h"

#include <QObject>
#include <QStringList>
#include <QUrl>

#include <functional>
#include <memory>

class Bundle;
class DistributedNotifications;
class LoginItem;

// The agent's central object while it runs as an application: status, menu and dashboard
// state, and the owner of the monitor, the poll loop and inventory reporting.
// Thread: main thread; created by the application delegate and kept until exit.
class MornixController : public QObject {
    Q_OBJECT
public:
    struct Dependencies {
        QStringList arguments;
        QString buildLabel;
        QUrl websiteURL;
        std::shared_ptr<Bundle> bundle;
        std::shared_ptr<DistributedNotifications> notifications;
        std::shared_ptr<LoginItem> loginItem;
        std::shared_ptr<ControllerUI> ui;
        std::function<void(const QString &)> appendLog;  // the operational log
        std::function<void()> openLogFile;
        std::function<void(const QUrl &)> openURL;
        std::function<void()> terminate;                 // ends the application
    };

    explicit MornixController(Dependencies dependencies, QObject *parent = nullptr);
    ~MornixController() override;

    void start();

    // Menu and dashboard actions.
    void showDashboard();
    void openLogs();
    void togglePause();
    void toggleLaunchAtLogin();
    void quitApp();

    // Distributed-notification handlers.
    void stopManagedReporter();

    void refreshMenuState();
    void updateDashboard();
    void recordDashboardActivity(const QString &title) { m_status->recordDashboardActivity(title); }
    MornixDashboardState dashboardState() const;

    QString runtimeEnvironmentSummary() const;

    ControllerStatus &status() { return *m_status; }
    bool isManaged() const;

private:
    void handleDashboardAction(DashboardAction action);
    bool launchAtLoginEnabled() const;

    Dependencies m_deps;
    ControllerStatus *m_status;
};
