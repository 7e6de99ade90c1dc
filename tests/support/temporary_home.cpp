#include "support/temporary_home.h"

#include <QDir>

namespace mornix {

namespace {
// The variables a home sets, and their values under `root`.
QList<std::pair<QString, QString>> homeVariables(const QString &root)
{
    return {{QStringLiteral("HOME"), root},
            {QStringLiteral("XDG_DATA_HOME"), root + QStringLiteral("/data")},
            {QStringLiteral("XDG_CONFIG_HOME"), root + QStringLiteral("/config")},
            {QStringLiteral("XDG_CACHE_HOME"), root + QStringLiteral("/cache")},
            {QStringLiteral("TMPDIR"), root + QStringLiteral("/tmp")}};
}
}  // namespace

TemporaryHome::TemporaryHome()
    : m_saved(QProcessEnvironment::systemEnvironment())
{
    if (!m_dir.isValid())
        return;
    QFile::setPermissions(m_dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    for (const auto &[name, value] : homeVariables(m_dir.path())) {
        QDir().mkpath(value);
        qputenv(name.toLatin1().constData(), value.toUtf8());
    }
}

TemporaryHome::~TemporaryHome()
{
    for (const auto &variable : homeVariables(m_dir.path())) {
        const QString &name = variable.first;
        if (m_saved.contains(name))
            qputenv(name.toLatin1().constData(), m_saved.value(name).toUtf8());
        else
            qunsetenv(name.toLatin1().constData());
    }
}

QString TemporaryHome::dataHome() const
{
    return m_dir.path() + QStringLiteral("/data");
}

QProcessEnvironment TemporaryHome::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const auto &[name, value] : homeVariables(m_dir.path()))
        env.insert(name, value);
    return env;
}

}  // namespace mornix
