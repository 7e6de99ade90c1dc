#include "platform/linux/keychain/selecting_keychain.h"
#include "platform/linux/platform_logging.h"

#include "platform/linux/keychain/file_keychain.h"
#include "platform/linux/keychain/secret_service_client.h"
#include "platform/linux/keychain/secret_service_keychain.h"
#include "platform/linux/keychain/secret_service_presence.h"
#include "platform/posix_files.h"

#include <QDir>
#include <QLoggingCategory>
#include <QMutexLocker>

#include <cerrno>
#include <fcntl.h>

namespace mornix {

namespace {

// Every call fails: the backend that holds this user's items cannot be used now.
class UnavailableKeychain final : public Keychain {
public:
    int readGenericPassword(const QString &, const QString &, QByteArray &) override
    {
        return keychain_status::notAvailable;
    }
    int addGenericPassword(const QString &, const QString &, const QByteArray &) override
    {
        return keychain_status::notAvailable;
    }
    int updateGenericPassword(const QString &, const QString &, const QByteArray &) override
    {
        return keychain_status::notAvailable;
    }
    int deleteGenericPassword(const QString &, const QString &) override { return keychain_status::notAvailable; }
    int readKey(const QByteArray &, QByteArray &) override { return keychain_status::notAvailable; }
    int addKey(const QByteArray &, const QByteArray &) override { return keychain_status::notAvailable; }
    int deleteKey(const QByteArray &) override { return keychain_status::notAvailable; }
};

std::optional<SelectingKeychain::Backend> parseBackend(const QByteArray &text)
{
    const QByteArray name = text.trimmed();
    if (name == "secret-service")
        return SelectingKeychain::Backend::secretService;
    if (name == "file")
        return SelectingKeychain::Backend::file;
    return std::nullopt;
}

struct Marker {
    std::optional<SelectingKeychain::Backend> backend;  // none and no problem: no marker yet
    QString problem;
};

Marker readMarker(const QString &directory)
{
    Marker marker;
    if (directory.isEmpty()) {
        marker.problem = QStringLiteral("the user has no usable data directory");
        return marker;
    }
    const QString path = directory + QLatin1Char('/') + QLatin1String(SelectingKeychain::markerFileName);
    const posix::OpenResult file = posix::openOwnFile(path, O_RDONLY, posix::ModeRule::requirePrivate);
    if (!file.ok()) {
        if (file.error != ENOENT)
            marker.problem = file.description;
        return marker;
    }
    QByteArray text;
    if (!posix::readAll(file.fd.get(), 256, &text)) {
        marker.problem = QStringLiteral("cannot read %1: %2").arg(path, posix::errorText(errno));
        return marker;
    }
    marker.backend = parseBackend(text);
    if (!marker.backend)
        marker.problem = QStringLiteral("%1 names no keychain backend").arg(path);
    return marker;
}

bool fileStoreHoldsItems(const QString &keychainDirectory)
{
    const QDir dir(keychainDirectory);
    return !dir.entryList({QStringLiteral("genp.*"), QStringLiteral("key.*")}, QDir::Files | QDir::Hidden).isEmpty();
}

}  // namespace

SelectingKeychain::SelectingKeychain(secret_service::Client secretService, std::optional<Backend> forced,
                                     QString dataDirectory)
    : m_secretService(std::move(secretService))
    , m_forced(forced)
    , m_dataDirectory(std::move(dataDirectory))
{
}

std::optional<SelectingKeychain::Backend> SelectingKeychain::backendInUse() const
{
    {
        QMutexLocker published(&m_inUseMutex);
        if (m_inUse)
            return m_inUse;
    }
    return m_forced;
}

std::optional<SelectingKeychain::Backend> SelectingKeychain::parseBackendName(const QByteArray &text)
{
    return parseBackend(text);
}

QString SelectingKeychain::backendName(Backend backend)
{
    return backend == Backend::secretService ? QStringLiteral("secret-service") : QStringLiteral("file");
}

Keychain &SelectingKeychain::backend()
{
    if (m_backend)
        return *m_backend;

    const auto make = [this](Backend choice) {
        m_choice = choice;
        {
            QMutexLocker published(&m_inUseMutex);
            m_inUse = choice;
        }
        if (choice == Backend::secretService)
            m_backend = std::make_unique<SecretServiceKeychain>(m_secretService);
        else
            m_backend = std::make_unique<FileKeychain>(
                m_dataDirectory.isEmpty() ? QString() : m_dataDirectory + QStringLiteral("/keychain"));
    };
    const auto unavailable = [this](const QString &why) {
        qCCritical(lcKeychainChoice).noquote()
            << "keychain unavailable:" << why << "- running signed out; nothing is created in another keychain";
        m_backend = std::make_unique<UnavailableKeychain>();
    };

    // The module first, the bus second: a module that cannot be used says so even when the
    // Secret Service is away too.
    const auto secretServiceProblem = [this]() -> QString {
        std::string problem;
        if (!m_secretService.usable(problem))
            return QString::fromStdString(problem);
        QString why;
        if (!secret_service::sessionBusOffersSecretService(&why))
            return QStringLiteral("no Secret Service is reachable on the session bus (%1)").arg(why);
        return QString();
    };

    if (const std::optional<Backend> forced = m_forced) {
        if (*forced == Backend::secretService) {
            std::string problem;
            if (!m_secretService.usable(problem)) {
                unavailable(QStringLiteral("VELTRO_KEYCHAIN names the Secret Service, and ")
                            + QString::fromStdString(problem));
                return *m_backend;
            }
        }
        make(*forced);
        m_recorded = true;
        return *m_backend;
    }

    if (m_dataDirectory.isEmpty()) {
        QString problem;
        m_dataDirectory = posix::preparedDataDirectory(&problem);
        if (m_dataDirectory.isEmpty())
            qCWarning(lcKeychainChoice).noquote() << "data directory unusable:" << problem;
    }
    const Marker marker = readMarker(m_dataDirectory);
    if (!marker.problem.isEmpty()) {
        unavailable(marker.problem);
        return *m_backend;
    }
    if (marker.backend) {
        if (*marker.backend == Backend::secretService) {
            if (const QString problem = secretServiceProblem(); !problem.isEmpty()) {
                unavailable(QStringLiteral("this user's items are in the Secret Service (recorded in %1/%2), and %3")
                                .arg(m_dataDirectory, QLatin1String(markerFileName), problem));
                return *m_backend;
            }
        }
        make(*marker.backend);
        m_recorded = true;
        return *m_backend;
    }

    // Nothing recorded yet. Items left in the file store by an earlier version stay where they are.
    if (fileStoreHoldsItems(m_dataDirectory + QStringLiteral("/keychain"))) {
        make(Backend::file);
        recordBackend();
        return *m_backend;
    }
    // The bus decides, not the module: with a Secret Service on the bus this user's items belong
    // there, and a module that cannot reach it is a fault, never a reason to use the file store.
    QString why;
    if (!secret_service::sessionBusOffersSecretService(&why)) {
        qCInfo(lcKeychainChoice).noquote() << QStringLiteral("%1: the keychain is the file store").arg(why);
        make(Backend::file);
        return *m_backend;
    }
    std::string problem;
    if (!m_secretService.usable(problem)) {
        unavailable(QStringLiteral("a Secret Service is on the session bus, and ") + QString::fromStdString(problem));
        return *m_backend;
    }
    make(Backend::secretService);
    return *m_backend;
}

void SelectingKeychain::recordBackend()
{
    if (m_recorded || !m_choice)
        return;
    const posix::OpenResult dir = posix::openPrivateDirectory(m_dataDirectory, posix::ModeRule::makePrivate);
    const QString error = dir.ok() ? posix::replaceFileAt(dir.fd.get(), QLatin1String(markerFileName),
                                                          backendName(*m_choice).toUtf8() + '\n')
                                   : dir.description;
    if (!error.isEmpty()) {
        qCWarning(lcKeychainChoice).noquote() << "cannot record the keychain backend:" << error;
        return;
    }
    qCInfo(lcKeychainChoice).noquote() << "this user's keychain items are kept in" << backendName(*m_choice);
    m_recorded = true;
}

int SelectingKeychain::noted(int status)
{
    if (status == keychain_status::success || status == keychain_status::duplicateItem)
        recordBackend();
    return status;
}

int SelectingKeychain::readGenericPassword(const QString &service, const QString &account, QByteArray &data)
{
    QMutexLocker locker(&m_mutex);
    return noted(backend().readGenericPassword(service, account, data));
}

int SelectingKeychain::addGenericPassword(const QString &service, const QString &account, const QByteArray &data)
{
    QMutexLocker locker(&m_mutex);
    return noted(backend().addGenericPassword(service, account, data));
}

int SelectingKeychain::updateGenericPassword(const QString &service, const QString &account, const QByteArray &data)
{
    QMutexLocker locker(&m_mutex);
    return noted(backend().updateGenericPassword(service, account, data));
}

int SelectingKeychain::deleteGenericPassword(const QString &service, const QString &account)
{
    QMutexLocker locker(&m_mutex);
    return backend().deleteGenericPassword(service, account);
}

int SelectingKeychain::readKey(const QByteArray &applicationTag, QByteArray &keyData)
{
    QMutexLocker locker(&m_mutex);
    return noted(backend().readKey(applicationTag, keyData));
}

int SelectingKeychain::addKey(const QByteArray &applicationTag, const QByteArray &keyData)
{
    QMutexLocker locker(&m_mutex);
    return noted(backend().addKey(applicationTag, keyData));
}

int SelectingKeychain::deleteKey(const QByteArray &applicationTag)
{
    QMutexLocker locker(&m_mutex);
    return backend().deleteKey(applicationTag);
}

}  // namespace mornix
