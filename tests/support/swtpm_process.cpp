#include "support/swtpm_process.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <csignal>
#include <sys/prctl.h>

namespace mornix {

namespace {

// Two consecutive free ports (server, control). Another process may take them before swtpm
// binds: start() retries.
quint16 freePortPair()
{
    for (int attempt = 0; attempt < 20; ++attempt) {
        QTcpServer first;
        if (!first.listen(QHostAddress::LocalHost, 0))
            continue;
        const quint16 port = first.serverPort();
        if (port == 65535)
            continue;
        QTcpServer second;
        if (second.listen(QHostAddress::LocalHost, port + 1))
            return port;
    }
    return 0;
}

}  // namespace

SwtpmProcess::SwtpmProcess()
{
    QDir(m_dir.path()).mkpath(QStringLiteral("state"));
    start();
}

SwtpmProcess::~SwtpmProcess()
{
    stop();
}

QString SwtpmProcess::tcti() const
{
    return QStringLiteral("swtpm:host=127.0.0.1,port=%1").arg(m_port);
}

bool SwtpmProcess::start()
{
    if (isRunning())
        return true;
    const QString state = m_dir.path() + QStringLiteral("/state");
    for (int attempt = 0; attempt < 5; ++attempt) {
        // The same address again after a restart while it is free, as a rebooted machine's TPM.
        quint16 port = 0;
        if (m_port != 0 && attempt == 0) {
            QTcpServer first, second;
            if (first.listen(QHostAddress::LocalHost, m_port) && second.listen(QHostAddress::LocalHost, m_port + 1))
                port = m_port;
        }
        if (port == 0)
            port = freePortPair();
        if (port == 0) {
            m_error = QStringLiteral("no free ports");
            return false;
        }
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        // A test that crashes must not leave its TPM running.
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
        m_process.start(QStringLiteral("swtpm"),
                        {QStringLiteral("socket"), QStringLiteral("--tpm2"), QStringLiteral("--tpmstate"),
                         QStringLiteral("dir=") + state, QStringLiteral("--server"),
                         QStringLiteral("type=tcp,port=%1,bindaddr=127.0.0.1").arg(port), QStringLiteral("--ctrl"),
                         QStringLiteral("type=tcp,port=%1,bindaddr=127.0.0.1").arg(port + 1), QStringLiteral("--flags"),
                         QStringLiteral("not-need-init,startup-clear")});
        if (!m_process.waitForStarted(10000)) {
            m_error = QStringLiteral("swtpm does not start: ") + m_process.errorString();
            return false;
        }
        // Ready once both ports accept a connection: swtpm binds them one after the other, and
        // the TCTI talks to the server port.
        const QDeadlineTimer deadline(10000);
        const auto accepts = [](quint16 probed) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, probed);
            if (!probe.waitForConnected(200))
                return false;
            probe.disconnectFromHost();
            return true;
        };
        while (!deadline.hasExpired() && m_process.state() == QProcess::Running) {
            if (accepts(port + 1) && accepts(port)) {
                m_port = port;
                return true;
            }
            QThread::msleep(20);
        }
        m_error = QStringLiteral("swtpm did not come up: ") + QString::fromLocal8Bit(m_process.readAll());
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    return false;
}

void SwtpmProcess::stop()
{
    stopProcess(m_process, 10000);
}

bool SwtpmProcess::replaceWithFreshTpm()
{
    stop();
    QDir state(m_dir.path() + QStringLiteral("/state"));
    state.removeRecursively();
    QDir(m_dir.path()).mkpath(QStringLiteral("state"));
    return start();
}

ProcessResult SwtpmProcess::tool(const QString &program, const QStringList &arguments) const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TPM2TOOLS_TCTI"), tcti());
    environment.insert(QStringLiteral("TSS2_LOG"), QStringLiteral("all+NONE"));
    return runProcess(program, arguments, {}, environment);
}

void SwtpmProcess::flushTransient() const
{
    tool(QStringLiteral("tpm2_flushcontext"), {QStringLiteral("-t")});
}

QStringList SwtpmProcess::transientHandles() const
{
    const ProcessResult listed = tool(QStringLiteral("tpm2_getcap"), {QStringLiteral("handles-transient")});
    QStringList handles;
    for (const QByteArray &line : listed.standardOutput.split('\n')) {
        const QByteArray trimmed = line.trimmed();
        if (trimmed.startsWith("- "))
            handles << QString::fromLatin1(trimmed.mid(2));
    }
    return handles;
}

}  // namespace mornix
