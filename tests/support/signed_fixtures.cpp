#include "signed_fixtures.h"

#include "info_plist_writer.h"
#include "process_runner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace mornix {

namespace fixtures {

QString sleeperPath()
{
    return QStringLiteral(MORNIX_FIXTURE_SLEEPER);
}
QString codesignToolPath()
{
    return QStringLiteral(MORNIX_CODESIGN_TOOL);
}
QString anchorsPath()
{
    return QStringLiteral(MORNIX_DEV_PKI_DIR "/codesign-anchor.pem");
}

bool sign(const QString &path, const QString &team, const QString &identifier)
{
    const QString pki = QStringLiteral(MORNIX_DEV_PKI_DIR);
    QStringList arguments{QStringLiteral("--cert"), pki + QStringLiteral("/team-%1.pem").arg(team),
                          QStringLiteral("--key"), pki + QStringLiteral("/team-%1.key").arg(team)};
    if (!identifier.isEmpty())
        arguments << QStringLiteral("--identifier") << identifier;
    arguments << path;
    const ProcessResult result = runProcess(codesignToolPath(), arguments);
    if (result.exitCode != 0)
        qWarning("veltro-codesign failed: %s", result.standardError.constData());
    return result.exitCode == 0 && !result.crashed;
}

static bool copyExecutable(const QString &to)
{
    QFile::remove(to);
    if (!QFile::copy(sleeperPath(), to))
        return false;
    return QFile::setPermissions(to, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                         | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
}

QString makeBundle(const QString &directory, const QString &name, const QString &bundleIdentifier, const QString &team,
                   const BundleOptions &options)
{
    const QString bundle = directory + QLatin1Char('/') + name + QStringLiteral(".app");
    const QString executable = options.executableName.isEmpty() ? name : options.executableName;
    if (!QDir().mkpath(bundle + QStringLiteral("/Contents/MacOS")))
        return {};
    InfoEntries info{{QStringLiteral("CFBundleIdentifier"), bundleIdentifier},
                     {QStringLiteral("CFBundleName"), name},
                     {QStringLiteral("CFBundleExecutable"), executable}};
    if (!options.displayName.isEmpty())
        info.append({QStringLiteral("CFBundleDisplayName"), options.displayName});
    if (!writeInfoPlist(bundle + QStringLiteral("/Contents/Info.plist"), info))
        return {};
    if (!copyExecutable(bundle + QStringLiteral("/Contents/MacOS/") + executable))
        return {};
    if (!team.isEmpty() && !sign(bundle, team))
        return {};
    return bundle;
}

QString bundleExecutable(const QString &bundlePath)
{
    const QDir macOS(bundlePath + QStringLiteral("/Contents/MacOS"));
    const QStringList entries = macOS.entryList(QDir::Files);
    return entries.isEmpty() ? QString() : macOS.filePath(entries.first());
}

QString makeCLI(const QString &directory, const QString &name, const QString &identifier, const QString &team)
{
    if (!QDir().mkpath(directory))
        return {};
    const QString path = directory + QLatin1Char('/') + name;
    if (!copyExecutable(path))
        return {};
    if (!team.isEmpty() && !sign(path, team, identifier))
        return {};
    return path;
}

bool tamper(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::Append))
        return false;
    return file.write("\0", 1) == 1;
}

bool corruptSignature(const QString &bundlePath)
{
    QFile file(bundlePath + QStringLiteral("/Contents/_CodeSignature/CodeSignature"));
    if (!file.open(QIODevice::ReadWrite))
        return false;
    const qsizetype at = file.readAll().indexOf("veltro-codesign-1");
    return at >= 0 && file.seek(at) && file.write("w", 1) == 1;
}

QString makeClaudeDesktop(const QString &directory, const QString &team)
{
    return makeBundle(directory, QStringLiteral("Claude"), QStringLiteral("com.anthropic.claude"), team);
}

QString makeChatGPT(const QString &directory, const QString &team)
{
    return makeBundle(directory, QStringLiteral("ChatGPT"), QStringLiteral("com.openai.chatgpt"), team);
}

QString makeCodexApp(const QString &directory, const QString &team)
{
    return makeBundle(directory, QStringLiteral("Codex"), QStringLiteral("com.openai.codex"), team);
}

QString makeClaudeCode(const QString &directory, const QString &team)
{
    return makeCLI(directory, QStringLiteral("claude"), QStringLiteral("com.anthropic.claude-code"), team);
}

QString makeCodexCLI(const QString &directory, const QString &team)
{
    return makeCLI(directory, QStringLiteral("codex"), QStringLiteral("codex"), team);
}

RunningFixture::RunningFixture(const QString &program, const QStringList &arguments)
    : m_process(std::make_unique<QProcess>())
{
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process->start(program, arguments);
    if (!m_process->waitForStarted(10000))
        return;
    while (m_process->state() == QProcess::Running && !m_process->canReadLine())
        m_process->waitForReadyRead(10000);
}

RunningFixture::~RunningFixture()
{
    if (m_process->state() != QProcess::NotRunning) {
        m_process->kill();
        m_process->waitForFinished(5000);
    }
}

bool RunningFixture::isRunning() const
{
    return m_process->state() == QProcess::Running;
}

qint32 RunningFixture::pid() const
{
    return static_cast<qint32>(m_process->processId());
}

bool RunningFixture::waitForExit(int timeoutMs)
{
    return m_process->state() == QProcess::NotRunning || m_process->waitForFinished(timeoutMs);
}

}  // namespace fixtures

}  // namespace mornix
