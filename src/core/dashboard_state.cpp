#include "core/dashboard_state.h"

#include <QMap>

#include <algorithm>

namespace mornix {

QString MornixDashboardState::activityTitle(const QString &message)
{
    struct Rule {
        QList<QLatin1String> words;
        const char *title;
    };
    static const Rule rules[] = {
        {{QLatin1String("failed"), QLatin1String("error"), QLatin1String("unavailable")},
         "An operation needs attention"},
        {{QLatin1String("claim"), QLatin1String("enroll")}, "Device enrollment updated"},
        {{QLatin1String("oauth"), QLatin1String("credential"), QLatin1String("login"), QLatin1String("auth")},
         "Account connection updated"},
        {{QLatin1String("kill"), QLatin1String("terminat"), QLatin1String("command")}, "Device command processed"},
        {{QLatin1String("inventory"), QLatin1String("instance")}, "Client inventory updated"},
    };
    const QString lower = message.toLower();
    for (const Rule &rule : rules) {
        for (const QLatin1String word : rule.words) {
            if (lower.contains(word))
                return QString::fromLatin1(rule.title);
        }
    }
    return QStringLiteral("Device status updated");
}

QString productDisplayName(const QString &product)
{
    static const QMap<QString, QString> names{
        {QStringLiteral("codex"), QStringLiteral("Codex")},
        {QStringLiteral("chatgpt"), QStringLiteral("ChatGPT")},
        {QStringLiteral("claude-code"), QStringLiteral("Claude Code")},
        {QStringLiteral("claude-desktop"), QStringLiteral("Claude Desktop")},
    };
    return names.value(product, QStringLiteral("Verified client"));
}

QList<MornixDashboardClient> dashboardClients(const QList<DashboardInstance> &instances)
{
    // Grouped by product + ":" + kind, in first-seen order before sorting.
    QList<QString> order;
    QMap<QString, MornixDashboardClient> groups;
    for (const DashboardInstance &instance : instances) {
        const QString key = instance.product + u':' + instance.kind;
        auto it = groups.find(key);
        if (it == groups.end()) {
            order.append(key);
            const QString kind = instance.kind == QLatin1String("application") ? QStringLiteral("Application")
                                                                               : QStringLiteral("Command-line client");
            it = groups.insert(key, MornixDashboardClient{productDisplayName(instance.product), kind, 0});
        }
        ++it->count;
    }
    QList<MornixDashboardClient> clients;
    for (const QString &key : order)
        clients.append(groups.value(key));
    std::stable_sort(clients.begin(), clients.end(),
                     [](const MornixDashboardClient &a, const MornixDashboardClient &b) {
                         if (a.name != b.name)
                             return a.name < b.name;
                         return a.kind < b.kind;
                     });
    return clients;
}

}  // namespace mornix
