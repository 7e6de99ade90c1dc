#include "app/device_removal.h"

#include "app/api_adapters.h"
#include "app/bridge_service.h"
#include "app/cli_output.h"
#include "identity/device_enrollment_agent.h"
#include "identity/keychain_store.h"
#include "support/blocking_call.h"

#include <QCoroFuture>

#include <exception>
#include <optional>
#include <stdexcept>

namespace {
const QString kFailureText = QStringLiteral("Device removal failed; credentials retained where possible.\n");
}

DeviceRemoval::DeviceRemoval(std::shared_ptr<KeychainStore> keychain, std::shared_ptr<DeviceEnrollmentAgent> agent,
                             std::shared_ptr<BridgeService> service)
    : m_keychain(std::move(keychain))
    , m_agent(std::move(agent))
    , m_service(std::move(service))
{
}

namespace {

// A result of work done on another thread: the value, or the readable failure.
template <typename T>
struct Outcome {
    std::optional<T> value;
    QString failure;
};

QString describe(const std::exception &error)
{
    return describeServiceError(error);
}

}  // namespace

QCoro::Task<DeviceLogoutRequestPayload> DeviceRemoval::prepareLogout(DeviceCredentials credentials)
{
    std::shared_ptr<DeviceEnrollmentAgent> agent = m_agent;
    const QString deviceID = credentials.deviceID;
    QFuture<Outcome<DeviceLogoutRequestPayload>> built
        = startBlockingCall([agent, deviceID]() -> Outcome<DeviceLogoutRequestPayload> {
              try {
                  return {agent->buildSignedLogoutRequest(deviceID), QString()};
              } catch (const std::exception &error) {
                  return {std::nullopt, describe(error)};
              }
          });
    const Outcome<DeviceLogoutRequestPayload> result = co_await built;
    if (!result.value)
        throw std::runtime_error(result.failure.toStdString());
    co_return *result.value;
}

QCoro::Task<DeviceDisconnector::LogoutOutcome> DeviceRemoval::logout(DeviceCredentials credentials,
                                                                    DeviceLogoutRequestPayload request)
{
    std::shared_ptr<BridgeService> service = m_service;
    bool alreadyGone = false;
    QString failure;
    try {
        co_await service->logoutDevice(credentials, request);
    } catch (const DeviceNotFound &) {
        alreadyGone = true;
    } catch (const std::exception &error) {
        failure = describe(error);  // a readable text, never the error's debug name
    }
    if (!failure.isEmpty())
        throw std::runtime_error(failure.toStdString());
    co_return alreadyGone ? LogoutOutcome::alreadyGone : LogoutOutcome::loggedOut;
}

QCoro::Task<void> DeviceRemoval::clearLocalSecrets()
{
    std::shared_ptr<DeviceEnrollmentAgent> agent = m_agent;
    std::shared_ptr<KeychainStore> keychain = m_keychain;
    QFuture<QString> cleared = startBlockingCall([agent, keychain]() -> QString {
        try {
            agent->clearSigningKey();
            keychain->clearCredentials();
            keychain->clearPendingClaim();
            return {};
        } catch (const std::exception &error) {
            return describe(error);
        }
    });
    const QString failure = co_await cleared;
    if (!failure.isEmpty())
        throw std::runtime_error(failure.toStdString());
}

QCoro::Task<int> DeviceRemoval::runUninstall()
{
    std::optional<DeviceCredentials> credentials;
    try {
        credentials = m_keychain->loadCredentials();
    } catch (const std::exception &) {
        cli::writeStderr(kFailureText);
        co_return 1;
    }
    bool ok = true;
    if (credentials) {
        try {
            const DeviceLogoutRequestPayload request = co_await prepareLogout(*credentials);
            co_await logout(*credentials, request);
        } catch (const std::exception &) {
            ok = false;
        }
    }
    if (ok) {
        try {
            co_await clearLocalSecrets();
        } catch (const std::exception &) {
            ok = false;
        }
    }
    if (!ok) {
        cli::writeStderr(kFailureText);
        co_return 1;
    }
    cli::writeStdoutLine(QByteArrayLiteral("{\"protocol_version\":1,\"device_removed\":true}"));
    co_return 0;
}
