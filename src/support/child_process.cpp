#include "support/child_process.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QStringDecoder>

namespace mornix {

ChildProcessResult runChildProcess(const QString &program, const QStringList &arguments,
                                   std::chrono::milliseconds timeout, qsizetype maxOutputBytes,
                                   ChildStandardError standardError)
{
    const bool captureErrors = standardError == ChildStandardError::Capture;
    ChildProcessResult result;
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    if (!captureErrors)
        process.setStandardErrorFile(QProcess::nullDevice());
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(program, arguments, QIODevice::ReadOnly);
    if (!process.waitForStarted()) {
        result.startError = process.errorString();
        return result;
    }
    result.started = true;
    const QDeadlineTimer deadline(timeout);  // from the start: a slow launch takes no running time

    // Waiting for output keeps reading both pipes into the process's buffers; they are taken
    // out on every step so the size limit holds while the child runs.
    const auto take = [&] {
        result.standardOutput.append(process.readAllStandardOutput());
        if (captureErrors)
            result.standardError.append(process.readAllStandardError());
    };
    bool abandoned = false;
    while (process.state() != QProcess::NotRunning) {
        const int step = static_cast<int>(qBound<qint64>(qint64(1), deadline.remainingTime(), qint64(100)));
        process.waitForReadyRead(step);
        take();
        const bool tooLarge = result.standardOutput.size() + result.standardError.size() > maxOutputBytes;
        if (tooLarge || deadline.hasExpired()) {
            abandoned = true;
            result.timedOut = !tooLarge;
            process.kill();
            process.waitForFinished(5000);
            break;
        }
    }
    take();
    if (!abandoned && process.exitStatus() == QProcess::NormalExit) {
        result.finishedNormally = true;
        result.exitCode = process.exitCode();
    }
    return result;
}

QString shell(const QString &executablePath, const QStringList &arguments, int timeoutMs)
{
    const ChildProcessResult run = runChildProcess(executablePath, arguments, std::chrono::milliseconds(timeoutMs),
                                                   64 * 1024 * 1024, ChildStandardError::Capture);
    if (!run.started)
        return QStringLiteral("UNKNOWN: ") + run.startError;
    if (run.timedOut)
        return QStringLiteral("UNKNOWN: ") + executablePath + QStringLiteral(" timed out");
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(run.standardOutput + run.standardError);
    if (decoder.hasError())
        return QStringLiteral("UNKNOWN");
    return text.trimmed();
}

}  // namespace mornix
