#include "support/dev_service.h"

#include "support/test_files.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>
#include <QUrl>

namespace mornix {

DevService::DevService(Port port, const QString &host)
    : m_port(port)
    , m_host(host)
{
}

DevService::~DevService()
{
    stop();
}

bool DevService::start()
{
    QStringList arguments{QStringLiteral("serve"), QStringLiteral("--state"), m_state.path()};
    // A restart keeps the address the clients already know.
    if (m_port == Port::ephemeral)
        arguments << QStringLiteral("--listen")
                  << (m_baseURL.isEmpty() ? m_host + QStringLiteral(":0") : QUrl(m_baseURL).authority());
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::SeparateChannels);
    // Its request log would fill an unread pipe and stall the service.
    m_process->setStandardErrorFile(m_state.filePath(QStringLiteral("service.log")), QIODevice::Append);
    m_process->start(QStringLiteral(MORNIX_DEVSERVICE), arguments);
    if (!m_process->waitForStarted(10000))
        return false;
    // First line: "listening on https://HOST:PORT".
    QByteArray out;
    const bool listening = QTest::qWaitFor(
        [&] {
            out += m_process->readAllStandardOutput();
            return out.contains('\n') || m_process->state() == QProcess::NotRunning;
        },
        15000);
    const QByteArray prefix("listening on ");
    const QByteArray line = out.left(out.indexOf('\n')).trimmed();
    if (!listening || !line.startsWith(prefix)) {
        qWarning("veltro-devservice did not start: %s %s", line.constData(),
                 readFile(m_state.filePath(QStringLiteral("service.log"))).constData());
        stop();
        return false;
    }
    m_baseURL = QString::fromUtf8(line.mid(prefix.size()));
    return true;
}

void DevService::stop()
{
    if (m_process)
        stopProcess(*m_process);
}

bool DevService::isRunning() const
{
    return m_process && m_process->state() != QProcess::NotRunning;
}

ProcessResult DevService::admin(const QStringList &arguments) const
{
    return runProcess(QStringLiteral(MORNIX_DEVSERVICE),
                      QStringList{QStringLiteral("admin"), QStringLiteral("--state"), m_state.path()} + arguments);
}

QJsonObject DevService::adminJSON(const QStringList &arguments) const
{
    const ProcessResult result = admin(QStringList{QStringLiteral("--json")} + arguments);
    if (result.exitCode != 0) {
        qWarning("devservice admin %s failed: %s", qPrintable(arguments.join(QLatin1Char(' '))),
                 result.standardError.constData());
        return {};
    }
    return QJsonDocument::fromJson(result.standardOutput).object();
}

QString DevService::deviceID() const
{
    const QJsonArray devices =
        adminJSON({QStringLiteral("devices"), QStringLiteral("list")}).value(QStringLiteral("devices")).toArray();
    return devices.isEmpty() ? QString() : devices.last().toObject().value(QStringLiteral("id")).toString();
}

QStringList DevService::ackStatuses(const QString &commandID) const
{
    QStringList statuses;
    const QJsonArray acks =
        adminJSON({QStringLiteral("acks"), QStringLiteral("list"), QStringLiteral("--command"), commandID})
            .value(QStringLiteral("acks"))
            .toArray();
    for (const QJsonValue &ack : acks)
        statuses.append(ack.toObject().value(QStringLiteral("status")).toString());
    return statuses;
}

}  // namespace mornix
