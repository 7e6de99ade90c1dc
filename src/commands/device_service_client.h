#pragma once

#include "commands/command_acknowledgement.h"
#include "commands/kill_command.h"
#include "discovery/agent_instance.h"
#include "identity/credential_records.h"

#include <QList>

#include <QCoroTask>

#include <optional>
#include <stdexcept>

// The service refused the device's credentials (HTTP 401/403): the poll loop forces a token
// refresh.
class ServiceUnauthorized : public std::runtime_error {
public:
    ServiceUnauthorized() : std::runtime_error("unauthorized") {}
};

// The device's calls to the service (the API client over a pinned session in production).
// Failures throw: ServiceUnauthorized for a refused credential, any std::exception otherwise,
// whose what() is a readable description. Arguments stay alive until the call returns.
// Thread: main thread.
class DeviceServiceClient {
public:
    virtual ~DeviceServiceClient() = default;
    // A long poll; nullopt when the service had no command.
    virtual QCoro::Task<std::optional<KillCommand>> pollNextCommand(const DeviceCredentials &credentials) = 0;
    virtual QCoro::Task<void> sendAck(const DeviceCredentials &credentials, const QString &commandID, AckStatus status,
                                      const std::optional<KillExecutionResult> &execution,
                                      const std::optional<QString> &messageOverride) = 0;
    virtual QCoro::Task<void> reportAgentInstances(const DeviceCredentials &credentials,
                                                   const QList<AgentInstanceReport> &instances) = 0;
};
