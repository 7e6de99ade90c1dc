#include "support/tool_runner.h"

#include <QProcess>
#include <QStringDecoder>

QString shell(const QString &executablePath, const QStringList &arguments, int timeoutMs)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.setInputChannelMode(QProcess::ManagedInputChannel);
    process.start(executablePath, arguments, QIODevice::ReadOnly);
    if (!process.waitForStarted(timeoutMs))
        return QStringLiteral("UNKNOWN: ") + process.errorString();
    // waitForFinished keeps reading both pipes into QProcess's buffers while it waits.
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(1000);
        return QStringLiteral("UNKNOWN: ") + executablePath + QStringLiteral(" timed out");
    }
    const QByteArray bytes = process.readAllStandardOutput() + process.readAllStandardError();
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return QStringLiteral("UNKNOWN");
    return text.trimmed();
}
