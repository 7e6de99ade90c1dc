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

size_t qHash(const AgentInstanceReport &report, size_t seed) noexcept
{
    return qHashMulti(seed, report.localInstanceID, report.product, report.kind, report.bundleID.value_or(QString()),
                      report.bundleID.has_value());
}

}  // namespace mornix
