#pragma once

#include <QByteArray>
#include <QString>

namespace mornix {

// The user's keychain: generic-password items (service + account -> data) and key items
// (application tag -> private key bytes, PKCS#8 DER). Results are OSStatus-style codes so that
// callers keep the platform's semantics: 0 success, -25300 not found, -25299 duplicate.
//
// Thread: any. Every call may block (D-Bus round trips, file I/O, a lock shared with other
// processes); the agent keeps such calls off the main thread or short. Implementations are
// thread-safe. Construction is cheap: no bus connection or file access until the first call.
namespace keychain_status {
constexpr int success = 0;
constexpr int itemNotFound = -25300;           // errSecItemNotFound
constexpr int duplicateItem = -25299;          // errSecDuplicateItem
constexpr int notAvailable = -25291;           // errSecNotAvailable: no keychain could be reached
constexpr int interactionNotAllowed = -25308;  // errSecInteractionNotAllowed: locked collection
constexpr int invalidItem = -25295;            // stored item is unsafe (link, foreign owner, open mode)
constexpr int ioError = -36;                   // errSecIO
constexpr int missingEntitlement = -34018;     // errSecMissingEntitlement
}  // namespace keychain_status

class Keychain {
public:
    virtual ~Keychain() = default;

    // Generic passwords. read: 0 and the data, or -25300. add: add only, -25299 when the item
    // exists (also when another process races for the same item). update: only an existing
    // item's data, -25300 when there is none. remove: -25300 when there is none.
    virtual int readGenericPassword(const QString &service, const QString &account, QByteArray &data) = 0;
    virtual int addGenericPassword(const QString &service, const QString &account, const QByteArray &data) = 0;
    virtual int updateGenericPassword(const QString &service, const QString &account, const QByteArray &data) = 0;
    virtual int deleteGenericPassword(const QString &service, const QString &account) = 0;

    // Permanent private keys under an application tag, same codes as above.
    virtual int readKey(const QByteArray &applicationTag, QByteArray &keyData) = 0;
    virtual int addKey(const QByteArray &applicationTag, const QByteArray &keyData) = 0;
    virtual int deleteKey(const QByteArray &applicationTag) = 0;
};

}  // namespace mornix
