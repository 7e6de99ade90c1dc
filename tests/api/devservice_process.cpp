#include "devservice_process.h"

#include "support/process_runner.h"

#include <QJsonDocument>

DevserviceProcess::DevserviceProcess()
{
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    m_process.setStandardErrorFile(m_state.filePath(QStringLiteral("server.log")));
    m_process.start(QStringLiteral(MORNIX_DEVSERVICE_BINARY),
                    {QStringLiteral("serve"), QStringLiteral("--state"), m_state.path(), QStringLiteral("--listen"),
                     QStringLiteral("127.0.0.1:0")});
    if (!m_process.waitForStarted(10000))
        return;
    // First line: "listening on https://HOST:PORT".
    while (!m_process.canReadLine() && m_process.waitForReadyRead(10000)) {
    }
    const QString line = QString::fromUtf8(m_process.readLine()).trimmed();
    const QString prefix = QStringLiteral("listening on ");
    if (line.startsWith(prefix))
        m_baseURL = line.mid(prefix.size());
    else
        qWarning("devservice did not start: %s", qPrintable(line));
}

DevserviceProcess::~DevserviceProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
}

QJsonObject DevserviceProcess::admin(const QStringList &arguments) const
{
    const ProcessResult result = runProcess(QStringLiteral(MORNIX_DEVSERVICE_BINARY),
        QStringList{QStringLiteral("admin"), QStringLiteral("--state"), m_state.path(), QStringLiteral("--json")} + arguments);
    if (result.exitCode != 0) {
        qWarning("devservice admin %s failed: %s", qPrintable(arguments.join(QLatin1Char(' '))),
                 result.standardError.constData());
        return {};
    }
    return QJsonDocument::fromJson(result.standardOutput).object();
}
