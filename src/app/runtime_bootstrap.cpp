#include "app/runtime_bootstrap.h"

#include "platform/bundle.h"
#include "platform/system_log.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>

#include <algorithm>
#include <vector>

namespace mornix {

namespace {

const QString kBundleName = QStringLiteral("VeltroMornix.app");
const QString kExecutableInBundle = QStringLiteral("Contents/MacOS/VeltroMornix");

bool hasExecutable(const QString &bundlePath)
{
    return QFileInfo::exists(QDir(bundlePath).filePath(kExecutableInBundle));
}

}  // namespace

RuntimeBootstrap::RuntimeBootstrap(const Bundle &bundle, QStringList arguments, SystemLog &log, OpenApplication open,
                                   QStringList searchRoots)
    : m_bundle(bundle)
    , m_arguments(std::move(arguments))
    , m_log(log)
    , m_open(std::move(open))
    , m_searchRoots(std::move(searchRoots))
{
}

QStringList RuntimeBootstrap::defaultSearchRoots()
{
    return {QDir::homePath() + QStringLiteral("/Library/Developer/Xcode/DerivedData")};
}

bool RuntimeBootstrap::relaunchBundledAppIfNeeded()
{
    if (m_bundle.bundleIdentifier() && m_bundle.bundlePath().endsWith(QLatin1String(".app")))
        return false;
    QString executablePath = m_bundle.executablePath();
    if (executablePath.isEmpty())
        executablePath = m_arguments.value(0);
    if (executablePath.isEmpty())
        return false;
    const std::optional<QString> bundle = locateBundledApp(executablePath);
    if (!bundle)
        return false;
    QString error;
    if (!m_open(*bundle, &error))
        m_log.error(QStringLiteral("failed to relaunch bundled app: %1").arg(error));
    return true;
}

std::optional<QString> RuntimeBootstrap::locateBundledApp(const QString &executablePath) const
{
    const QString sibling = QDir(QFileInfo(executablePath).absolutePath()).filePath(kBundleName);
    if (QFileInfo::exists(sibling) && hasExecutable(sibling))
        return QDir::cleanPath(sibling);

    struct Found {
        QString path;
        QDateTime modified;
    };
    std::vector<Found> found;
    for (const QString &root : m_searchRoots) {
        if (!QFileInfo(root).isDir())
            continue;
        // Hidden entries are skipped; links are not followed, so a link cycle cannot trap the walk.
        QDirIterator it(root, QDir::Dirs | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            const QFileInfo info = it.fileInfo();
            if (info.fileName() != kBundleName || !hasExecutable(path))
                continue;
            QDateTime modified = info.lastModified().toUTC();
            if (!modified.isValid())  // unreadable date: the distant past
                modified = QDateTime::fromSecsSinceEpoch(-62135596800LL, Qt::UTC);
            found.push_back(Found{path, modified});
        }
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const Found &a, const Found &b) { return a.modified > b.modified; });
    if (found.empty())
        return std::nullopt;
    return found.front().path;
}

bool RuntimeBootstrap::startBundleExecutable(const QString &bundlePath, QString *error)
{
    const QString program = QDir(bundlePath).filePath(kExecutableInBundle);
    if (!QProcess::startDetached(program, {}, bundlePath)) {
        if (error)
            *error = QStringLiteral("cannot start %1").arg(program);
        return false;
    }
    return true;
}

}  // namespace mornix
