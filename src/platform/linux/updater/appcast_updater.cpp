#include "platform/linux/updater/appcast_updater.h"

#include "platform/posix_files.h"
#include "platform/linux/updater/ed25519.h"
#include "platform/linux/updater/update_fetcher.h"
#include "support/blocking_call.h"
#include "support/text_cleaning.h"

#include <QFileInfo>

#include <QCoroFuture>

#include <unistd.h>

namespace mornix {

namespace {

QString bundleVersion(const BundleReader &reader, const QString &bundlePath, const QString &key)
{
    const std::optional<QVariant> value = reader.infoValue(bundlePath, key);
    return value && value->typeId() == QMetaType::QString ? value->toString().trimmed() : QString();
}

// A version from the feed, fit for the log.
QString shown(const QString &version)
{
    return sanitizeLog(version, 64);
}

}  // namespace

AppcastUpdater::AppcastUpdater(UpdaterHost host, Dependencies dependencies, QObject *parent)
    : QObject(parent)
    , m_host(std::move(host))
    , m_deps(std::move(dependencies))
    , m_installer(std::make_shared<BundleInstaller>(m_host.bundlePath, m_deps.modules, m_deps.stepHook))
    , m_fetcher(new UpdateFetcher(m_deps.extraTLSAnchorsPEM, m_deps.transferLimits, this))
{
}

AppcastUpdater::~AppcastUpdater()
{
    // A session cut short by the end of this object (its transfer goes with the fetcher); a
    // session's disk work in flight cleans up after itself.
    if (m_session && !m_diskWorkRunning)
        removeStaging();
}

void AppcastUpdater::removeStaging()
{
    QString error;
    if (!m_installer->recover(&error))
        log(SystemLog::Level::error, QStringLiteral("Veltro Desktop update cleanup: %1").arg(error));
}

void AppcastUpdater::log(SystemLog::Level level, const QString &message) const
{
    if (m_deps.systemLog)
        m_deps.systemLog->write(level, message);
}

bool AppcastUpdater::start(QString *error)
{
    if (m_host.publicEDKey.size() != 32 || m_host.feedURL.scheme() != QLatin1String("https")
        || m_host.feedURL.host().isEmpty() || !m_deps.prompt || !m_deps.bundleReader || !m_deps.codeSigning) {
        *error = QStringLiteral("the updater is not configured");
        return false;
    }
    // What an interrupted installation left behind goes before anything else happens.
    if (!m_installer->recover(error))
        return false;
    m_started = true;
    return true;
}

void AppcastUpdater::checkForUpdates()
{
    if (!canCheckForUpdates())
        return;
    m_checking = true;
    runCheck();
}

QCoro::Task<void> AppcastUpdater::runCheck()
{
    QPointer<AppcastUpdater> self(this);
    Outcome outcome = Outcome::failed;
    try {
        outcome = co_await check();
    } catch (const std::exception &failure) {
        if (self)
            log(SystemLog::Level::error,
                QStringLiteral("Veltro Desktop update failed: %1").arg(QString::fromUtf8(failure.what())));
    }
    if (!self)
        co_return;
    if (m_session)
        removeStaging();  // whatever way the session ended: nothing stays behind
    m_checking = false;
    m_session = false;
    m_lastOutcome = outcome;
    Q_EMIT checkFinished(outcome);
}

QCoro::Task<AppcastUpdater::Outcome> AppcastUpdater::check()
{
    QPointer<AppcastUpdater> self(this);
    log(SystemLog::Level::info, QStringLiteral("Veltro Desktop update check: %1").arg(m_host.feedURL.toString()));
    const QUrl feedURL = m_host.feedURL;
    const UpdateFetcher::Result feed = co_await m_fetcher->fetch(feedURL, appcast::kMaxFeedBytes);
    if (!self)
        co_return Outcome::failed;
    if (!feed.ok) {
        log(SystemLog::Level::error,
            QStringLiteral("Veltro Desktop update feed could not be read: %1").arg(feed.error));
        co_return Outcome::failed;
    }
    const std::optional<Appcast> parsed = appcast::parse(feed.body, m_host.feedURL);
    if (!parsed) {
        log(SystemLog::Level::error, QStringLiteral("Veltro Desktop update feed is malformed"));
        co_return Outcome::failed;
    }
    const QString current = bundleVersion(*m_deps.bundleReader, m_host.bundlePath, QStringLiteral("CFBundleVersion"));
    // An item that cannot be offered is said so, never passed over in silence.
    bool refusedNewer = false;
    for (const RefusedAppcastItem &refused : parsed->refused) {
        const QString label =
            refused.shortVersion.isEmpty() ? QStringLiteral("without a version") : shown(refused.shortVersion);
        log(SystemLog::Level::error, QStringLiteral("Veltro Desktop update %1 refused: %2").arg(label, refused.reason));
        if (refused.version.isEmpty() || current.isEmpty() || appcast::compareVersions(refused.version, current) > 0)
            refusedNewer = true;
    }
    const std::optional<AppcastItem> item = appcast::newest(parsed->items);
    if (!item || (!current.isEmpty() && appcast::compareVersions(item->version, current) <= 0)) {
        // Never a downgrade, never the same version again; and not "up to date" when what
        // could have been newer was refused.
        if (refusedNewer)
            co_return Outcome::refused;
        log(SystemLog::Level::info, QStringLiteral("Veltro Desktop is up to date (version %1)").arg(current));
        co_return Outcome::upToDate;
    }
    if (!item->archiveURL.isValid() || item->archiveURL.scheme() != QLatin1String("https")) {
        log(SystemLog::Level::error,
            QStringLiteral("Veltro Desktop update %1 refused: its archive is not served over HTTPS")
                .arg(shown(item->shortVersion)));
        co_return Outcome::refused;
    }

    UpdateOffer offer{
        item->version, item->shortVersion,
        bundleVersion(*m_deps.bundleReader, m_host.bundlePath, QStringLiteral("CFBundleShortVersionString"))};
    std::shared_ptr<UpdatePrompt> prompt = m_deps.prompt;
    const bool accepted = co_await prompt->askToInstall(offer);
    if (!self)
        co_return Outcome::failed;
    if (!accepted) {
        log(SystemLog::Level::info,
            QStringLiteral("Veltro Desktop update %1 postponed").arg(shown(item->shortVersion)));
        co_return Outcome::postponed;
    }
    const AppcastItem chosen = *item;
    co_return co_await install(chosen);
}

QCoro::Task<AppcastUpdater::Outcome> AppcastUpdater::install(AppcastItem item)
{
    QPointer<AppcastUpdater> self(this);
    m_session = true;
    if (m_deps.stepHook)
        m_deps.stepHook(QStringLiteral("session-started"));
    const auto refuse = [this, &item](const QString &why) {
        log(SystemLog::Level::error,
            QStringLiteral("Veltro Desktop update %1 refused: %2").arg(shown(item.shortVersion), why));
        removeStaging();
        return Outcome::refused;
    };

    auto archive = std::make_shared<posix::UniqueFd>();  // the archive, for the life of the session
    QString error;
    archive->reset(m_installer->createArchiveFile(&error));
    if (!archive->isValid())
        co_return refuse(error);

    const QUrl archiveURL = item.archiveURL;
    const UpdateFetcher::Result download = co_await m_fetcher->download(archiveURL, archive->get(), item.length);
    if (!self)
        co_return Outcome::failed;
    if (!download.ok)
        co_return refuse(QStringLiteral("download failed: %1").arg(download.error));
    if (m_deps.stepHook)
        m_deps.stepHook(QStringLiteral("downloaded"));

    // The disk work runs off the main thread; the session keeps the process alive meanwhile.
    struct Work {
        bool ok = false;
        QString error;
        QString format;  // as the archive's content says
    };
    const QByteArray publicKey = m_host.publicEDKey;
    const UpdaterHost host = m_host;
    std::shared_ptr<CodeSigning> codeSigning = m_deps.codeSigning;
    std::shared_ptr<BundleReader> reader = m_deps.bundleReader;
    std::shared_ptr<BundleInstaller> installer = m_installer;
    const BundleInstaller::StepHook stepHook = m_deps.stepHook;
    const auto installWork = [=]() -> Work {
        // The signature is checked over the very bytes that are then unpacked: the same
        // descriptor of a file in the private staging directory.
        if (!ed25519::verifyFile(publicKey, item.edSignature, archive->get()))
            return {false, QStringLiteral("the archive's Ed25519 signature does not verify"), {}};
        if (stepHook)
            stepHook(QStringLiteral("verified"));
        QString why;
        QString format;
        const std::optional<QString> unpacked = installer->unpack(archive->get(), &why, &format);
        if (!unpacked)
            return {false, why, format};
        const std::optional<QVariant> identifier = reader->infoValue(*unpacked, QStringLiteral("CFBundleIdentifier"));
        if (!identifier || identifier->toString() != host.requiredIdentifier)
            return {false, QStringLiteral("the new bundle has another identifier"), format};
        if (bundleVersion(*reader, *unpacked, QStringLiteral("CFBundleVersion")) != item.version)
            return {false, QStringLiteral("the new bundle's version is not the offered one"), format};
        if (!codeSigning->satisfies(*unpacked, CodeRequirement{host.requiredIdentifier, host.requiredTeamIdentifier}))
            return {false, QStringLiteral("the new bundle is not validly signed by the same team"), format};
        if (!installer->swapIntoPlace(*unpacked, &why))
            return {false, why, format};
        return {true, why, format};
    };
    // Unpacking, checking and swapping whole bundles blocks: on a thread of its own.
    QFuture<Work> future = startBlockingCall([installWork, installer]() -> Work {
        Work work = installWork();
        if (!work.ok) {
            QString ignored;
            installer->recover(&ignored);  // the unpacked tree goes here, off the main thread
        }
        return work;
    });
    m_diskWorkRunning = true;
    const Work work = co_await future;
    if (!self)
        co_return Outcome::failed;
    m_diskWorkRunning = false;
    // The content decides the format; a feed naming another one is only worth a note.
    if (!work.format.isEmpty())
        log(SystemLog::Level::info,
            QStringLiteral("Veltro Desktop update %1: a %2 archive").arg(shown(item.shortVersion), work.format));
    const QString hint = appcast::archiveFormatHint(item);
    if (!work.format.isEmpty() && !hint.isEmpty() && hint != work.format)
        log(SystemLog::Level::info,
            QStringLiteral("Veltro Desktop update %1: the archive is a %2 although its enclosure names %3")
                .arg(shown(item.shortVersion), work.format, hint));
    if (!work.ok)
        co_return refuse(work.error);
    if (!work.error.isEmpty())
        log(SystemLog::Level::error, QStringLiteral("Veltro Desktop update cleanup: %1").arg(work.error));
    log(SystemLog::Level::info, QStringLiteral("Veltro Desktop updated to %1").arg(shown(item.shortVersion)));
    co_return Outcome::installed;
}

}  // namespace mornix
