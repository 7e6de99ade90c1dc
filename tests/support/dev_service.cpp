#include "support/dev_service.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

DevService::DevService() = default;

DevService::~DevService()
{
    stop();
}

bool DevService::start()
{
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::SeparateChannels);
    m_process->start(QStringLiteral(MORNIX_DEVSERVICE), {QStringLiteral("serve"), QStringLiteral("--state"), m_state.path()});
    if (!m_process->waitForStarted(10000))
        return false;
    QByteArray out;
    const bool listening = QTest::qWaitFor([&] {
        out += m_process->readAllStandardOutput();
        return out.contains("listening on") || m_process->state() == QProcess::NotRunning;
    }, 15000);
    if (!listening || m_process->state() == QProcess::NotRunning) {
        qWarning("veltro-devservice did not start: %s", m_process->readAllStandardError().constData());
        return false;
    }
    return true;
}

void DevService::stop()
{
    if (!m_process || m_process->state() == QProcess::NotRunning)
        return;
    m_process->terminate();
    if (!m_process->waitForFinished(5000)) {
        m_process->kill();
        m_process->waitForFinished(5000);
    }
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
    if (result.exitCode != 0)
        return {};
    return QJsonDocument::fromJson(result.standardOutput).object();
}

QString DevService::deviceID() const
{
    const QJsonArray devices = adminJSON({QStringLiteral("devices"), QStringLiteral("list")})
                                   .value(QStringLiteral("devices")).toArray();
    return devices.isEmpty() ? QString() : devices.last().toObject().value(QStringLiteral("id")).toString();
}

QStringList DevService::ackStatuses(const QString &commandID) const
{
    QStringList statuses;
    const QJsonArray acks = adminJSON({QStringLiteral("acks"), QStringLiteral("list"), QStringLiteral("--command"), commandID})
                                .value(QStringLiteral("acks")).toArray();
    for (const QJsonValue &ack : acks)
        statuses.append(ack.toObject().value(QStringLiteral("status")).toString());
    return statuses;
}
