#pragma once

#include "discovery/allow_list.h"

#include <QList>
#include <QSet>
#include <QString>

#include <optional>

namespace mornix {

// The agent products the program reports and can stop one instance at a time, and the mapping
// from what the system says about a running program to a product, all derived from the allow
// list. Pure, stateless lookups; thread-safe.
namespace AgentProductCatalog {

inline constexpr QStringView kApplicationKind = AllowList::kApplicationKind;
inline constexpr QStringView kProcessKind = AllowList::kProcessKind;

// A product is identified by the pair (key, kind): the two "codex" products differ in kind only.
struct Product {
    QString key;     // the product field of inventory reports and commands
    QString label;   // shown to the user
    QString appKey;  // the KillTargetCatalog key of the vendor family
    QString kind;    // "application" or "process"

    friend bool operator==(const Product &, const Product &) = default;
};

// Every product, in the allow list's order.
const QList<Product> &all();
// The product with this (key, kind), or nullptr.
const Product *find(const QString &key, const QString &kind);

const Product &claudeDesktop();
const Product &chatGPT();
const Product &codexApplication();
const Product &claudeCode();
const Product &codexProcess();

// The six bundle identifiers of the catalogued desktop applications: the scanner's first, cheap
// filter over running applications (discovery code only).
const QSet<QString> &applicationBundleIDs();

// The bundle identifiers that can name this application product (lower case); empty for a
// process product.
QSet<QString> admittedBundleIDs(const Product &product);

// The lower-case executable names of the command-line products: the scanner's first, cheap
// filter over the process table.
const QSet<QString> &processExecutableNames();

// The product of a running desktop application whose signature has been read. The team
// identifier is compared exactly; bundle identifier and display name are normalised.
std::optional<Product> applicationProduct(const QString &bundleID, const QString &localizedName,
                                          const QString &teamIdentifier);

// The product of a running command-line process whose signature has been read.
std::optional<Product> processProduct(const QString &signingIdentifier, const QString &teamIdentifier);

}  // namespace AgentProductCatalog

}  // namespace mornix
