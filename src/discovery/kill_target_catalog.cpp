#include "discovery/kill_target_catalog.h"

namespace KillTargetCatalog {

const QList<Target> &all()
{
    static const QList<Target> targets = {
        {QStringLiteral("claude"),
         {QStringLiteral("com.anthropic.claude"), QStringLiteral("com.anthropic.claudefordesktop"),
          QStringLiteral("com.anthropic.claudedesktop")},
         {QStringLiteral("claude"), QStringLiteral("anthropic")},
         {QStringLiteral("Q6L2SF6YDW")}},
        {QStringLiteral("chatgpt"),
         {QStringLiteral("com.openai.chatgpt"), QStringLiteral("com.openai.chat"), QStringLiteral("com.openai.codex")},
         {QStringLiteral("chatgpt"), QStringLiteral("openai")},
         {QStringLiteral("2DC432GLL2")}},
        {QStringLiteral("codex"),
         {QStringLiteral("com.openai.codex")},
         {QStringLiteral("codex")},
         {QStringLiteral("2DC432GLL2")}},
    };
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
    return qHashMulti(seed, target.key, target.bundleIDs, target.processNameHints, target.teamIdentifiers);
}
