#include "support/process_runner.h"

#include "support/test_files.h"

#include <QProcess>
#include <QTemporaryDir>

namespace mornix {

ProcessResult runProcess(const QString &program, const QStringList &arguments, const QByteArray &standardInput,
                         const QProcessEnvironment &environment, int timeoutMs)
{
    ProcessResult result;
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!process.waitForStarted(10000)) {
        result.crashed = true;
        result.standardError = process.errorString().toUtf8();
        return result;
    }
    if (!standardInput.isEmpty())
        process.write(standardInput);
    process.closeWriteChannel();
    if (!process.waitForFinished(timeoutMs)) {
        result.timedOut = true;
        process.kill();
        process.waitForFinished(5000);
    }
    result.standardOutput = process.readAllStandardOutput();
    result.standardError = process.readAllStandardError();
    result.crashed = process.exitStatus() == QProcess::CrashExit;
    result.exitCode = process.exitCode();
    return result;
}

ProcessResult runPython(const QString &script, const QStringList &arguments, const QByteArray &standardInput)
{
    return runProcess(QStringLiteral("python3"), QStringList{QStringLiteral("-c"), script} + arguments, standardInput);
}

void stopProcess(QProcess &process, int graceMs)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(graceMs)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

bool opensslVerifies(const QString &publicKeyPEM, const QByteArray &message, const QByteArray &signature)
{
    const QTemporaryDir dir;
    const QString key = dir.filePath(QStringLiteral("key.pem"));
    const QString data = dir.filePath(QStringLiteral("message"));
    const QString der = dir.filePath(QStringLiteral("signature.der"));
    return writeFile(key, publicKeyPEM.toUtf8()) && writeFile(data, message) && writeFile(der, signature)
           && runProcess(QStringLiteral("openssl"), {"dgst", "-sha256", "-verify", key, "-signature", der, data})
                      .exitCode
                  == 0;
}

}  // namespace mornix
