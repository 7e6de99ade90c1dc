#pragma once

#include "commands/command_acknowledgement.h"
#include "commands/kill_command.h"
#include "discovery/agent_instance.h"
#include "identity/credential_records.h"

#include <QList>

#include <QCoroTask>

#include <optional>
#include <stdexcept>

namespace mornix {

// The service refused the device's credentials (HTTP 401/403): the poll loop forces a token
// refresh.
class ServiceUnauthorized : public std::runtime_error {
public:
    ServiceUnauthorized()
        : std::runtime_error("unauthorized")
    {
    }
};

// The service refused a request for good (HTTP 4xx other than 401 and 403): sending the same
// request again cannot succeed.
class ServiceRefused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The poll answer was an envelope that does not decode as a command but names a safe id (see
// command_id::isSafe): the loop acknowledges that id "ignored" instead of treating it as a
// poll error.
class UndecodableCommand : public std::runtime_error {
public:
    UndecodableCommand(QString commandID, const std::string &description)
        : std::runtime_error(description)
        , m_commandID(std::move(commandID))
    {
    }
    const QString &commandID() const { return m_commandID; }

private:
    QString m_commandID;
};

// The device's calls to the service (the API client over a pinned session in production).
// Failures throw: ServiceUnauthorized for a refused credential, ServiceRefused for another 4xx,
// UndecodableCommand (poll only) as described there, any std::exception otherwise,
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

}  // namespace mornix
