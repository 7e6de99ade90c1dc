#pragma once

#include "discovery/agent_product_catalog.h"
#include "discovery/kill_target_catalog.h"

#include <QStringList>

#include <optional>

namespace mornix {

// The command validators: pure and closed. A command is acted upon only when every field
// matches the compiled-in catalogs; they never say why they refused.
namespace CommandValidation {

// Protocol 1, action "terminate_application", a catalogued app key, and bundle identifiers
// whose set equals that target's set exactly (order, case, surrounding blanks and duplicates
// do not matter).
std::optional<KillTargetCatalog::Target> validatedTarget(qint64 protocolVersion, const QString &action,
                                                         const QString &appKey, const QStringList &bundleIDs);

// Protocol 2, action "terminate_agent_instance", a well-formed instance id ("local_" + 32..64
// hex digits, case-insensitive, not trimmed), a known (product, kind) pair of the given app
// key, and the bundle identifiers that product admits.
std::optional<AgentProductCatalog::Product> validatedCommandProduct(qint64 protocolVersion, const QString &action,
                                                                    const std::optional<QString> &productKey,
                                                                    const std::optional<QString> &instanceKind,
                                                                    const QString &appKey,
                                                                    const std::optional<QString> &targetInstanceID,
                                                                    const QStringList &bundleIDs);

// The shape of a local instance id, after lower-casing (the text is not trimmed).
bool isValidLocalInstanceID(const QString &instanceID);

}  // namespace CommandValidation

}  // namespace mornix
