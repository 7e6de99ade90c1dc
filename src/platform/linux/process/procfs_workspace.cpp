#include "platform/linux/process/procfs_workspace.h"

#include "platform/linux/desktop/desktop_file_opener.h"
#include "platform/linux/foreign_file.h"
#include "platform/linux/bundle/info_plist.h"
#include "platform/linux/process/pidfd.h"
#include "platform/linux/process/proc_fs.h"

#include <QFileInfo>
#include <QProcess>

#include <csignal>

namespace mornix {

QString ProcfsWorkspace::bundlePathOfExecutable(const QString &path)
{
    const QStringList parts = path.split(QLatin1Char('/'));
    if (parts.size() < 5 || !path.startsWith(QLatin1Char('/')))
        return {};
    const qsizetype n = parts.size();
    if (parts.at(n - 1).isEmpty() || parts.at(n - 2) != QLatin1String("MacOS")
        || parts.at(n - 3) != QLatin1String("Contents") || !parts.at(n - 4).endsWith(QLatin1String(".app"))
        || parts.at(n - 4).size() <= 4)
        return {};
    return parts.mid(0, n - 3).join(QLatin1Char('/'));
}

std::optional<QVariantMap> ProcfsWorkspace::infoPlist(const QString &bundlePath) const
{
    // Opened first and judged by its descriptor: a FIFO or device planted at the path is never
    // read, and nothing here can block.
    const QString path = bundlePath + QStringLiteral("/Contents/Info.plist");
    std::optional<foreign_file::OpenFile> file = foreign_file::openRegular(path, info_plist::kMaxBytes);
    if (!file)
        return std::nullopt;
    {
        QMutexLocker lock(&m_mutex);
        const auto it = m_infoCache.constFind(path);
        if (it != m_infoCache.constEnd() && it->identity == file->identity)
            return it->info;
    }
    const std::optional<QByteArray> bytes = foreign_file::readAll(*file);
    CachedInfo entry{file->identity, bytes ? info_plist::parse(*bytes) : std::nullopt};
    if (!bytes)
        return std::nullopt;  // changed while read: not cached, read again next time
    QMutexLocker lock(&m_mutex);
    if (m_infoCache.size() > 256)
        m_infoCache.clear();
    m_infoCache.insert(path, entry);
    return entry.info;
}

std::optional<RunningApplication> ProcfsWorkspace::application(qint32 pid, const QString &executablePath) const
{
    const QString bundlePath = bundlePathOfExecutable(executablePath);
    if (bundlePath.isEmpty())
        return std::nullopt;
    const std::optional<procfs::StatFields> fields = procfs::stat(pid);
    if (!fields || fields->state == 'Z' || fields->state == 'X')
        return std::nullopt;
    if (fields->parentPid > 0 && procfs::executablePath(fields->parentPid) == executablePath)
        return std::nullopt;
    const std::optional<QVariantMap> info = infoPlist(bundlePath);
    if (!info)
        return std::nullopt;
    // Only the bundle's main executable runs as the application; any other program in
    // Contents/MacOS is not it.
    const QVariant mainExecutable = info->value(QStringLiteral("CFBundleExecutable"));
    if (mainExecutable.typeId() != QMetaType::QString
        || mainExecutable.toString() != executablePath.section(QLatin1Char('/'), -1))
        return std::nullopt;

    RunningApplication app;
    app.pid = pid;
    app.bundlePath = bundlePath;
    app.executablePath = executablePath;
    app.launchToken = fields->startTicks;
    const QVariant identifier = info->value(QStringLiteral("CFBundleIdentifier"));
    if (identifier.typeId() == QMetaType::QString)
        app.bundleIdentifier = identifier.toString();
    if (const std::optional<qint64> boot = procfs::bootTime())
        app.launchDate = procfs::startSeconds(*boot, procfs::ticksPerSecond(), fields->startTicks);
    for (const char *key : {"CFBundleDisplayName", "CFBundleName"}) {
        const QVariant name = info->value(QLatin1String(key));
        if (name.typeId() == QMetaType::QString && !name.toString().isEmpty()) {
            app.localizedName = name.toString();
            break;
        }
    }
    if (app.localizedName.isEmpty()) {
        app.localizedName = QFileInfo(bundlePath).fileName();
        app.localizedName.chop(4);
    }
    return app;
}

QList<RunningApplication> ProcfsWorkspace::applications(const QList<ProcessRecord> &processes) const
{
    QList<RunningApplication> result;
    for (const ProcessRecord &process : processes) {
        if (!process.executablePath.contains(QLatin1String(".app/Contents/MacOS/")))
            continue;
        if (std::optional<RunningApplication> app = application(process.pid, process.executablePath))
            result.append(std::move(*app));
    }
    return result;
}

QList<RunningApplication> ProcfsWorkspace::runningApplications() const
{
    return applications(m_listing ? m_listing->processes() : ExecutableListing::readPaths());
}

std::optional<RunningApplication> ProcfsWorkspace::runningApplication(qint32 pid) const
{
    if (pid <= 0)
        return std::nullopt;
    const QString path = procfs::executablePath(pid);
    if (path.isEmpty())
        return std::nullopt;
    return application(pid, path);
}

QList<RunningApplication> ProcfsWorkspace::runningApplications(const QString &bundleIdentifier) const
{
    // Asked when acting on an application: every running image checked, so a process that
    // became the application by an exec in place a moment ago is not missed.
    QList<RunningApplication> result;
    for (RunningApplication &app : applications(m_listing ? m_listing->exact() : ExecutableListing::readPaths())) {
        if (app.bundleIdentifier && *app.bundleIdentifier == bundleIdentifier)
            result.append(std::move(app));
    }
    return result;
}

bool ProcfsWorkspace::signal(const RunningApplication &application, int signal)
{
    return signalThroughPidfd(application.pid, signal, [&] {
        const std::optional<procfs::StatFields> fields = procfs::stat(application.pid);
        return fields && fields->state != 'Z' && fields->state != 'X' && fields->startTicks == application.launchToken;
    });
}

bool ProcfsWorkspace::terminate(const RunningApplication &application)
{
    return signal(application, SIGTERM);
}

bool ProcfsWorkspace::forceTerminate(const RunningApplication &application)
{
    return signal(application, SIGKILL);
}

bool ProcfsWorkspace::isTerminated(const RunningApplication &application) const
{
    const std::optional<procfs::StatFields> fields = procfs::stat(application.pid);
    return !fields || fields->state == 'Z' || fields->state == 'X' || fields->startTicks != application.launchToken;
}

QList<QStringList> ProcfsWorkspace::openCommands(const QString &browserVariable, const QUrl &url)
{
    const QString text = url.toString(QUrl::FullyEncoded);
    QList<QStringList> commands;
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("http") || scheme == QLatin1String("https")) {
        for (const QString &entry : browserVariable.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
            QStringList words = QProcess::splitCommand(entry);
            if (words.isEmpty())
                continue;
            bool substituted = false;
            for (QString &word : words) {
                if (word.contains(QLatin1String("%s"))) {
                    word.replace(QLatin1String("%s"), text);
                    substituted = true;
                }
            }
            if (!substituted)
                words.append(text);
            commands.append(words);
        }
    }
    commands.append({QStringLiteral("xdg-open"), text});
    return commands;
}

bool ProcfsWorkspace::openURL(const QUrl &url)
{
    if (!url.isValid())
        return false;
    for (QStringList command : openCommands(m_browsers, url)) {
        const QString program = command.takeFirst();
        if (QProcess::startDetached(program, command))
            return true;
    }
    return false;
}

void ProcfsWorkspace::openFile(const QUrl &url, QObject *context, std::function<void(const QString &failure)> done)
{
    if (!url.isValid() || !url.isLocalFile()) {
        done(QStringLiteral("Not a local file: %1").arg(url.toDisplayString()));
        return;
    }
    openWithDesktopOpener({QStringLiteral("xdg-open"), url.toLocalFile()}, context, std::move(done));
}

}  // namespace mornix
