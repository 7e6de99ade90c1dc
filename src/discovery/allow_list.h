#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace mornix {

// The one table of the agent clients this program recognises and may stop: vendor teams, bundle
// identifiers, signing identifiers and executable names. Every catalog lookup (stop targets,
// products, command validation, the scanner's cheap filters) is derived from it; nothing else
// names these identifiers. Constant data built once; thread-safe.
namespace AllowList {

// Code-signing teams of the genuine vendors (compared exactly, never normalised).
inline constexpr QStringView kAnthropicTeam = u"Q6L2SF6YDW";
inline constexpr QStringView kOpenAITeam = u"2DC432GLL2";

inline constexpr QStringView kApplicationKind = u"application";
inline constexpr QStringView kProcessKind = u"process";

// One product, identified by (key, kind).
struct ProductEntry {
    QString key;     // the product field of inventory reports and commands
    QString label;   // shown to the user
    QString appKey;  // the stop-target family it belongs to; families are listed in order of first appearance
    QString kind;    // kApplicationKind or kProcessKind
    QString team;    // the vendor team that signs genuine copies
    // Processes only (lower case): the executable names worth a signature check, and the signing
    // identifiers the running image must carry.
    QStringList executableNames;
    QStringList signingIdentifiers;
};

// How a running desktop application signed by `team` is recognised, tried in order; the first
// rule that matches names the product. A rule matches when the bundle identifier is one of
// `bundleIDs` (empty: any) and the display name contains `nameContains` (empty: any), both
// compared in their normalised form. The bundle identifiers of a product's rules are also the
// ones a command may name for it, and the union per family is that family's stop set.
struct ApplicationRule {
    QString team;
    QStringList bundleIDs;  // lower case
    QString nameContains;   // lower case
    QString productKey;     // an application product's key
};

const QList<ProductEntry> &products();
const QList<ApplicationRule> &applicationRules();

}  // namespace AllowList

}  // namespace mornix
