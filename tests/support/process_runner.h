#pragma once

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace mornix {

// Runs a program to completion (output read while it runs), for tests that drive real
// executables: the agent's command-line modes, openssl, python3.
struct ProcessResult {
    int exitCode = -1;
    bool crashed = false;
    bool timedOut = false;
    QByteArray standardOutput;
    QByteArray standardError;
};

ProcessResult runProcess(const QString &program, const QStringList &arguments, const QByteArray &standardInput = {},
                         const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment(),
                         int timeoutMs = 60000);

// Runs python3 with the given script text and arguments.
ProcessResult runPython(const QString &script, const QStringList &arguments = {}, const QByteArray &standardInput = {});

// Ends a running process: SIGTERM, then SIGKILL after `graceMs`; reaped either way.
void stopProcess(QProcess &process, int graceMs = 5000);

// Whether `openssl dgst -sha256 -verify` accepts the DER signature of `message` under the PEM key.
bool opensslVerifies(const QString &publicKeyPEM, const QByteArray &message, const QByteArray &signature);

}  // namespace mornix
