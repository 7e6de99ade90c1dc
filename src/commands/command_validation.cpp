#include "commands/command_validation.h"

#include "discovery/catalog_text.h"

#include <QSet>

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

namespace KillTargetCatalog {

std::optional<Target> validatedTarget(qint64 protocolVersion, const QString &action, const QString &appKey,
                                      const QStringList &bundleIDs)
{
    if (protocolVersion != 1)
        return std::nullopt;
    if (normalizedCatalogText(action) != QLatin1String("terminate_application"))
        return std::nullopt;
    const auto it = byKey().constFind(normalizedCatalogText(appKey));
    if (it == byKey().constEnd())
        return std::nullopt;
    if (normalizedSet(bundleIDs) != it->bundleIDs)
        return std::nullopt;
    return *it;
}

}  // namespace KillTargetCatalog

namespace AgentProductCatalog {

bool isValidLocalInstanceID(const QString &instanceID)
{
    const QString lowered = instanceID.toLower();
    const QLatin1String prefix("local_");
    const QStringView rest = lowered.startsWith(prefix) ? QStringView(lowered).mid(prefix.size()) : QStringView();
    if (rest.size() < 32 || rest.size() > 64)
        return false;
    return std::all_of(rest.begin(), rest.end(), isHexDigit);
}

std::optional<Product> validatedCommandProduct(qint64 protocolVersion, const QString &action,
                                               const std::optional<QString> &productKey,
                                               const std::optional<QString> &instanceKind, const QString &appKey,
                                               const std::optional<QString> &targetInstanceID,
                                               const QStringList &bundleIDs)
{
    if (protocolVersion != 2)
        return std::nullopt;
    if (normalizedCatalogText(action) != QLatin1String("terminate_agent_instance"))
        return std::nullopt;
    if (!targetInstanceID || !isValidLocalInstanceID(*targetInstanceID))
        return std::nullopt;

    const QString key = normalizedCatalogText(productKey.value_or(QString()));
    const QString kind = normalizedCatalogText(instanceKind.value_or(QString()));
    const QString normalizedAppKey = normalizedCatalogText(appKey);
    const QSet<QString> ids = normalizedSet(bundleIDs);

    std::optional<Product> product;
    for (const Product *candidate : {&codexApplication(), &codexProcess(), &chatGPT(), &claudeCode(), &claudeDesktop()}) {
        if (candidate->key == key && candidate->kind == kind) {
            product = *candidate;
            break;
        }
    }
    if (!product || product->appKey != normalizedAppKey)
        return std::nullopt;

    if (product->kind == kProcessKind) {
        if (!ids.isEmpty())
            return std::nullopt;
    } else if (*product == chatGPT()) {
        static const QSet<QString> allowed = {QStringLiteral("com.openai.chatgpt"), QStringLiteral("com.openai.chat"),
                                              QStringLiteral("com.openai.codex")};
        if (ids.size() != 1 || !allowed.contains(*ids.begin()))
            return std::nullopt;
    } else if (*product == codexApplication()) {
        if (ids != QSet<QString>{QStringLiteral("com.openai.codex")})
            return std::nullopt;
    } else if (*product == claudeDesktop()) {
        if (ids.size() != 1 || !KillTargetCatalog::byKey().value(QStringLiteral("claude")).bundleIDs.contains(*ids.begin()))
            return std::nullopt;
    } else {
        return std::nullopt;
    }
    return product;
}

}  // namespace AgentProductCatalog
