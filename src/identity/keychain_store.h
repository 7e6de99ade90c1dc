#pragma once

#include "identity/credential_records.h"
#include "platform/keychain.h"

#include <QString>

#include <memory>
#include <optional>

namespace mornix {

// The program's secret records in the user's keychain: one generic-password item per record,
// service "ai.veltro.mornix", holding the record's JSON. Every operation goes to the keychain
// (no cache). Failures throw IdentityError (domains "KeychainStore" and "BrokerGrant") or, for a
// stored blob that does not decode, the DecodingError of the decoder; the item stays in place.
//
// Thread: any; calls are synchronous and may block briefly on the keychain (D-Bus or file
// I/O). In the agent, call them from the main thread only for single short operations.
class KeychainStore {
public:
    static inline const QString service = QStringLiteral("ai.veltro.mornix");
    static inline const QString credentialsAccount = QStringLiteral("device-credentials");
    static inline const QString brokerGrantAccount = QStringLiteral("claude-broker-grant");
    static inline const QString pendingClaimAccount = QStringLiteral("pending-claim");

    explicit KeychainStore(std::shared_ptr<Keychain> keychain);

    // The stored bytes of an item, or nullopt when it does not exist.
    std::optional<QByteArray> loadItemData(const QString &account) const;
    template <typename Record>
    std::optional<Record> loadItem(const QString &account) const
    {
        const std::optional<QByteArray> data = loadItemData(account);
        if (!data)
            return std::nullopt;
        return Record::decode(*data);
    }
    // Update the data, else add (update-or-add).
    void saveItemData(const QByteArray &data, const QString &account) const;
    template <typename Record>
    void saveItem(const Record &record, const QString &account) const
    {
        saveItemData(record.encoded(), account);
    }
    // A missing item is success.
    void clearItem(const QString &account) const;

    std::optional<DeviceCredentials> loadCredentials() const;
    void saveCredentials(const DeviceCredentials &credentials) const;
    // Add only: an existing item fails with code -25299, "Failed to create device credentials.".
    void createCredentials(const DeviceCredentials &credentials) const;
    void clearCredentials() const;

    std::optional<BrokerGrant> loadBrokerGrant() const;
    // Both refuse an invalid grant (domain "BrokerGrant", code 1) before touching the keychain;
    // keychain failures have domain "BrokerGrant" and the status as code.
    void createBrokerGrant(const BrokerGrant &grant) const;
    void updateBrokerGrant(const BrokerGrant &grant) const;

    std::optional<PendingClaimState> loadPendingClaim() const;
    void savePendingClaim(const PendingClaimState &claim) const;
    void clearPendingClaim() const;

private:
    std::shared_ptr<Keychain> m_keychain;
};

}  // namespace mornix
