#include "support/agent_process.h"

#include "support/process_runner.h"
#include "support/test_files.h"

#include <QTest>

namespace mornix {

AgentProcess::AgentProcess(QProcessEnvironment environment)
    : m_environment(std::move(environment))
    , m_process(std::make_unique<QProcess>())
{
}

AgentProcess::~AgentProcess()
{
    stopProcess(*m_process);
}

bool AgentProcess::start(const QStringList &arguments)
{
    m_process->setProcessEnvironment(m_environment);
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process->setStandardOutputFile(QProcess::nullDevice());
    m_process->start(QStringLiteral(MORNIX_EXECUTABLE), arguments);
    return m_process->waitForStarted(10000);
}

QString AgentProcess::logPath() const
{
    return m_environment.value(QStringLiteral("XDG_DATA_HOME")) + QStringLiteral("/VeltroMornix/Logs/mornix-log.md");
}

QString AgentProcess::logText() const
{
    return QString::fromUtf8(readFile(logPath()));
}

int AgentProcess::logCount(const QString &needle) const
{
    int count = 0;
    const QStringList lines = logText().split(u'\n');
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1String("- `")) && line.contains(needle))
            ++count;
    }
    return count;
}

bool AgentProcess::waitForLog(const QString &needle, int timeoutMs, int count) const
{
    return QTest::qWaitFor([&] { return logCount(needle) >= count; }, timeoutMs);
}

bool AgentProcess::isRunning() const
{
    return m_process->state() != QProcess::NotRunning;
}

bool AgentProcess::waitForExit(int timeoutMs)
{
    return QTest::qWaitFor([&] { return m_process->state() == QProcess::NotRunning; }, timeoutMs);
}

int AgentProcess::exitCode() const
{
    return m_process->exitStatus() == QProcess::NormalExit ? m_process->exitCode() : -1;
}

QProcessEnvironment headlessEnvironment(QProcessEnvironment base)
{
    base.remove(QStringLiteral("DISPLAY"));
    base.remove(QStringLiteral("WAYLAND_DISPLAY"));
    base.remove(QStringLiteral("QT_QPA_PLATFORM"));
    return base;
}

QProcessEnvironment xcbEnvironment(QProcessEnvironment base, const QString &display)
{
    base = headlessEnvironment(std::move(base));
    base.insert(QStringLiteral("DISPLAY"), display);
    base.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    return base;
}

}  // namespace mornix
