#include "support/process_runner.h"

#include <QProcess>

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
    return runProcess(QStringLiteral("python3"), QStringList{QStringLiteral("-c"), script} + arguments,
                      standardInput);
}

}  // namespace mornix
