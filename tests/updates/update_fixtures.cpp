#include "update_fixtures.h"

#include "platform/linux/codesign/cms_code_signing.h"
#include "platform/linux/bundle/plist_bundle_reader.h"
#include "support/bundle_modules.h"
#include "support/config.h"
#include "support/info_plist_writer.h"
#include "support/signed_fixtures.h"
#include "support/test_files.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>

using namespace Qt::StringLiterals;

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
    return desktopBundle + u"/Contents/MacOS/"_s + kDesktopName;
}

QString helperExecutablePath(const QString &desktopBundle)
{
    return desktopBundle + u"/Contents/Helpers/Mornix/VeltroMornix.app/Contents/MacOS/VeltroMornix"_s;
}

QString makeDesktopBundle(const QString &directory, const HostOptions &options)
{
    const QString bundle = directory + u'/' + kDesktopName + u".app"_s;
    if (!QDir().mkpath(bundle + u"/Contents/MacOS"_s) || !QDir().mkpath(bundle + u"/Contents/Resources"_s))
        return {};
    fixtures::InfoEntries info{{u"CFBundleIdentifier"_s, options.identifier},
                               {u"CFBundleName"_s, kDesktopName},
                               {u"CFBundleExecutable"_s, kDesktopName},
                               {u"CFBundleVersion"_s, options.version},
                               {u"CFBundleShortVersionString"_s, options.version}};
    if (!options.feedURL.isEmpty())
        info.append({u"SUFeedURL"_s, options.feedURL});
    if (!options.publicKey.isEmpty())
        info.append({u"SUPublicEDKey"_s, options.publicKey});
    if (!fixtures::writeInfoPlist(bundle + u"/Contents/Info.plist"_s, info)
        || !copyExecutable(fixtures::sleeperPath(), desktopExecutablePath(bundle))
        || !writeFile(bundle + u"/Contents/Resources/marker.txt"_s, options.version.toUtf8()))
        return {};

    if (!options.helperExecutable.isEmpty()) {
        const QString helperBundle = bundle + u"/Contents/Helpers/Mornix/VeltroMornix.app"_s;
        if (!QDir().mkpath(helperBundle + u"/Contents/MacOS"_s)
            || !QDir().mkpath(helperBundle + u"/Contents/Resources"_s)
            || !QFile::copy(QStringLiteral(MORNIX_BUNDLE_DIR "/Contents/Info.plist"),
                            helperBundle + u"/Contents/Info.plist"_s)
            || !copyExecutable(options.helperExecutable, helperExecutablePath(bundle)))
            return {};
        const QString module = helperBundle + u"/Contents/PlugIns/libmornix_archive.so"_s;
        if (options.archiveModule
            && (!QDir().mkpath(helperBundle + u"/Contents/PlugIns"_s)
                || !QFile::copy(QStringLiteral(MORNIX_BUNDLE_DIR "/Contents/PlugIns/libmornix_archive.so"), module)))
            return {};
        if (!options.helperTeam.isEmpty() && !fixtures::sign(helperBundle, options.helperTeam))
            return {};
    }
    if (!options.team.isEmpty() && !fixtures::sign(bundle, options.team, options.identifier))
        return {};
    return bundle;
}

QString makeReleaseArchive(const QString &directory, const HostOptions &options, const QString &format)
{
    const QString root = directory + u"/release-"_s + options.version;
    if (!QDir().mkpath(root) || makeDesktopBundle(root, options).isEmpty())
        return {};
    const QString archive = directory + u"/Veltro-Desktop-"_s + options.version + u'.' + format;
    const QString bundle = kDesktopName + u".app"_s;
    if (format == "zip"_L1) {
        static const QString script = QStringLiteral(R"PY(
import os, stat, sys, zipfile
root, bundle, out = sys.argv[1], sys.argv[2], sys.argv[3]
with zipfile.ZipFile(out, 'w', zipfile.ZIP_DEFLATED) as z:
    top = zipfile.ZipInfo(bundle + '/')
    top.external_attr = ((stat.S_IFDIR | 0o755) << 16) | 0x10
    z.writestr(top, b'')
    for folder, dirs, files in os.walk(os.path.join(root, bundle)):
        for name in sorted(dirs) + sorted(files):
            path = os.path.join(folder, name)
            info = zipfile.ZipInfo(os.path.relpath(path, root) + ('/' if name in dirs else ''))
            mode = os.lstat(path).st_mode
            info.external_attr = (mode << 16) | (0x10 if stat.S_ISDIR(mode) else 0)
            info.compress_type = zipfile.ZIP_DEFLATED
            data = b'' if stat.S_ISDIR(mode) else os.readlink(path).encode() if stat.S_ISLNK(mode) else open(path, 'rb').read()
            z.writestr(info, data)
)PY");
        return runPython(script, {root, bundle, archive}).exitCode == 0 ? archive : QString();
    }
    const QString flags = format == "tar.gz"_L1 ? u"-czf"_s : format == "tar.xz"_L1 ? u"-cJf"_s : u"-cf"_s;
    const ProcessResult tar = runProcess(u"tar"_s, {u"-C"_s, root, flags, archive, bundle});
    return tar.exitCode == 0 ? archive : QString();
}

QString bundleVersion(const QString &bundle)
{
    QFile file(bundle + u"/Contents/Info.plist"_s);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QString text = QString::fromUtf8(file.readAll());
    const QRegularExpressionMatch match =
        QRegularExpression(u"<key>CFBundleVersion</key>\\s*<string>([^<]*)</string>"_s).match(text);
    return match.hasMatch() ? match.captured(1) : QString();
}

bool signatureValid(const QString &bundle)
{
    const ProcessResult result =
        runProcess(fixtures::codesignToolPath(), {u"--verify"_s, u"--anchors"_s, fixtures::anchorsPath(), bundle});
    return result.exitCode == 0;
}

std::unique_ptr<AppcastUpdater> startUpdater(const QString &bundle, const QString &feedURL, const QString &key,
                                             std::shared_ptr<SystemLog> log, std::shared_ptr<UpdatePrompt> prompt,
                                             QStringList *steps, TransferLimits limits)
{
    UpdaterHost host{bundle, QUrl(feedURL), QByteArray::fromBase64(key.toLatin1()), kDesktopIdentifier,
                     fixtures::kOwnTeam};
    AppcastUpdater::Dependencies deps;
    deps.systemLog = std::move(log);
    deps.bundleReader = std::make_shared<PlistBundleReader>();
    deps.codeSigning = std::make_shared<CmsCodeSigning>(Config::defaults().codeSigningAnchorsPEM);
    deps.prompt = std::move(prompt);
    deps.modules = buildBundleModules();
    deps.extraTLSAnchorsPEM = Config::defaults().extraTLSAnchorsPEM;
    if (steps)
        deps.stepHook = [steps](const QString &step) { steps->append(step); };
    deps.transferLimits = limits;
    auto updater = std::make_unique<AppcastUpdater>(host, std::move(deps));
    QString error;
    if (!updater->start(&error)) {
        qWarning("the updater did not start: %s", qPrintable(error));
        return nullptr;
    }
    return updater;
}

AppcastUpdater::Outcome checkOnce(AppcastUpdater &updater)
{
    QSignalSpy finished(&updater, &AppcastUpdater::checkFinished);
    updater.checkForUpdates();
    if (updater.canCheckForUpdates())  // no second check while one runs
        return AppcastUpdater::Outcome::none;
    return finished.wait(60000) ? updater.lastOutcome() : AppcastUpdater::Outcome::none;
}

QString ReleaseService::publicKey() const
{
    return QString::fromUtf8(admin({u"release"_s, u"key"_s}).standardOutput).trimmed();
}

bool ReleaseService::publish(const QString &version, const QString &archive, const QStringList &extra) const
{
    const ProcessResult result =
        admin(QStringList{u"release"_s, u"publish"_s, u"--version"_s, version, u"--archive"_s, archive} + extra);
    if (result.exitCode != 0)
        qWarning("release publish failed: %s", result.standardError.constData());
    return result.exitCode == 0;
}

}  // namespace update_fixtures

}  // namespace mornix
