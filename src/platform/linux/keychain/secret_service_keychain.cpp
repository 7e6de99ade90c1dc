#include "platform/linux/keychain/secret_service_keychain.h"
#include "platform/linux/platform_logging.h"

#include "platform/linux/keychain/secret_service_client.h"
#include "platform/posix_files.h"

#include <QLoggingCategory>
#include <QMutexLocker>

namespace mornix {

namespace {

constexpr const char *kGenericPassword = "generic-password";
constexpr const char *kKey = "key";

secret_service::Attributes passwordAttributes(const QString &service, const QString &account)
{
    return {{"service", service.toStdString()}, {"account", account.toStdString()}, {"class", kGenericPassword}};
}

secret_service::Attributes keyAttributes(const QByteArray &tag)
{
    return {{"class", kKey}, {"tag", tag.toStdString()}};
}

int toStatus(secret_service::Result result, const std::string &error)
{
    using secret_service::Result;
    if (result != Result::ok && result != Result::notFound)
        qCWarning(lcSecretService, "Secret Service call failed: %s", error.c_str());
    switch (result) {
    case Result::ok: return keychain_status::success;
    case Result::notFound: return keychain_status::itemNotFound;
    case Result::locked: return keychain_status::interactionNotAllowed;
    case Result::unavailable: return keychain_status::notAvailable;
    case Result::failed: return keychain_status::ioError;
    }
    return keychain_status::ioError;
}

// The lock every process of this user takes around check-and-add and the other writes, so
// they stay atomic across processes; waits until it is free. nullptr when it cannot be used.
std::unique_ptr<posix::LockFile> lockKeychain()
{
    QString problem;
    const QString base = posix::preparedDataDirectory(&problem);
    if (base.isEmpty()) {
        qCWarning(lcSecretService).noquote() << "data directory unusable:" << problem;
        return nullptr;
    }
    posix::LockAttempt attempt = posix::LockFile::acquire(base + QStringLiteral("/keychain.lock"),
                                                          posix::LockKind::OpenFile, posix::LockWait::Block);
    if (!attempt.ok())
        qCWarning(lcSecretService).noquote() << "keychain lock unusable:" << attempt.description;
    return std::move(attempt.lock);
}

int read(const secret_service::Client &client, const secret_service::Attributes &attributes, QByteArray &data)
{
    std::string secret;
    std::string error;
    const int status = toStatus(client.lookup(attributes, secret, error), error);
    if (status == keychain_status::success)
        data = QByteArray(secret.data(), static_cast<qsizetype>(secret.size()));
    return status;
}

int add(const secret_service::Client &client, const secret_service::Attributes &attributes, const std::string &label,
        const QByteArray &data)
{
    const std::unique_ptr<posix::LockFile> lock = lockKeychain();
    if (!lock)
        return keychain_status::notAvailable;
    std::string existing;
    std::string error;
    const secret_service::Result found = client.lookup(attributes, existing, error);
    if (found == secret_service::Result::ok)
        return keychain_status::duplicateItem;
    if (found != secret_service::Result::notFound)
        return toStatus(found, error);
    return toStatus(client.store(attributes, label, data.toStdString(), error), error);
}

int update(const secret_service::Client &client, const secret_service::Attributes &attributes, const QByteArray &data)
{
    const std::unique_ptr<posix::LockFile> lock = lockKeychain();
    if (!lock)
        return keychain_status::notAvailable;
    std::string error;
    return toStatus(client.replaceSecret(attributes, data.toStdString(), error), error);
}

int remove(const secret_service::Client &client, const secret_service::Attributes &attributes)
{
    const std::unique_ptr<posix::LockFile> lock = lockKeychain();
    if (!lock)
        return keychain_status::notAvailable;
    std::string error;
    return toStatus(client.remove(attributes, error), error);
}

}  // namespace

SecretServiceKeychain::SecretServiceKeychain(secret_service::Client client)
    : m_client(std::move(client))
{
}

int SecretServiceKeychain::readGenericPassword(const QString &service, const QString &account, QByteArray &data)
{
    QMutexLocker locker(&m_mutex);
    return read(m_client, passwordAttributes(service, account), data);
}

int SecretServiceKeychain::addGenericPassword(const QString &service, const QString &account, const QByteArray &data)
{
    QMutexLocker locker(&m_mutex);
    return add(m_client, passwordAttributes(service, account), (service + QLatin1Char(' ') + account).toStdString(),
               data);
}

int SecretServiceKeychain::updateGenericPassword(const QString &service, const QString &account, const QByteArray &data)
{
    QMutexLocker locker(&m_mutex);
    return update(m_client, passwordAttributes(service, account), data);
}

int SecretServiceKeychain::deleteGenericPassword(const QString &service, const QString &account)
{
    QMutexLocker locker(&m_mutex);
    return remove(m_client, passwordAttributes(service, account));
}

int SecretServiceKeychain::readKey(const QByteArray &applicationTag, QByteArray &keyData)
{
    QMutexLocker locker(&m_mutex);
    QByteArray encoded;
    const int status = read(m_client, keyAttributes(applicationTag), encoded);
    if (status == keychain_status::success)
        keyData = QByteArray::fromBase64(encoded);
    return status;
}

int SecretServiceKeychain::addKey(const QByteArray &applicationTag, const QByteArray &keyData)
{
    QMutexLocker locker(&m_mutex);
    return add(m_client, keyAttributes(applicationTag), applicationTag.toStdString(), keyData.toBase64());
}

int SecretServiceKeychain::deleteKey(const QByteArray &applicationTag)
{
    QMutexLocker locker(&m_mutex);
    return remove(m_client, keyAttributes(applicationTag));
}

}  // namespace mornix
