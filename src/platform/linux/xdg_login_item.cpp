#include "platform/linux/xdg_login_item.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

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
    QFile file(entryPath());
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return Status::NotRegistered;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        if (line.startsWith("Hidden=") && line.mid(7).trimmed() == "true")
            return Status::NotRegistered;
    }
    return Status::Enabled;
}

bool XdgLoginItem::registerItem(QString *error)
{
    const QString path = entryPath();
    if (!QDir().mkpath(QFileInfo(path).absolutePath())) {
        if (error)
            *error = QStringLiteral("cannot create the autostart directory");
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        if (error)
            *error = file.errorString();
        return false;
    }
    const QString entry = QStringLiteral(
        "[Desktop Entry]\n"
        "Type=Application\n"
        "Name=VeltroMornix\n"
        "Comment=Device control for Veltro workspaces\n"
        "Exec=%1\n"
        "Terminal=false\n"
        "X-GNOME-Autostart-enabled=true\n").arg(quotedExec(m_executablePath));
    file.write(entry.toUtf8());
    if (!file.commit()) {
        if (error)
            *error = file.errorString();
        return false;
    }
    return true;
}

bool XdgLoginItem::unregisterItem(QString *error)
{
    QFile file(entryPath());
    if (!file.exists() || file.remove())
        return true;
    if (error)
        *error = file.errorString();
    return false;
}
