#include "app/control_status_mode.h"

#include "app/cli_output.h"
#include "identity/identity_error.h"
#include "identity/keychain_store.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>

namespace mornix {

bool isOlderCopy(const RunningApplication &application, const BundleReader &bundles, qint64 ownPid)
{
    if (application.bundleIdentifier != QStringLiteral("ai.veltro.mornix") || application.pid == ownPid
        || application.bundlePath.isEmpty())
        return false;
    const std::optional<QVariant> protocol =
        bundles.infoValue(application.bundlePath, QStringLiteral("VeltroDesktopBridgeProtocol"));
    if (!protocol)
        return true;
    const int type = protocol->typeId();
    if (type != QMetaType::LongLong && type != QMetaType::Int && type != QMetaType::ULongLong)
        return true;
    if (type == QMetaType::ULongLong)
        return false;  // above INT64_MAX: certainly at least 1
    return protocol->toLongLong() < 1;
}

int runDesktopControlStatus(const Workspace &workspace, const BundleReader &bundles, std::shared_ptr<Keychain> keychain)
{
    const qint64 ownPid = QCoreApplication::applicationPid();
    for (const RunningApplication &application : workspace.runningApplications()) {
        if (isOlderCopy(application, bundles, ownPid)) {
            cli::writeStdoutLine(
                QByteArrayLiteral("{\"protocol_version\":1,\"enrolled\":false,\"requires_restart\":true}"));
            return 0;
        }
    }
    std::optional<DeviceCredentials> credentials;
    try {
        credentials = KeychainStore(std::move(keychain)).loadCredentials();
    } catch (const IdentityError &) {
        return 1;
    }
    if (!credentials) {
        cli::writeStdoutLine(QByteArrayLiteral("{\"protocol_version\":1,\"enrolled\":false}"));
        return 0;
    }
    const QJsonObject status{
        {QStringLiteral("protocol_version"), 1},
        {QStringLiteral("enrolled"), true},
        {QStringLiteral("org_id"), credentials->orgID},
        {QStringLiteral("project_id"), credentials->projectID},
    };
    cli::writeStdoutLine(QJsonDocument(status).toJson(QJsonDocument::Compact));
    return 0;
}

}  // namespace mornix
