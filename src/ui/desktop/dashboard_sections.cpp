// The dashboard's sections: which cards each shows for a state, in the words of this platform.
#include "ui/desktop/dashboard_window.h"

#include <QDateTime>
#include <QLocale>
#include <QPushButton>
#include <QRegularExpression>
#include <QVBoxLayout>

namespace mornix {

void DashboardWindow::renderOverview(const MornixDashboardState &s)
{
    QString value;
    if (s.paused)
        value = QStringLiteral("Processing paused");
    else if (s.connected)
        value = QStringLiteral("Connected to Veltro");
    else if (s.pendingApproval)
        value = QStringLiteral("Awaiting approval");
    else if (s.signedIn)
        value = QStringLiteral("Reconnecting");
    else
        value = QStringLiteral("Sign in required");
    if (s.signedIn)
        card(QStringLiteral("CONNECTION"),
             QStringLiteral("Your device connection is managed by the native Veltro service."), value,
             QStringLiteral("Open workspace"), DashboardAction::workspace);
    else
        card(QStringLiteral("CONNECTION"),
             QStringLiteral("Connect %1 to enable authenticated commands and inventory reporting.")
                 .arg(m_terms->deviceNoun()),
             value, QStringLiteral("Sign in to Veltro"), DashboardAction::signIn);

    qint64 total = 0;
    for (const MornixDashboardClient &client : s.clients)
        total += client.count;
    card(QStringLiteral("RUNNING CLIENTS"),
         QStringLiteral("Only clients recognized by native signature checks appear here."),
         s.inventoryReady ? QString::number(total) + QStringLiteral(" running")
                          : QStringLiteral("Checking clients\u2026"),
         QStringLiteral("Refresh clients"), DashboardAction::refresh);

    if (s.paused)
        card(QStringLiteral("COMMAND PROCESSING"),
             QStringLiteral("Incoming device commands will not be processed while paused."), QStringLiteral("Paused"),
             QStringLiteral("Resume processing"), DashboardAction::pause);
    else if (!s.commandJournalProblem.isEmpty())
        card(QStringLiteral("COMMAND PROCESSING"),
             QStringLiteral("Commands are still carried out, each at most once until the agent restarts, but the "
                            "command journal is kept in memory only: ")
                 + s.commandJournalProblem,
             QStringLiteral("Active, journal in memory only"), QStringLiteral("Pause processing"),
             DashboardAction::pause);
    else
        card(QStringLiteral("COMMAND PROCESSING"),
             QStringLiteral("Incoming commands are authenticated and checked against the native target allowlist."),
             QStringLiteral("Active"), QStringLiteral("Pause processing"), DashboardAction::pause);
}

void DashboardWindow::renderClients(const MornixDashboardState &s)
{
    if (!s.inventoryReady)
        card(QStringLiteral("CLIENT INVENTORY"),
             QStringLiteral("The scanner is checking running applications and command-line clients."),
             QStringLiteral("Checking clients\u2026"));
    else if (s.clients.isEmpty())
        card(QStringLiteral("CLIENT INVENTORY"),
             QStringLiteral("Open a supported client and it will appear after the next inventory update."),
             QStringLiteral("No verified clients running"));
    for (const MornixDashboardClient &client : s.clients) {
        const QString detail = QString::number(client.count) + QStringLiteral(" running instance")
                               + (client.count == 1 ? QString() : QStringLiteral("s"))
                               + QStringLiteral(" \u00b7 Verified signature");
        card(client.kind.toUpper(), detail, client.name);
    }
    m_content->addWidget(actionButton(QStringLiteral("Refresh clients"), DashboardAction::refresh), 0, Qt::AlignLeft);
}

QString DashboardWindow::activityDateText(const QDateTime &date, const QLocale &locale)
{
    // The locale's long date without the weekday and with the month abbreviated.
    QString format = locale.dateFormat(QLocale::LongFormat);
    format.remove(QRegularExpression(QStringLiteral("dddd[,.]?\\s*")));
    format.replace(QStringLiteral("MMMM"), QStringLiteral("MMM"));
    format = format.trimmed();
    const QDateTime local = date.toLocalTime();
    return locale.toString(local.date(), format) + QStringLiteral(", ")
           + locale.toString(local.time(), locale.timeFormat(QLocale::ShortFormat));
}

void DashboardWindow::renderActivity(const MornixDashboardState &s)
{
    if (s.activity.isEmpty())
        card(QStringLiteral("THIS SESSION"),
             QStringLiteral("Connection and device events will appear here as they happen."),
             QStringLiteral("No recent updates"));
    const QLocale locale;
    for (auto it = s.activity.crbegin(); it != s.activity.crend(); ++it)
        card(activityDateText(it->date, locale), it->title, QString());
    m_content->addWidget(actionButton(QStringLiteral("Open detailed logs"), DashboardAction::logs), 0, Qt::AlignLeft);
}

void DashboardWindow::renderSettings(const MornixDashboardState &s)
{
    const QString accountDetail =
        s.pendingApproval
            ? QStringLiteral("Complete workspace approval in Veltro before %1 connects.").arg(m_terms->deviceNoun())
            : QStringLiteral("Credentials remain in %1.").arg(m_terms->keychainName());
    if (s.signedIn)
        card(QStringLiteral("ACCOUNT"), accountDetail, QStringLiteral("Device linked"),
             QStringLiteral("Open workspace"), DashboardAction::workspace);
    else
        card(QStringLiteral("ACCOUNT"), accountDetail,
             s.pendingApproval ? QStringLiteral("Approval pending") : QStringLiteral("Not connected"),
             QStringLiteral("Sign in to Veltro"), DashboardAction::signIn);

    card(QStringLiteral("STARTUP"), m_terms->loginStartDetail(),
         s.launchAtLogin ? QStringLiteral("Launch at login is on") : QStringLiteral("Launch at login is off"),
         s.launchAtLogin ? QStringLiteral("Disable launch at login") : QStringLiteral("Enable launch at login"),
         DashboardAction::launchAtLogin);
    card(QStringLiteral("DIAGNOSTICS"), QStringLiteral("Inspect the existing operational log in your text editor."),
         QString(), QStringLiteral("Open detailed logs"), DashboardAction::logs);
    if (s.signedIn || s.pendingApproval)
        card(QStringLiteral("DISCONNECT ") + m_terms->deviceNoun().toUpper(),
             QStringLiteral(
                 "Remove local credentials and stop authenticated device processing. You can sign in again later."),
             QString(), QStringLiteral("Disconnect\u2026"), DashboardAction::disconnect);
}

}  // namespace mornix
