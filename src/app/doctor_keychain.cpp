#include "app/doctor_keychain.h"

#include "platform/linux/keychain/file_keychain.h"
#include "platform/linux/keychain/secret_service_client.h"
#include "platform/linux/keychain/secret_service_keychain.h"
#include "platform/linux/keychain/secret_service_presence.h"
#include "platform/linux/modules/platform_modules.h"
#include "platform/linux/keychain/selecting_keychain.h"
#include "platform/posix_files.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mornix {

namespace {

constexpr qint64 kMaxItemBytes = 1 << 20;

// A directory of this user's, opened without following a link; nullopt-like invalid fd with
// *missing set when it does not exist, *problem set when it is unsafe.
posix::UniqueFd openOwnDirectory(const QString &path, bool *missing, QString *problem)
{
    *missing = false;
    posix::UniqueFd fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.isValid()) {
        if (errno == ENOENT)
            *missing = true;
        else
            *problem = QStringLiteral("cannot open %1: %2").arg(path, posix::errorText(errno));
        return fd;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        *problem = QStringLiteral("cannot examine %1: %2").arg(path, posix::errorText(errno));
        return posix::UniqueFd();
    }
    if (st.st_uid != ::getuid())
        *problem = QStringLiteral("%1 is owned by another user").arg(path);
    else if ((st.st_mode & 077) != 0)
        *problem = QStringLiteral("%1 is open to other users (mode %2)")
                       .arg(path)
                       .arg(st.st_mode & 0777, 4, 8, QLatin1Char('0'));
    if (!problem->isEmpty())
        return posix::UniqueFd();
    return fd;
}

// A keychain the doctor only reads: every write is refused.
class WriteRefusingKeychain : public Keychain {
public:
    int addGenericPassword(const QString &, const QString &, const QByteArray &) override
    {
        return keychain_status::notAvailable;
    }
    int updateGenericPassword(const QString &, const QString &, const QByteArray &) override
    {
        return keychain_status::notAvailable;
    }
    int deleteGenericPassword(const QString &, const QString &) override { return keychain_status::notAvailable; }
    int addKey(const QByteArray &, const QByteArray &) override { return keychain_status::notAvailable; }
    int deleteKey(const QByteArray &) override { return keychain_status::notAvailable; }
};

// The file store, read only: the same file names and checks as the store itself.
class ReadOnlyFileKeychain final : public WriteRefusingKeychain {
public:
    explicit ReadOnlyFileKeychain(QString directory)
        : m_directory(std::move(directory))
    {
    }

    int readGenericPassword(const QString &service, const QString &account, QByteArray &data) override
    {
        return read(FileKeychain::genericPasswordFileName(service, account), data);
    }
    int readKey(const QByteArray &applicationTag, QByteArray &keyData) override
    {
        return read(FileKeychain::keyFileName(applicationTag), keyData);
    }

private:
    int read(const QString &name, QByteArray &data) const
    {
        bool missing = false;
        QString problem;
        const posix::UniqueFd directory = openOwnDirectory(m_directory, &missing, &problem);
        if (missing)
            return keychain_status::itemNotFound;
        if (!directory.isValid())
            return keychain_status::notAvailable;
        const posix::OpenResult file =
            posix::openOwnFileAt(directory.get(), name, O_RDONLY, posix::ModeRule::requirePrivate);
        if (!file.ok())
            return file.error == ENOENT                     ? keychain_status::itemNotFound
                   : file.error == 0 || file.error == ELOOP ? keychain_status::invalidItem
                                                            : keychain_status::ioError;
        QByteArray bytes;
        if (!posix::readAll(file.fd.get(), kMaxItemBytes, &bytes))
            return keychain_status::ioError;
        data = bytes;
        return keychain_status::success;
    }

    const QString m_directory;
};

// Reads pass through; every write is refused.
class ReadOnlyKeychain final : public WriteRefusingKeychain {
public:
    explicit ReadOnlyKeychain(std::unique_ptr<Keychain> inner)
        : m_inner(std::move(inner))
    {
    }

    int readGenericPassword(const QString &service, const QString &account, QByteArray &data) override
    {
        return m_inner->readGenericPassword(service, account, data);
    }
    int readKey(const QByteArray &applicationTag, QByteArray &keyData) override
    {
        return m_inner->readKey(applicationTag, keyData);
    }

private:
    std::unique_ptr<Keychain> m_inner;
};

enum class Backend { none, secretService, file };

// Without a bus address and a runtime directory no session bus can be found, and GLib, asked
// anyway, creates the user's cache directory as a stand-in runtime directory: not asked then.
// Asked of the bus daemon, as the agent's own choice does: a Secret Service module that cannot be
// used must not make the Secret Service look absent (the agent then has no keychain at all).
bool busOffersSecretService(const RuntimeEnvironment &environment)
{
    if (environment.sessionBusAddress.isEmpty() && environment.runtimeDirectory.isEmpty())
        return false;
    return secret_service::sessionBusOffersSecretService();
}

// Why the Secret Service module cannot be used, or empty when it can (the loader keeps the verdict).
QString secretServiceModuleProblem(PlatformModules &modules)
{
    for (const ModuleSpec &module : PlatformModules::platformModules()) {
        if (!QLatin1String(module.relativePath).contains(QLatin1String("secret_service")))
            continue;
        const PlatformModules::Status status = modules.status(module);
        return status.state == PlatformModules::State::loaded ? QString() : status.reason;
    }
    return QStringLiteral("the Secret Service module is unknown to this build");
}

Backend parseBackend(const QByteArray &text)
{
    const QByteArray name = text.trimmed();
    if (name == SelectingKeychain::backendName(SelectingKeychain::Backend::secretService).toLatin1())
        return Backend::secretService;
    if (name == SelectingKeychain::backendName(SelectingKeychain::Backend::file).toLatin1())
        return Backend::file;
    return Backend::none;
}

bool fileStoreHoldsItems(const QString &directory)
{
    bool missing = false;
    QString problem;
    const posix::UniqueFd fd = openOwnDirectory(directory, &missing, &problem);
    if (!fd.isValid())
        return !missing;  // an unsafe store still holds this user's items as far as the agent knows
    return !QDir(directory)
                .entryList({QStringLiteral("genp.*"), QStringLiteral("key.*")}, QDir::Files | QDir::Hidden)
                .isEmpty();
}

}  // namespace

DoctorKeychain openDoctorKeychain(std::shared_ptr<PlatformModules> modules, const QString &dataDirectory,
                                  const RuntimeEnvironment &environment)
{
    DoctorKeychain result;
    const std::shared_ptr<PlatformModules> loader = modules;
    const secret_service::Client secretService(std::move(modules));
    const QString fileStore = dataDirectory + QStringLiteral("/keychain");

    Backend backend = parseBackend(environment.keychainBackend);
    if (backend != Backend::none) {
        result.choice = QStringLiteral("chosen by VELTRO_KEYCHAIN");
    } else if (dataDirectory.isEmpty()) {
        result.problem = QStringLiteral("the user has no data directory");
        return result;
    } else {
        const QString markerPath = dataDirectory + QLatin1Char('/') + QLatin1String(SelectingKeychain::markerFileName);
        const posix::OpenResult marker = posix::openOwnFile(markerPath, O_RDONLY, posix::ModeRule::requirePrivate);
        if (marker.ok()) {
            QByteArray text;
            if (!posix::readAll(marker.fd.get(), 256, &text)) {
                result.problem = QStringLiteral("cannot read %1: %2").arg(markerPath, posix::errorText(errno));
                return result;
            }
            backend = parseBackend(text);
            if (backend == Backend::none) {
                result.problem = QStringLiteral("%1 names no keychain backend").arg(markerPath);
                return result;
            }
            result.choice = QStringLiteral("recorded");
        } else if (marker.error != ENOENT) {
            result.problem = marker.description;
            return result;
        } else if (fileStoreHoldsItems(fileStore)) {
            backend = Backend::file;
            result.choice = QStringLiteral("holds this user's items, not yet recorded");
        } else {
            backend = busOffersSecretService(environment) ? Backend::secretService : Backend::file;
            result.choice = QStringLiteral("not yet recorded");
        }
    }

    if (backend == Backend::secretService) {
        result.backend = SelectingKeychain::backendName(SelectingKeychain::Backend::secretService);
        result.location = QStringLiteral("org.freedesktop.secrets");
        if (!busOffersSecretService(environment)) {
            result.problem = QStringLiteral("no Secret Service is reachable on the session bus");
            return result;
        }
        if (const QString why = secretServiceModuleProblem(*loader); !why.isEmpty()) {
            result.problem = QStringLiteral("the keychain is unavailable: ") + why;
            return result;
        }
        // Asking an activatable service would start it, and a keyring daemon makes its files.
        if (!secretService.running()) {
            result.problem = QStringLiteral("the Secret Service is not running; the doctor does not start it");
            return result;
        }
        result.keychain = std::make_shared<ReadOnlyKeychain>(std::make_unique<SecretServiceKeychain>(secretService));
        return result;
    }
    result.backend = SelectingKeychain::backendName(SelectingKeychain::Backend::file);
    result.location = fileStore;
    bool missing = false;
    QString problem;
    const posix::UniqueFd directory = openOwnDirectory(fileStore, &missing, &problem);
    if (!missing && !directory.isValid()) {
        result.problem = problem;
        return result;
    }
    result.keychain = std::make_shared<ReadOnlyFileKeychain>(fileStore);
    return result;
}

}  // namespace mornix
