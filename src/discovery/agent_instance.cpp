#include "discovery/agent_instance.h"

#include <QHashFunctions>

namespace mornix {

QJsonObject AgentInstanceReport::toJSON() const
{
    QJsonObject object;
    object.insert(QStringLiteral("local_instance_id"), localInstanceID);
    object.insert(QStringLiteral("product"), product);
    object.insert(QStringLiteral("kind"), kind);
    if (bundleID)
        object.insert(QStringLiteral("bundle_id"), *bundleID);
    return object;
}

std::optional<AgentInstanceReport> AgentInstanceReport::fromJSON(const QJsonObject &object)
{
    const QJsonValue id = object.value(QStringLiteral("local_instance_id"));
    const QJsonValue product = object.value(QStringLiteral("product"));
    const QJsonValue kind = object.value(QStringLiteral("kind"));
    if (!id.isString() || !product.isString() || !kind.isString())
        return std::nullopt;
    AgentInstanceReport report{id.toString(), product.toString(), kind.toString(), std::nullopt};
    const QJsonValue bundle = object.value(QStringLiteral("bundle_id"));
    if (bundle.isString())
        report.bundleID = bundle.toString();
    else if (!bundle.isUndefined() && !bundle.isNull())
        return std::nullopt;
    return report;
}

size_t qHash(const AgentInstanceReport &report, size_t seed) noexcept
{
    return qHashMulti(seed, report.localInstanceID, report.product, report.kind, report.bundleID.value_or(QString()),
                      report.bundleID.has_value());
}

}  // namespace mornix
