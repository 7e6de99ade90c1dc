#pragma once

#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A real `veltro-devservice serve` on an ephemeral port of 127.0.0.1 with private state, and its
// `admin` command line on the same state.
class DevserviceProcess {
public:
    DevserviceProcess();
    ~DevserviceProcess();

    bool isRunning() const { return !m_baseURL.isEmpty(); }
    QString baseURL() const { return m_baseURL; }  // https://127.0.0.1:PORT

    // Runs `admin --json ARGS`; the parsed document, or an empty object when it failed.
    QJsonObject admin(const QStringList &arguments) const;

private:
    QTemporaryDir m_state;
    QProcess m_process;
    QString m_baseURL;
};
