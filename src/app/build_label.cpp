#include "app/build_label.h"

#include "platform/bundle.h"

#include <QDateTime>
#include <QFileInfo>

namespace mornix {

namespace {

QString usableInfoString(const Bundle &bundle, const QString &key, const QString &fallback)
{
    const QVariant value = bundle.infoValue(key);
    if (value.typeId() != QMetaType::QString || value.toString().trimmed().isEmpty())
        return fallback;
    return value.toString();
}

}  // namespace

QString buildStamp(const QString &executablePath)
{
    if (executablePath.isEmpty())
        return QStringLiteral("unknown");
    const QFileInfo info(executablePath);
    if (!info.exists())
        return QStringLiteral("unknown");
    const QDateTime modified = info.lastModified().toUTC();
    if (!modified.isValid())
        return QStringLiteral("unknown");
    // Fixed ASCII digits: QDateTime::toString with a format is locale-independent.
    return modified.toString(QStringLiteral("yyyyMMdd-HHmmss"));
}

QString computeBuildLabel(const Bundle &bundle, const QString &argument0)
{
    const QString version =
        usableInfoString(bundle, QStringLiteral("CFBundleShortVersionString"), QStringLiteral("dev"));
    const QString build = usableInfoString(bundle, QStringLiteral("CFBundleVersion"), QStringLiteral("0"));
    const QString executable = bundle.executablePath().isEmpty() ? argument0 : bundle.executablePath();
    return version + QStringLiteral(" (") + build + QStringLiteral(")+") + buildStamp(executable);
}

}  // namespace mornix
