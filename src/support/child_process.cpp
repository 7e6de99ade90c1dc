#include "support/child_process.h"

#include <QDeadlineTimer>
#include <QProcess>

ChildProcessResult runChildProcess(const QString &program, const QStringList &arguments,
                                   std::chrono::milliseconds timeout, qsizetype maxOutputBytes)
{
    ChildProcessResult result;
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.setStandardErrorFile(QProcess::nullDevice());
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(program, arguments, QIODevice::ReadOnly);
    if (!process.waitForStarted())
        return result;
    result.started = true;

    const QDeadlineTimer deadline(timeout);
    bool abandoned = false;
    while (process.state() != QProcess::NotRunning) {
        const int step = static_cast<int>(qBound<qint64>(qint64(1), deadline.remainingTime(), qint64(100)));
        process.waitForReadyRead(step);
        result.standardOutput.append(process.readAllStandardOutput());
        if (result.standardOutput.size() > maxOutputBytes || deadline.hasExpired()) {
            abandoned = true;
            process.kill();
            process.waitForFinished(5000);
            break;
        }
    }
    result.standardOutput.append(process.readAllStandardOutput());
    if (!abandoned && process.exitStatus() == QProcess::NormalExit) {
        result.finishedNormally = true;
        result.exitCode = process.exitCode();
    }
    return result;
}
