#include "app/device_removal.h"

#include "app/api_adapters.h"
#include "api/service_error_text.h"
#include "app/bridge_service.h"
#include "app/cli_output.h"
#include "identity/device_enrollment_agent.h"
#include "identity/keychain_store.h"
#include "platform/system_log.h"
#include "support/blocking_call.h"
#include "support/text_cleaning.h"

#include <QCoroFuture>

#include <exception>
#include <optional>
#include <stdexcept>

namespace mornix {

namespace {
const QString kFailureText = QStringLiteral("Device removal failed; credentials retained where possible.\n");
}

DeviceRemoval::DeviceRemoval(std::shared_ptr<KeychainStore> keychain, std::shared_ptr<DeviceEnrollmentAgent> agent,
                             std::shared_ptr<BridgeService> service, std::shared_ptr<SystemLog> systemLog)
    : m_keychain(std::move(keychain))
    , m_agent(std::move(agent))
    , m_service(std::move(service))
    , m_systemLog(std::move(systemLog))
{
}

void DeviceRemoval::logFailure(const QString &step, const QString &reason) const
{
    if (m_systemLog)
        m_systemLog->error(
            sanitizeLog(QStringLiteral("device removal failed: ") + step + QStringLiteral(": ") + reason, 400));
}

namespace {

QString describe(const std::exception &error)
{
    return describeServiceError(error);
}

// Runs `work`, turning any failure into a std::runtime_error with a readable text (never the
// error's debug name); runs on the blocking call's thread, which carries it to the caller.
template <typename F>
auto withReadableFailure(F &work) -> decltype(work())
{
    try {
        return work();
    } catch (const std::exception &error) {
        throw std::runtime_error(describe(error).toStdString());
    }
}

}  // namespace

QCoro::Task<DeviceLogoutRequestPayload> DeviceRemoval::prepareLogout(DeviceCredentials credentials)
{
    std::shared_ptr<DeviceEnrollmentAgent> agent = m_agent;
    const QString deviceID = credentials.deviceID;
    QFuture<DeviceLogoutRequestPayload> built = startBlockingCall([agent, deviceID] {
        const auto build = [&] { return agent->buildSignedLogoutRequest(deviceID); };
        return withReadableFailure(build);
    });
    co_return co_await built;
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
    QFuture<void> cleared = startBlockingCall([agent, keychain] {
        const auto clear = [&] {
            agent->clearSigningKey();
            keychain->clearCredentials();
            keychain->clearPendingClaim();
        };
        withReadableFailure(clear);
    });
    co_await cleared;
}

QCoro::Task<int> DeviceRemoval::runUninstall()
{
    std::optional<DeviceCredentials> credentials;
    try {
        credentials = m_keychain->loadCredentials();
    } catch (const std::exception &error) {
        logFailure(QStringLiteral("stored credentials unreadable"), QString::fromUtf8(error.what()));
        cli::writeStderr(kFailureText);
        co_return 1;
    }
    bool ok = true;
    if (credentials) {
        try {
            const DeviceLogoutRequestPayload request = co_await prepareLogout(*credentials);
            co_await logout(*credentials, request);
        } catch (const std::exception &error) {
            logFailure(QStringLiteral("logout"), QString::fromUtf8(error.what()));
            ok = false;
        }
    }
    if (ok) {
        try {
            co_await clearLocalSecrets();
        } catch (const std::exception &error) {
            logFailure(QStringLiteral("local secrets not cleared"), QString::fromUtf8(error.what()));
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

}  // namespace mornix
