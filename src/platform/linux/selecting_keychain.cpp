#include "platform/linux/selecting_keychain.h"

#include "platform/linux/file_keychain.h"
#include "platform/linux/secret_service_client.h"
#include "platform/linux/secret_service_keychain.h"

#include <QMutexLocker>

Keychain &SelectingKeychain::backend()
{
    QMutexLocker locker(&m_mutex);
    if (!m_backend) {
        const QByteArray forced = qgetenv("VELTRO_KEYCHAIN");
        bool useSecretService;
        if (forced == "secret-service")
            useSecretService = true;
        else if (forced == "file")
            useSecretService = false;
        else
            useSecretService = secret_service::available();
        if (useSecretService)
            m_backend = std::make_unique<SecretServiceKeychain>();
        else
            m_backend = std::make_unique<FileKeychain>();
    }
    return *m_backend;
}

int SelectingKeychain::readGenericPassword(const QString &service, const QString &account, QByteArray &data)
{
    return backend().readGenericPassword(service, account, data);
}

int SelectingKeychain::addGenericPassword(const QString &service, const QString &account, const QByteArray &data)
{
    return backend().addGenericPassword(service, account, data);
}

int SelectingKeychain::updateGenericPassword(const QString &service, const QString &account, const QByteArray &data)
{
    return backend().updateGenericPassword(service, account, data);
}

int SelectingKeychain::deleteGenericPassword(const QString &service, const QString &account)
{
    return backend().deleteGenericPassword(service, account);
}

int SelectingKeychain::readKey(const QByteArray &applicationTag, QByteArray &keyData)
{
    return backend().readKey(applicationTag, keyData);
}

int SelectingKeychain::addKey(const QByteArray &applicationTag, const QByteArray &keyData)
{
    return backend().addKey(applicationTag, keyData);
}

int SelectingKeychain::deleteKey(const QByteArray &applicationTag)
{
    return backend().deleteKey(applicationTag);
}
