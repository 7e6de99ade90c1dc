#include "platform/linux/desktop/xdg_login_item.h"

#include "platform/posix_files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mornix {

namespace {

constexpr qint64 kMaxEntryBytes = 64 * 1024;

// Desktop-entry Exec value for one program path: the quoting rule first (the path in double
// quotes with \, ", ` and $ escaped by a backslash), then the string-value rule on top (every
// backslash doubled) and the field-code rule (a literal % written as %%). A path with a control
// character cannot be expressed: empty.
QString quotedExec(const QString &path)
{
    QString quoted;
    for (const QChar c : path) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return QString();
        if (c == u'\\' || c == u'"' || c == u'`' || c == u'$')
            quoted += u'\\';
        quoted += c;
    }
    QString value;
    for (const QChar c : u'"' + quoted + u'"') {
        if (c == u'\\')
            value += QStringLiteral("\\\\");
        else if (c == u'%')
            value += QStringLiteral("%%");
        else
            value += c;
    }
    return value;
}

// Whether a key of the [Desktop Entry] group turns the entry off for the session.
bool disablesEntry(const QByteArray &key, const QByteArray &value)
{
    return (key == "Hidden" && value == "true") || (key == "X-GNOME-Autostart-enabled" && value == "false");
}

}  // namespace

XdgLoginItem::XdgLoginItem(QString executablePath, QString configHome)
    : m_executablePath(std::move(executablePath))
    , m_configHome(std::move(configHome))
{
}

QString XdgLoginItem::entryPath() const
{
    const QString home =
        m_configHome.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) : m_configHome;
    return home + QStringLiteral("/autostart/ai.veltro.mornix.desktop");
}

LoginItem::Status XdgLoginItem::status() const
{
    // Never blocks: a FIFO or device at the path is not an entry (O_NONBLOCK, then fstat).
    const int fd = ::open(QFile::encodeName(entryPath()).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return Status::notRegistered;
    const posix::UniqueFd owned(fd);
    struct stat st {};
    QByteArray text;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || !posix::readAll(fd, kMaxEntryBytes, &text))
        return Status::notRegistered;
    bool inMainGroup = false;
    for (const QByteArray &raw : text.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith('[')) {
            inMainGroup = line == "[Desktop Entry]";
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        if (inMainGroup && equals > 0 && disablesEntry(line.left(equals).trimmed(), line.mid(equals + 1).trimmed()))
            return Status::notRegistered;
    }
    return Status::enabled;
}

bool XdgLoginItem::registerItem(QString *error)
{
    const QString exec = quotedExec(m_executablePath);
    if (exec.isEmpty()) {
        if (error)
            *error = QStringLiteral("the program path cannot be written into an autostart entry");
        return false;
    }
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
    const QString entry = QStringLiteral("[Desktop Entry]\n"
                                         "Type=Application\n"
                                         "Name=VeltroMornix\n"
                                         "Comment=Device control for Veltro workspaces\n"
                                         "Exec=%1\n"
                                         "Terminal=false\n"
                                         "X-GNOME-Autostart-enabled=true\n")
                              .arg(exec);
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

}  // namespace mornix
