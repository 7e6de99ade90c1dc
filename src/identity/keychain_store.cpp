#include "identity/keychain_store.h"

#include "identity/identity_error.h"

namespace mornix {

namespace {

IdentityError storeError(int status, const QString &format)
{
    return IdentityError(error_domain::keychainStore, status, format.arg(status));
}

}  // namespace

KeychainStore::KeychainStore(std::shared_ptr<Keychain> keychain)
    : m_keychain(std::move(keychain))
{
}

std::optional<QByteArray> KeychainStore::loadItemData(const QString &account) const
{
    QByteArray data;
    const int status = m_keychain->readGenericPassword(service, account, data);
    if (status == keychain_status::itemNotFound)
        return std::nullopt;
    if (status != keychain_status::success)
        throw storeError(status, QStringLiteral("Failed to read Keychain item (%1)."));
    return data;
}

void KeychainStore::saveItemData(const QByteArray &data, const QString &account) const
{
    const int status = m_keychain->updateGenericPassword(service, account, data);
    if (status == keychain_status::success)
        return;
    if (status != keychain_status::itemNotFound)
        throw storeError(status, QStringLiteral("Failed to update Keychain item (%1)."));
    const int added = m_keychain->addGenericPassword(service, account, data);
    if (added != keychain_status::success)
        throw storeError(added, QStringLiteral("Failed to create Keychain item (%1)."));
}

void KeychainStore::clearItem(const QString &account) const
{
    const int status = m_keychain->deleteGenericPassword(service, account);
    if (status != keychain_status::success && status != keychain_status::itemNotFound)
        throw storeError(status, QStringLiteral("Failed to delete Keychain item (%1)."));
}

std::optional<DeviceCredentials> KeychainStore::loadCredentials() const
{
    return loadItem<DeviceCredentials>(credentialsAccount);
}

void KeychainStore::saveCredentials(const DeviceCredentials &credentials) const
{
    saveItem(credentials, credentialsAccount);
}

void KeychainStore::createCredentials(const DeviceCredentials &credentials) const
{
    const int status = m_keychain->addGenericPassword(service, credentialsAccount, credentials.encoded());
    if (status != keychain_status::success)
        throw IdentityError(error_domain::keychainStore, status,
                            QStringLiteral("Failed to create device credentials."));
}

void KeychainStore::clearCredentials() const
{
    clearItem(credentialsAccount);
}

std::optional<BrokerGrant> KeychainStore::loadBrokerGrant() const
{
    return loadItem<BrokerGrant>(brokerGrantAccount);
}

void KeychainStore::createBrokerGrant(const BrokerGrant &grant) const
{
    if (!grant.isValid())
        throw IdentityError(error_domain::brokerGrant, 1);
    const int status = m_keychain->addGenericPassword(service, brokerGrantAccount, grant.encoded());
    if (status != keychain_status::success)
        throw IdentityError(error_domain::brokerGrant, status);
}

void KeychainStore::updateBrokerGrant(const BrokerGrant &grant) const
{
    if (!grant.isValid())
        throw IdentityError(error_domain::brokerGrant, 1);
    const int status = m_keychain->updateGenericPassword(service, brokerGrantAccount, grant.encoded());
    if (status != keychain_status::success)
        throw IdentityError(error_domain::brokerGrant, status);
}

std::optional<PendingClaimState> KeychainStore::loadPendingClaim() const
{
    return loadItem<PendingClaimState>(pendingClaimAccount);
}

void KeychainStore::savePendingClaim(const PendingClaimState &claim) const
{
    saveItem(claim, pendingClaimAccount);
}

void KeychainStore::clearPendingClaim() const
{
    clearItem(pendingClaimAccount);
}

}  // namespace mornix
