#include "discovery/kill_target_catalog.h"

#include "discovery/agent_product_catalog.h"

#include <algorithm>

namespace mornix {

namespace KillTargetCatalog {

const QList<Target> &all()
{
    // A family is every product sharing an app key: the teams of all of them, and the bundle
    // identifiers of its applications.
    static const QList<Target> targets = [] {
        QList<Target> result;
        const QList<AllowList::ProductEntry> &entries = AllowList::products();
        for (qsizetype i = 0; i < entries.size(); ++i) {
            const AllowList::ProductEntry &entry = entries.at(i);
            auto target = std::find_if(result.begin(), result.end(),
                                       [&](const Target &candidate) { return candidate.key == entry.appKey; });
            if (target == result.end())
                target = result.insert(result.end(), Target{entry.appKey, {}, {}});
            target->teamIdentifiers.insert(entry.team);
            target->bundleIDs.unite(AgentProductCatalog::admittedBundleIDs(AgentProductCatalog::all().at(i)));
        }
        return result;
    }();
    return targets;
}

const QHash<QString, Target> &byKey()
{
    // Function-local statics are initialised once, thread-safely.
    static const QHash<QString, Target> map = [] {
        QHash<QString, Target> result;
        for (const Target &target : all())
            result.insert(target.key, target);
        return result;
    }();
    return map;
}

}  // namespace KillTargetCatalog

size_t qHash(const KillTargetCatalog::Target &target, size_t seed) noexcept
{
    return qHashMulti(seed, target.key, target.bundleIDs, target.teamIdentifiers);
}

}  // namespace mornix
