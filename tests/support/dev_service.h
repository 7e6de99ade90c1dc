#pragma once

#include "support/process_runner.h"

#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// The local reference service (veltro-devservice) on its default address https://localhost:8443
// with a private state directory, for end-to-end tests. Tests that use it hold the CTest
// resource lock "devservice-8443". Stopped when dropped.
class DevService {
public:
    DevService();
    ~DevService();

    bool start();
    void stop();
    bool isRunning() const;
    QString statePath() const { return m_state.path(); }

    // `admin ARGS...` on the same state.
    ProcessResult admin(const QStringList &arguments) const;
    // `admin --json ARGS...`, parsed; an empty object when it failed.
    QJsonObject adminJSON(const QStringList &arguments) const;
    // The input of --desktop-enroll-stdin: {"access_token","org_id","project_id"}.
    QJsonObject issueToken() const { return adminJSON({QStringLiteral("token"), QStringLiteral("issue")}); }
    // The id of the only (or last) registered device, or empty.
    QString deviceID() const;
    // The statuses acknowledged for a command, in order.
    QStringList ackStatuses(const QString &commandID) const;

private:
    QTemporaryDir m_state;
    std::unique_ptr<QProcess> m_process;
};
