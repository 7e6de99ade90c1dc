#include "app/api_adapters.h"

#include "api/api_client.h"
#include "api/api_error.h"
#include "api/pinned_session.h"
#include "api/service_error_text.h"
#include "api/transport_error.h"

#include <stdexcept>

namespace mornix {

namespace {

// A 4xx that will answer the same request the same way again (not a timeout or a rate limit).
bool isRefusalForGood(int status)
{
    return status >= 400 && status < 500 && status != 408 && status != 425 && status != 429;
}

// Runs one API call, translating its failures for the poll loop and the reporter: 401/403
// ServiceUnauthorized, another 4xx ServiceRefused, an undecodable envelope with a safe id
// UndecodableCommand, everything else std::runtime_error.
template <typename Call>
auto translated(const Call &call) -> decltype(call())  // call outlives the task (a named local)
{
    try {
        co_return co_await call();
    } catch (const APIError &error) {
        if (error.kind() == APIError::Kind::unauthorized)
            throw ServiceUnauthorized();
        if (error.kind() == APIError::Kind::decodeError && !error.commandID().isEmpty())
            throw UndecodableCommand(error.commandID(), describeServiceError(error).toStdString());
        if (error.kind() == APIError::Kind::serverError && isRefusalForGood(error.statusCode()))
            throw ServiceRefused(describeServiceError(error).toStdString());
        throw std::runtime_error(describeServiceError(error).toStdString());
    } catch (const TransportError &error) {
        throw std::runtime_error(describeServiceError(error).toStdString());
    }
}

class APIDeviceServiceClient final : public DeviceServiceClient {
public:
    explicit APIDeviceServiceClient(std::shared_ptr<APIClient> client)
        : m_client(std::move(client))
    {
    }

    QCoro::Task<std::optional<KillCommand>> pollNextCommand(const DeviceCredentials &credentials) override
    {
        std::shared_ptr<APIClient> client = m_client;
        DeviceCredentials c = credentials;
        // Named callables: GCC destroys a lambda temporary inside a co_await expression twice.
        const auto call = [client, c]() { return client->pollNextCommand(c); };
        co_return co_await translated(call);
    }

    QCoro::Task<void> sendAck(const DeviceCredentials &credentials, const QString &commandID, AckStatus status,
                              const std::optional<KillExecutionResult> &execution,
                              const std::optional<QString> &messageOverride) override
    {
        std::shared_ptr<APIClient> client = m_client;
        DeviceCredentials c = credentials;
        QString id = commandID;
        std::optional<KillExecutionResult> result = execution;
        std::optional<QString> message = messageOverride;
        const auto call = [client, c, id, status, result, message]() {
            return client->sendAck(c, id, status, result, message);
        };
        co_await translated(call);
    }

    QCoro::Task<void> reportAgentInstances(const DeviceCredentials &credentials,
                                           const QList<AgentInstanceReport> &instances) override
    {
        std::shared_ptr<APIClient> client = m_client;
        DeviceCredentials c = credentials;
        QList<AgentInstanceReport> list = instances;
        const auto call = [client, c, list]() { return client->reportAgentInstances(c, list); };
        co_await translated(call);
    }

private:
    std::shared_ptr<APIClient> m_client;
};

class APIBridgeService final : public BridgeService {
public:
    APIBridgeService(Config config, std::shared_ptr<PinnedSessionFailureStore> pinFailures,
                     std::shared_ptr<const DeviceEnrollmentAgent> agent)
        : m_config(std::move(config))
        , m_pinFailures(std::move(pinFailures))
        , m_agent(std::move(agent))
    {
    }

    QCoro::Task<BridgeRegistration> registerDevice(QString apiBaseURL, QString bearerToken, QString serial,
                                                   QString uuid) override
    {
        APIClient::Collaborators collaborators;
        collaborators.enrollmentAgent = m_agent;
        auto client =
            std::make_shared<APIClient>(makePinnedSession(apiBaseURL, m_config, m_pinFailures), collaborators);
        const DeviceRegistrationResponse response =
            co_await client->registerDevice(apiBaseURL, bearerToken, serial, uuid);
        co_return BridgeRegistration{response.device.id, response.device.org_id, response.device.project_id,
                                     response.device_bearer_token, response.device_secret};
    }

    QCoro::Task<void> logoutDevice(DeviceCredentials credentials, DeviceLogoutRequestPayload request) override
    {
        auto client = std::make_shared<APIClient>(makePinnedSession(credentials.apiBaseURL, m_config, m_pinFailures));
        bool notFound = false;
        try {
            co_await client->logoutDevice(credentials, request);
        } catch (const APIError &error) {
            if (error.kind() != APIError::Kind::serverError || error.statusCode() != 404
                || !error.body().contains(QLatin1String("device not found"), Qt::CaseInsensitive))
                throw;
            notFound = true;
        }
        if (notFound)
            throw DeviceNotFound();
    }

private:
    Config m_config;
    std::shared_ptr<PinnedSessionFailureStore> m_pinFailures;
    std::shared_ptr<const DeviceEnrollmentAgent> m_agent;
};

}  // namespace

std::function<std::shared_ptr<DeviceServiceClient>(const QString &apiBaseURL)> makeServiceClientFactory(
    Config config, std::shared_ptr<PinnedSessionFailureStore> pinFailures, OperationalLog operationalLog)
{
    return [config, pinFailures, operationalLog](const QString &apiBaseURL) -> std::shared_ptr<DeviceServiceClient> {
        try {
            APIClient::Collaborators collaborators;
            collaborators.operationalLog = operationalLog;
            auto client =
                std::make_shared<APIClient>(makePinnedSession(apiBaseURL, config, pinFailures), collaborators);
            return std::make_shared<APIDeviceServiceClient>(std::move(client));
        } catch (const std::exception &) {
            return nullptr;
        }
    };
}

std::shared_ptr<BridgeService> makeBridgeService(Config config, std::shared_ptr<PinnedSessionFailureStore> pinFailures,
                                                 std::shared_ptr<const DeviceEnrollmentAgent> agent)
{
    return std::make_shared<APIBridgeService>(std::move(config), std::move(pinFailures), std::move(agent));
}

}  // namespace mornix
