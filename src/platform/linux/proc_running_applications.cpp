#include "platform/linux/proc_running_applications.h"

#include "platform/linux/app_bundle.h"
#include "platform/linux/info_plist.h"

#include <QDir>
#include <QFile>
#include <QHash>

namespace {

// The parent pid from /proc/PID/stat; the command name may hold spaces and ")".
qint64 parentPid(const QString &proc, qint64 pid)
{
    QFile stat(proc + QLatin1Char('/') + QString::number(pid) + QStringLiteral("/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    const qsizetype close = text.lastIndexOf(')');
    if (close < 0)
        return -1;
    const QList<QByteArray> fields = text.mid(close + 2).split(' ');
    return fields.size() > 1 ? fields[1].toLongLong() : -1;
}

}  // namespace

ProcRunningApplications::ProcRunningApplications(QString procRoot) : m_proc(std::move(procRoot)) {}

QList<RunningApplications::Application> ProcRunningApplications::runningApplications() const
{
    QHash<qint64, QString> executables;
    const QStringList entries = QDir(m_proc).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        if (!numeric)
            continue;
        const QString exe = QFile::symLinkTarget(m_proc + QLatin1Char('/') + entry + QStringLiteral("/exe"));
        if (!exe.isEmpty())
            executables.insert(pid, exe);
    }
    QList<Application> applications;
    for (auto it = executables.cbegin(); it != executables.cend(); ++it) {
        const QString bundlePath = AppBundle::enclosingBundlePath(it.value());
        if (bundlePath.isEmpty())
            continue;
        if (executables.value(parentPid(m_proc, it.key())) == it.value())
            continue;
        const auto info = info_plist::read(bundlePath + QStringLiteral("/Contents/Info.plist"));
        if (!info)
            continue;
        Application app;
        app.pid = it.key();
        app.bundlePath = bundlePath;
        const QVariant identifier = info->value(QStringLiteral("CFBundleIdentifier"));
        if (identifier.typeId() == QMetaType::QString)
            app.bundleIdentifier = identifier.toString();
        applications.append(app);
    }
    return applications;
}

std::optional<QVariant> ProcRunningApplications::bundleInfoValue(const QString &bundlePath, const QString &key) const
{
    const auto info = info_plist::read(bundlePath + QStringLiteral("/Contents/Info.plist"));
    if (!info)
        return std::nullopt;
    return info->value(key);
}
