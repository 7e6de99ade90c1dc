#include "commands/command_validation.h"

#include "discovery/catalog_text.h"

#include <QSet>

namespace mornix {

namespace {

QSet<QString> normalizedSet(const QStringList &values)
{
    QSet<QString> set;
    for (const QString &value : values)
        set.insert(normalizedCatalogText(value));
    return set;
}

bool isHexDigit(QChar ch)
{
    return (ch >= u'0' && ch <= u'9') || (ch >= u'a' && ch <= u'f');
}

}  // namespace

namespace CommandValidation {

std::optional<KillTargetCatalog::Target> validatedTarget(qint64 protocolVersion, const QString &action,
                                                         const QString &appKey, const QStringList &bundleIDs)
{
    if (protocolVersion != 1)
        return std::nullopt;
    if (normalizedCatalogText(action) != QLatin1String("terminate_application"))
        return std::nullopt;
    const QHash<QString, KillTargetCatalog::Target> &targets = KillTargetCatalog::byKey();
    const auto it = targets.constFind(normalizedCatalogText(appKey));
    if (it == targets.constEnd())
        return std::nullopt;
    if (normalizedSet(bundleIDs) != it->bundleIDs)
        return std::nullopt;
    return *it;
}

bool isValidLocalInstanceID(const QString &instanceID)
{
    const QString lowered = instanceID.toLower();
    const QLatin1String prefix("local_");
    const QStringView rest = lowered.startsWith(prefix) ? QStringView(lowered).mid(prefix.size()) : QStringView();
    if (rest.size() < 32 || rest.size() > 64)
        return false;
    return std::all_of(rest.begin(), rest.end(), isHexDigit);
}

std::optional<AgentProductCatalog::Product> validatedCommandProduct(qint64 protocolVersion, const QString &action,
                                                                    const std::optional<QString> &productKey,
                                                                    const std::optional<QString> &instanceKind,
                                                                    const QString &appKey,
                                                                    const std::optional<QString> &targetInstanceID,
                                                                    const QStringList &bundleIDs)
{
    if (protocolVersion != 2)
        return std::nullopt;
    if (normalizedCatalogText(action) != QLatin1String("terminate_agent_instance"))
        return std::nullopt;
    if (!targetInstanceID || !isValidLocalInstanceID(*targetInstanceID))
        return std::nullopt;

    const AgentProductCatalog::Product *product = AgentProductCatalog::find(
        normalizedCatalogText(productKey.value_or(QString())), normalizedCatalogText(instanceKind.value_or(QString())));
    if (!product || product->appKey != normalizedCatalogText(appKey))
        return std::nullopt;

    // A process carries no bundle identifiers; an application exactly one that its product admits.
    const QSet<QString> ids = normalizedSet(bundleIDs);
    if (product->kind == AgentProductCatalog::kProcessKind) {
        if (!ids.isEmpty())
            return std::nullopt;
    } else if (ids.size() != 1 || !AgentProductCatalog::admittedBundleIDs(*product).contains(*ids.begin())) {
        return std::nullopt;
    }
    return *product;
}

}  // namespace CommandValidation

}  // namespace mornix
