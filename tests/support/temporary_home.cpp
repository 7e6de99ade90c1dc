#include "support/temporary_home.h"

#include <QDir>
#include <QStandardPaths>

namespace mornix {

namespace {
const char *const kVariables[] = {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "TMPDIR"};
}

TemporaryHome::TemporaryHome()
    : m_saved(QProcessEnvironment::systemEnvironment())
{
    if (!m_dir.isValid())
        return;
    const QString root = m_dir.path();
    for (const char *sub : {"data", "config", "cache", "tmp"})
        QDir(root).mkpath(QString::fromLatin1(sub));
    QFile::setPermissions(root, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("HOME", root.toUtf8());
    qputenv("XDG_DATA_HOME", (root + QStringLiteral("/data")).toUtf8());
    qputenv("XDG_CONFIG_HOME", (root + QStringLiteral("/config")).toUtf8());
    qputenv("XDG_CACHE_HOME", (root + QStringLiteral("/cache")).toUtf8());
    qputenv("TMPDIR", (root + QStringLiteral("/tmp")).toUtf8());
}

TemporaryHome::~TemporaryHome()
{
    for (const char *name : kVariables) {
        const QString key = QString::fromLatin1(name);
        if (m_saved.contains(key))
            qputenv(name, m_saved.value(key).toUtf8());
        else
            qunsetenv(name);
    }
}

QString TemporaryHome::dataHome() const
{
    return m_dir.path() + QStringLiteral("/data");
}

QProcessEnvironment TemporaryHome::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QString root = m_dir.path();
    env.insert(QStringLiteral("HOME"), root);
    env.insert(QStringLiteral("XDG_DATA_HOME"), root + QStringLiteral("/data"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), root + QStringLiteral("/config"));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), root + QStringLiteral("/cache"));
    env.insert(QStringLiteral("TMPDIR"), root + QStringLiteral("/tmp"));
    return env;
}

}  // namespace mornix
