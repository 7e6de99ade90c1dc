#include "update_fixtures.h"

#include "support/info_plist_writer.h"
#include "support/signed_fixtures.h"
#include "support/test_files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTest>

namespace mornix {

namespace update_fixtures {

namespace {

bool copyExecutable(const QString &from, const QString &to)
{
    QFile::remove(to);
    return QFile::copy(from, to)
        && QFile::setPermissions(to, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                         | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
}

}  // namespace

QString desktopExecutablePath(const QString &desktopBundle)
{
    return desktopBundle + QStringLiteral("/Contents/MacOS/") + kDesktopName;
}

QString helperExecutablePath(const QString &desktopBundle)
{
    return desktopBundle + QStringLiteral("/Contents/Helpers/Mornix/VeltroMornix.app/Contents/MacOS/VeltroMornix");
}

QString makeDesktopBundle(const QString &directory, const HostOptions &options)
{
    const QString bundle = directory + QLatin1Char('/') + kDesktopName + QStringLiteral(".app");
    if (!QDir().mkpath(bundle + QStringLiteral("/Contents/MacOS")) || !QDir().mkpath(bundle + QStringLiteral("/Contents/Resources")))
        return {};
    fixtures::InfoEntries info{
        {QStringLiteral("CFBundleIdentifier"), options.identifier},
        {QStringLiteral("CFBundleName"), kDesktopName},
        {QStringLiteral("CFBundleExecutable"), kDesktopName},
        {QStringLiteral("CFBundleVersion"), options.version},
        {QStringLiteral("CFBundleShortVersionString"), options.shortVersion.isEmpty() ? options.version : options.shortVersion}};
    if (!options.feedURL.isEmpty())
        info.append({QStringLiteral("SUFeedURL"), options.feedURL});
    if (!options.publicKey.isEmpty())
        info.append({QStringLiteral("SUPublicEDKey"), options.publicKey});
    if (!fixtures::writeInfoPlist(bundle + QStringLiteral("/Contents/Info.plist"), info)
        || !copyExecutable(fixtures::sleeperPath(), desktopExecutablePath(bundle))
        || !writeFile(bundle + QStringLiteral("/Contents/Resources/marker.txt"),
                      (options.marker.isEmpty() ? options.version : options.marker).toUtf8()))
        return {};

    if (!options.helperExecutable.isEmpty()) {
        const QString helperBundle = bundle + QStringLiteral("/Contents/Helpers/Mornix/VeltroMornix.app");
        if (!QDir().mkpath(helperBundle + QStringLiteral("/Contents/MacOS"))
            || !QDir().mkpath(helperBundle + QStringLiteral("/Contents/Resources"))
            || !QFile::copy(QStringLiteral(MORNIX_BUNDLE_DIR "/Contents/Info.plist"),
                            helperBundle + QStringLiteral("/Contents/Info.plist"))
            || !copyExecutable(options.helperExecutable, helperExecutablePath(bundle)))
            return {};
        if (!options.helperTeam.isEmpty() && !fixtures::sign(helperBundle, options.helperTeam))
            return {};
    }
    if (!options.team.isEmpty() && !fixtures::sign(bundle, options.team, options.identifier))
        return {};
    return bundle;
}

QString makeReleaseArchive(const QString &directory, const HostOptions &options)
{
    const QString root = directory + QStringLiteral("/release-") + options.version;
    if (!QDir().mkpath(root) || makeDesktopBundle(root, options).isEmpty())
        return {};
    const QString archive = directory + QStringLiteral("/Veltro-Desktop-") + options.version + QStringLiteral(".tar");
    const ProcessResult tar = runProcess(QStringLiteral("tar"), {QStringLiteral("-C"), root, QStringLiteral("-cf"), archive,
                                                                 kDesktopName + QStringLiteral(".app")});
    return tar.exitCode == 0 ? archive : QString();
}

QString bundleVersion(const QString &bundle)
{
    QFile file(bundle + QStringLiteral("/Contents/Info.plist"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QString text = QString::fromUtf8(file.readAll());
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral("<key>CFBundleVersion</key>\\s*<string>([^<]*)</string>")).match(text);
    return match.hasMatch() ? match.captured(1) : QString();
}

bool signatureValid(const QString &bundle)
{
    const ProcessResult result = runProcess(fixtures::codesignToolPath(),
                                            {QStringLiteral("--verify"), QStringLiteral("--anchors"), fixtures::anchorsPath(), bundle});
    return result.exitCode == 0;
}

QString ReleaseService::publicKey() const
{
    return QString::fromUtf8(admin({QStringLiteral("release"), QStringLiteral("key")}).standardOutput).trimmed();
}

bool ReleaseService::publish(const QString &version, const QString &archive, const QStringList &extra) const
{
    const ProcessResult result = admin(QStringList{QStringLiteral("release"), QStringLiteral("publish"), QStringLiteral("--version"),
                                                   version, QStringLiteral("--archive"), archive}
                                       + extra);
    if (result.exitCode != 0)
        qWarning("release publish failed: %s", result.standardError.constData());
    return result.exitCode == 0;
}

}  // namespace update_fixtures

}  // namespace mornix
