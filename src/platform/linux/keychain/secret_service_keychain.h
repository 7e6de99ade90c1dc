#pragma once

#include "platform/keychain.h"
#include "platform/linux/keychain/secret_service_client.h"

#include <QMutex>

namespace mornix {

// The keychain in the desktop's Secret Service (gnome-keyring, KWallet), through libsecret.
// Items carry the attributes service, account, class ("generic-password" or "key") and, for
// keys, tag (the application tag text). libsecret has no add-only call: add and update search
// first and write under the cross-process keychain lock. Key bytes are stored base64-encoded.
// Thread: any; calls block on D-Bus round trips (the first call connects to the bus).
class SecretServiceKeychain : public Keychain {
public:
    explicit SecretServiceKeychain(secret_service::Client client);

    int readGenericPassword(const QString &service, const QString &account, QByteArray &data) override;
    int addGenericPassword(const QString &service, const QString &account, const QByteArray &data) override;
    int updateGenericPassword(const QString &service, const QString &account, const QByteArray &data) override;
    int deleteGenericPassword(const QString &service, const QString &account) override;
    int readKey(const QByteArray &applicationTag, QByteArray &keyData) override;
    int addKey(const QByteArray &applicationTag, const QByteArray &keyData) override;
    int deleteKey(const QByteArray &applicationTag) override;

private:
    const secret_service::Client m_client;
    QMutex m_mutex;
};

}  // namespace mornix
