#include "platform/linux/bundle/app_bundle.h"

#include "platform/linux/bundle/info_plist.h"

#include <QDir>
#include <QFileInfo>

namespace mornix {

AppBundle::AppBundle(const QString &executablePath)
    : m_executablePath(executablePath)
{
    const QString enclosing = enclosingBundlePath(executablePath);
    if (!enclosing.isEmpty()) {
        m_bundlePath = enclosing;
        m_info = info_plist::read(enclosing + QStringLiteral("/Contents/Info.plist")).value_or(QVariantMap());
    } else if (!executablePath.isEmpty()) {
        m_bundlePath = QFileInfo(executablePath).absolutePath();
    }
}

AppBundle AppBundle::forRunningExecutable(const char *argv0)
{
    // /proc/self/exe names the running image even when argv[0] is relative or a link.
    QString path = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    if (path.isEmpty() && argv0)
        path = QFileInfo(QString::fromLocal8Bit(argv0)).absoluteFilePath();
    return AppBundle(path);
}

std::optional<QString> AppBundle::bundleIdentifier() const
{
    const QVariant value = m_info.value(QStringLiteral("CFBundleIdentifier"));
    if (value.typeId() != QMetaType::QString || value.toString().isEmpty())
        return std::nullopt;
    return value.toString();
}

QString AppBundle::enclosingBundlePath(const QString &executablePath)
{
    if (executablePath.isEmpty())
        return {};
    const QString clean = QDir::cleanPath(executablePath);
    const QString macosDir = QFileInfo(clean).path();
    const QString contentsDir = QFileInfo(macosDir).path();
    const QString bundleDir = QFileInfo(contentsDir).path();
    if (QFileInfo(macosDir).fileName() != QLatin1String("MacOS")
        || QFileInfo(contentsDir).fileName() != QLatin1String("Contents") || !bundleDir.endsWith(QLatin1String(".app")))
        return {};
    return bundleDir;
}

}  // namespace mornix
