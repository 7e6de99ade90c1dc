#include "updates/desktop_updater.h"

#include "support/blocking_call.h"

#include <QDir>
#include <QPointer>
#include <QRegularExpression>

#include <QCoroFuture>

namespace mornix {

namespace {

const QString kNotConfigured = QStringLiteral("Veltro Desktop updates are not configured for this bundle");
const QString kCouldNotStart = QStringLiteral("Veltro Desktop updater could not start");

}  // namespace

DesktopUpdater::DesktopUpdater(bool checkNow, Dependencies dependencies, QObject *parent)
    : QObject(parent)
    , m_checkNow(checkNow)
    , m_deps(std::move(dependencies))
{
}

DesktopUpdater::~DesktopUpdater() = default;

QString DesktopUpdater::enclosingBundlePath(const QString &ownBundlePath)
{
    QString path = QDir::cleanPath(ownBundlePath);
    if (!path.startsWith(QLatin1Char('/')))
        return {};
    for (int i = 0; i < 4; ++i) {
        const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
        if (slash <= 0)
            return {};
        path.truncate(slash);
    }
    return path;
}

std::optional<UpdaterHost> DesktopUpdater::hostConfiguration(const BundleReader &reader, const QString &hostBundlePath)
{
    if (hostBundlePath.isEmpty())
        return std::nullopt;
    const std::optional<QVariant> identifier = reader.infoValue(hostBundlePath, QStringLiteral("CFBundleIdentifier"));
    if (!identifier || identifier->typeId() != QMetaType::QString || identifier->toString() != kDesktopBundleIdentifier)
        return std::nullopt;

    const std::optional<QVariant> feed = reader.infoValue(hostBundlePath, QStringLiteral("SUFeedURL"));
    if (!feed || feed->typeId() != QMetaType::QString)
        return std::nullopt;
    // The scheme exactly as written: QUrl would lower-case "HTTPS:".
    if (!feed->toString().startsWith(QLatin1String("https:")))
        return std::nullopt;
    const QUrl feedURL(feed->toString(), QUrl::StrictMode);
    if (!feedURL.isValid() || feedURL.scheme() != QLatin1String("https") || feedURL.host().isEmpty())
        return std::nullopt;

    const std::optional<QVariant> key = reader.infoValue(hostBundlePath, QStringLiteral("SUPublicEDKey"));
    if (!key || key->typeId() != QMetaType::QString)
        return std::nullopt;
    const QByteArray keyText = key->toString().toLatin1();
    if (key->toString().toLatin1() != key->toString().toUtf8() || keyText.size() % 4 != 0)
        return std::nullopt;
    const QByteArray::FromBase64Result decoded =
        QByteArray::fromBase64Encoding(keyText, QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != 32)
        return std::nullopt;

    UpdaterHost host;
    host.bundlePath = hostBundlePath;
    host.feedURL = feedURL;
    host.publicEDKey = decoded.decoded;
    host.requiredIdentifier = kDesktopBundleIdentifier;
    return host;
}

bool DesktopUpdater::verifyDesktopHost(CodeSigning &codeSigning, const QString &ownBundlePath,
                                       const QString &hostBundlePath, QString *team)
{
    const std::optional<SigningInformation> own = codeSigning.staticSigningInformation(ownBundlePath);
    if (!own)
        return false;
    static const QRegularExpression teamForm(QStringLiteral("^[A-Z0-9]{10}$"));
    if (!teamForm.match(own->teamIdentifier).hasMatch())
        return false;
    if (!codeSigning.satisfies(hostBundlePath, CodeRequirement{kDesktopBundleIdentifier, own->teamIdentifier}))
        return false;
    if (team)
        *team = own->teamIdentifier;
    return true;
}

void DesktopUpdater::notConfigured()
{
    m_deps.systemLog->error(kNotConfigured);
    m_deps.terminate();
}

QCoro::Task<void> DesktopUpdater::startDesktopUpdater()
{
    QPointer<DesktopUpdater> self(this);
    if (m_deps.configureUpdateNotifications)
        m_deps.configureUpdateNotifications();
    if (m_deps.setAccessoryPolicy)
        m_deps.setAccessoryPolicy();

    m_runtimeLock = m_deps.acquireLock();
    if (!m_runtimeLock) {
        // Another updater runs: it does the check that was asked for here.
        if (m_checkNow)
            m_deps.distributedNotifications->post(notification_names::desktopCheckForUpdates);
        m_deps.terminate();
        co_return;
    }

    // Observed from the moment the lock is held: a request that a second start hands over while
    // this one is still verifying the host is kept and served once the updater runs.
    m_deps.distributedNotifications->observe(notification_names::desktopCheckForUpdates, this, [self] {
        if (!self)
            return;
        if (self->m_updater)
            self->checkDesktopUpdates();
        else
            self->m_checkNow = true;
    });

    const QString ownBundle = m_deps.bundle->bundlePath();
    const QString hostBundle = enclosingBundlePath(ownBundle);
    std::optional<UpdaterHost> host = hostConfiguration(*m_deps.bundleReader, hostBundle);
    if (!host) {
        notConfigured();
        co_return;
    }
    // Signature checks hash whole bundles: off the main thread.
    std::shared_ptr<CodeSigning> codeSigning = m_deps.codeSigning;
    QFuture<QString> verification = startBlockingCall([codeSigning, ownBundle, hostBundle]() -> QString {
        QString team;
        return verifyDesktopHost(*codeSigning, ownBundle, hostBundle, &team) ? team : QString();
    });
    const QString team = co_await verification;
    if (!self)
        co_return;
    if (team.isEmpty()) {
        notConfigured();
        co_return;
    }
    host->requiredTeamIdentifier = team;

    m_updater = m_deps.makeUpdater(*host);
    QString error;
    if (!m_updater || !m_updater->start(&error)) {
        m_deps.systemLog->error(error.isEmpty() ? kCouldNotStart : kCouldNotStart + QStringLiteral(": ") + error);
        m_deps.terminate();
        co_return;
    }

    if (m_checkNow && m_updater->canCheckForUpdates())
        m_updater->checkForUpdates();

    m_updaterTimer = new QTimer(this);
    m_updaterTimer->setInterval(m_deps.watchInterval);
    connect(m_updaterTimer, &QTimer::timeout, this, &DesktopUpdater::watchHost);
    m_updaterTimer->start();
}

void DesktopUpdater::checkDesktopUpdates()
{
    if (m_updater && m_updater->canCheckForUpdates())
        m_updater->checkForUpdates();
}

void DesktopUpdater::watchHost()
{
    if (m_updater && m_updater->sessionInProgress())
        return;
    if (!m_deps.workspace->runningApplications(kDesktopBundleIdentifier).isEmpty())
        return;
    m_updaterTimer->stop();
    m_deps.terminate();
}

}  // namespace mornix
