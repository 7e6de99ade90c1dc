#include "app/device_removal.h"

#include "app/bridge_service.h"
#include "app/cli_output.h"
#include "identity/device_enrollment_agent.h"
#include "identity/keychain_store.h"

#include <exception>

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

QCoro::Task<DeviceDisconnector::LogoutOutcome> DeviceRemoval::logout(DeviceCredentials credentials)
{
    // Built first: a failure here sends nothing and clears nothing.
    const DeviceLogoutRequestPayload request = m_agent->buildSignedLogoutRequest(credentials.deviceID);
    std::shared_ptr<BridgeService> service = m_service;
    bool alreadyGone = false;
    try {
        co_await service->logoutDevice(credentials, request);
    } catch (const DeviceNotFound &) {
        alreadyGone = true;
    }
    co_return alreadyGone ? LogoutOutcome::AlreadyGone : LogoutOutcome::LoggedOut;
}

void DeviceRemoval::clearLocalSecrets()
{
    m_agent->clearSigningKey();
    m_keychain->clearCredentials();
    m_keychain->clearPendingClaim();
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
    if (credentials) {
        bool loggedOut = false;
        try {
            co_await logout(*credentials);
            loggedOut = true;
        } catch (const std::exception &) {
        }
        if (!loggedOut) {
            cli::writeStderr(kFailureText);
            co_return 1;
        }
    }
    try {
        clearLocalSecrets();
    } catch (const std::exception &) {
        cli::writeStderr(kFailureText);
        co_return 1;
    }
    cli::writeStdoutLine(QByteArrayLiteral("{\"protocol_version\":1,\"device_removed\":true}"));
    co_return 0;
}
