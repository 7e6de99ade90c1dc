#pragma once

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

namespace mornix {

// The terminable desktop application families, derived from the allow list. Pure, stateless
// lookups; thread-safe (the constant data is built once).
namespace KillTargetCatalog {

struct Target {
    QString key;                    // also a command's app_key
    QSet<QString> bundleIDs;        // lower case
    QSet<QString> teamIdentifiers;  // code-signing teams of genuine copies (exact case)

    friend bool operator==(const Target &, const Target &) = default;
};

// "claude", "chatgpt", "codex", in this order.
const QList<Target> &all();
// Key to target, built once from all() in order.
const QHash<QString, Target> &byKey();

}  // namespace KillTargetCatalog

size_t qHash(const KillTargetCatalog::Target &target, size_t seed = 0) noexcept;

}  // namespace mornix
