#include "platform/macos/ps_listing.h"

#include "support/child_process.h"

#include <QRegularExpression>
#include <QStringDecoder>

namespace mornix {

namespace ps_listing {

namespace {

std::optional<QString> utf8(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

}  // namespace

QList<Line> parseProcessListing(const QByteArray &output)
{
    QList<Line> result;
    const std::optional<QString> text = utf8(output);
    if (!text)
        return result;
    for (const QString &line : text->split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        const QStringList fields = line.split(QRegularExpression(QStringLiteral("\\s+")), Qt::SkipEmptyParts);
        if (fields.size() < 7)
            continue;
        bool ok = false;
        const qint32 pid = fields.at(0).toInt(&ok, 10);
        if (!ok || fields.at(0).startsWith(QLatin1Char('+')))
            continue;
        result.append({pid, fields.mid(1, 5).join(QLatin1Char(' ')), fields.mid(6).join(QLatin1Char(' '))});
    }
    return result;
}

ProcessStartObservation parseStartIdentity(bool started, bool finishedNormally, int exitCode, const QByteArray &output)
{
    if (!started)
        return ProcessStartObservation::unavailable();
    // A tool that crashed or was stopped for time proves nothing about the process.
    if (!finishedNormally)
        return ProcessStartObservation::unavailable();
    if (exitCode != 0)
        return ProcessStartObservation::notRunning();
    const std::optional<QString> text = utf8(output);
    if (!text)
        return ProcessStartObservation::unavailable();
    const QString first = text->section(QLatin1Char('\n'), 0, 0).simplified();
    if (first.isEmpty())
        return ProcessStartObservation::unavailable();
    return ProcessStartObservation::observed(first);
}

QList<Line> runProcessListing()
{
    const ChildProcessResult run =
        runChildProcess(QLatin1String(kProcessTool), {QStringLiteral("-axo"), QStringLiteral("pid=,lstart=,comm=")});
    if (!run.started || !run.finishedNormally || run.exitCode != 0 || run.standardOutput.isEmpty())
        return {};
    return parseProcessListing(run.standardOutput);
}

ProcessStartObservation runStartIdentity(qint32 pid)
{
    const ChildProcessResult run =
        runChildProcess(QLatin1String(kProcessTool),
                        {QStringLiteral("-p"), QString::number(pid), QStringLiteral("-o"), QStringLiteral("lstart=")});
    return parseStartIdentity(run.started, run.finishedNormally, run.exitCode, run.standardOutput);
}

}  // namespace ps_listing

}  // namespace mornix
