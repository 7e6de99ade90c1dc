#include "platform/linux/xdg_login_item.h"

#include "support/posix_files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qint64 kMaxEntryBytes = 64 * 1024;

// Desktop-entry Exec quoting: the path in double quotes with \, ", ` and $ escaped.
QString quotedExec(const QString &path)
{
    QString escaped;
    for (const QChar c : path) {
        if (c == u'\\' || c == u'"' || c == u'`' || c == u'$')
            escaped += u'\\';
        escaped += c;
    }
    return u'"' + escaped + u'"';
}

}  // namespace

XdgLoginItem::XdgLoginItem(QString executablePath, QString configHome)
    : m_executablePath(std::move(executablePath))
    , m_configHome(std::move(configHome))
{
}

QString XdgLoginItem::entryPath() const
{
    const QString home = m_configHome.isEmpty()
        ? QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        : m_configHome;
    return home + QStringLiteral("/autostart/ai.veltro.mornix.desktop");
}

LoginItem::Status XdgLoginItem::status() const
{
    // Never blocks: a FIFO or device at the path is not an entry (O_NONBLOCK, then fstat).
    const int fd = ::open(QFile::encodeName(entryPath()).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return Status::NotRegistered;
    const posix::UniqueFd owned(fd);
    struct stat st {};
    QByteArray text;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !posix::readAll(fd, kMaxEntryBytes, &text))
        return Status::NotRegistered;
    for (const QByteArray &raw : text.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith("Hidden=") && line.mid(7).trimmed() == "true")
            return Status::NotRegistered;
    }
    return Status::Enabled;
}

bool XdgLoginItem::registerItem(QString *error)
{
    const QFileInfo path(entryPath());
    if (!QDir().mkpath(path.absolutePath())) {
        if (error)
            *error = QStringLiteral("cannot create the autostart directory %1").arg(path.absolutePath());
        return false;
    }
    const int dirFd = ::open(QFile::encodeName(path.absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) {
        if (error)
            *error = QStringLiteral("cannot open %1: %2").arg(path.absolutePath(), posix::errorText(errno));
        return false;
    }
    const posix::UniqueFd dir(dirFd);
    const QString entry = QStringLiteral(
        "[Desktop Entry]\n"
        "Type=Application\n"
        "Name=VeltroMornix\n"
        "Comment=Device control for Veltro workspaces\n"
        "Exec=%1\n"
        "Terminal=false\n"
        "X-GNOME-Autostart-enabled=true\n").arg(quotedExec(m_executablePath));
    // A new file renamed over the entry: a link at the path is replaced, never followed, and a
    // dangling link's target is never created.
    const QString problem = posix::replaceFileAt(dir.get(), path.fileName(), entry.toUtf8(), 0600);
    if (!problem.isEmpty()) {
        if (error)
            *error = problem;
        return false;
    }
    return true;
}

bool XdgLoginItem::unregisterItem(QString *error)
{
    // The entry itself (a link included) is removed; nothing it points to is touched.
    if (::unlink(QFile::encodeName(entryPath()).constData()) == 0 || errno == ENOENT)
        return true;
    if (error)
        *error = QStringLiteral("cannot remove %1: %2").arg(entryPath(), posix::errorText(errno));
    return false;
}
