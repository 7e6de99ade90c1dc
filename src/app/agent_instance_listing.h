#pragma once

#include "platform/ports.h"

#include <QByteArray>
#include <QList>

#include <optional>

namespace mornix {

struct DetectedAgentInstance;

// The pretty, key-sorted JSON array of the instances' reports (nullopt when it cannot be encoded).
std::optional<QByteArray> agentInstanceListingJSON(const QList<DetectedAgentInstance> &instances);

// --print-agent-instances: one scan with an empty previous set, the array printed with one trailing newline.
// Exit status 0, or 1 without output when encoding fails. Runs synchronously (no event loop).
int runPrintAgentInstances(const Ports &ports);

}  // namespace mornix
