#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

namespace mornix {

// One group of running agent clients on the dashboard.
struct MornixDashboardClient {
    QString name;  // product display name
    QString kind;  // "Application" or "Command-line client"
    int count = 0;
    bool operator==(const MornixDashboardClient &) const = default;
};

struct MornixDashboardActivity {
    QString title;
    QDateTime date;
    bool operator==(const MornixDashboardActivity &) const = default;
};

// The value snapshot the controller pushes to the dashboard; the window never reads program
// state itself.
struct MornixDashboardState {
    bool connected = false;
    bool paused = false;
    bool signedIn = false;
    bool pendingApproval = false;
    bool launchAtLogin = false;
    bool inventoryReady = false;
    // Why the command journal is kept in memory only (commands still run, at most once until a
    // restart); empty while it is durable.
    QString commandJournalProblem;
    QList<MornixDashboardClient> clients;
    QList<MornixDashboardActivity> activity;  // oldest first

    bool operator==(const MornixDashboardState &) const = default;

    // The activity title for a status message (first matching word group wins).
    static QString activityTitle(const QString &message);
};

// The dashboard's buttons, reported back to the controller.
enum class DashboardAction { signIn, pause, launchAtLogin, logs, disconnect, refresh, workspace };

// Display name of a report's product key; unknown products are "Verified client".
QString productDisplayName(const QString &product);

// Groups (product, kind) pairs of running instances into clients sorted by name, then kind.
struct DashboardInstance {
    QString product;
    QString kind;  // report kind: "application" or "process"
};
QList<MornixDashboardClient> dashboardClients(const QList<DashboardInstance> &instances);

}  // namespace mornix
