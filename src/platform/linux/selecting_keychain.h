#pragma once

#include "platform/keychain.h"

#include <QMutex>

#include <memory>

// The production keychain: on first use picks the Secret Service when the session bus offers
// org.freedesktop.secrets, else the file store. VELTRO_KEYCHAIN=secret-service|file forces one.
// Construction touches nothing (the bridge's quick modes never connect to the bus).
// Thread: any.
class SelectingKeychain : public Keychain {
public:
    SelectingKeychain() = default;

    int readGenericPassword(const QString &service, const QString &account, QByteArray &data) override;
    int addGenericPassword(const QString &service, const QString &account, const QByteArray &data) override;
    int updateGenericPassword(const QString &service, const QString &account, const QByteArray &data) override;
    int deleteGenericPassword(const QString &service, const QString &account) override;
    int readKey(const QByteArray &applicationTag, QByteArray &keyData) override;
    int addKey(const QByteArray &applicationTag, const QByteArray &keyData) override;
    int deleteKey(const QByteArray &applicationTag) override;

private:
    Keychain &backend();

    QMutex m_mutex;
    std::unique_ptr<Keychain> m_backend;
};
