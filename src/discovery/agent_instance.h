#pragma once

#include "platform/process_table.h"

#include <QJsonObject>
#include <QString>

#include <optional>

namespace mornix {

// One running agent instance as the service sees it (the inventory wire record).
struct AgentInstanceReport {
    QString localInstanceID;          // "local_" + 64 lower-case hex digits
    QString product;                  // product key
    QString kind;                     // "application" or "process"
    std::optional<QString> bundleID;  // applications only, lower-cased

    // {"local_instance_id","product","kind"[,"bundle_id"]}; bundle_id omitted when absent.
    QJsonObject toJSON() const;

    friend bool operator==(const AgentInstanceReport &, const AgentInstanceReport &) = default;
};

size_t qHash(const AgentInstanceReport &report, size_t seed = 0) noexcept;

// A detected instance: the report plus what tells the process apart from a later one that
// reuses its pid.
struct DetectedAgentInstance {
    AgentInstanceReport report;
    qint32 processIdentifier = 0;
    QString launchIdentity;  // application: launch date text; process: start-time fields

    // Process kind: what the scan that verified it saw running (precise start and image), so a
    // later scan verifies again after a pid reuse within the same second or an exec in place.
    // A scan's bookkeeping, not part of the instance: equality ignores it.
    quint64 verifiedStartTicks = 0;
    ProcessImage verifiedImage;

    friend bool operator==(const DetectedAgentInstance &a, const DetectedAgentInstance &b)
    {
        return a.report == b.report && a.processIdentifier == b.processIdentifier
               && a.launchIdentity == b.launchIdentity;
    }
};

enum class AgentInstanceLiveness { running, stopped, indeterminate };

}  // namespace mornix
