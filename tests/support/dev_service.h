#pragma once

#include "support/process_runner.h"

#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace mornix {

// The local reference service (veltro-devservice) with a private state directory, for
// end-to-end tests. Port::standard listens on the dev build's service address
// https://localhost:8443 (tests that use it hold the CTest resource lock "devservice-8443");
// Port::ephemeral on a free port of `host`, for tests that point a client at baseURL().
// The service's request log goes to a file in the state directory. Stopped when dropped.
class DevService {
public:
    enum class Port { standard, ephemeral };

    explicit DevService(Port port = Port::standard, const QString &host = QStringLiteral("127.0.0.1"));
    ~DevService();

    // Starts (or restarts, on the same state and address) and waits until it listens.
    bool start();
    void stop();
    bool isRunning() const;
    // "https://HOST:PORT" as the service announced it; empty before start().
    QString baseURL() const { return m_baseURL; }

    // `admin ARGS...` on the same state.
    ProcessResult admin(const QStringList &arguments) const;
    // `admin --json ARGS...`, parsed; an empty object (and a warning) when it failed.
    QJsonObject adminJSON(const QStringList &arguments) const;
    // The input of --desktop-enroll-stdin: {"access_token","org_id","project_id"}.
    QJsonObject issueToken() const { return adminJSON({QStringLiteral("token"), QStringLiteral("issue")}); }
    // The id of the only (or last) registered device, or empty.
    QString deviceID() const;
    // The statuses acknowledged for a command, in order.
    QStringList ackStatuses(const QString &commandID) const;

private:
    Port m_port;
    QString m_host;
    QTemporaryDir m_state;
    std::unique_ptr<QProcess> m_process;
    QString m_baseURL;
};

}  // namespace mornix
