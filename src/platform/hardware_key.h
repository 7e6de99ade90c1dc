#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

namespace mornix {

// A signing key held by secure hardware (the Secure Enclave on macOS). Thread: any.
class HardwareKeyHandle {
public:
    virtual ~HardwareKeyHandle() = default;
    // The public key as an uncompressed X9.63 point (65 bytes for P-256); empty on failure.
    virtual QByteArray publicKeyX963() const = 0;
    // DER ECDSA signature over SHA-256 of the message; empty on failure (error in errorText).
    virtual QByteArray sign(const QByteArray &message, QString &errorText) const = 0;
};

// The secure-hardware key store. Results use the keychain's status codes
// (platform/keychain.h); missingEntitlement (-34018) means the hardware cannot be used by this
// process, which makes callers fall back to a software key.
//
// find: 0 and the key; -25300 when no key is stored; any other status means a key is stored
// but cannot be used now (hardware gone, cleared or locked out), and `errorText` says why for
// the user. Such a key is never replaced by a new one.
class HardwareKey {
public:
    struct CreateResult {
        std::shared_ptr<HardwareKeyHandle> key;  // set on success
        bool hasError = false;                   // an error object came back
        int errorCode = 0;
        QString errorDomain;
        QString errorDescription;
    };

    virtual ~HardwareKey() = default;
    virtual int find(const QByteArray &applicationTag, std::shared_ptr<HardwareKeyHandle> &key, QString &errorText) = 0;
    virtual CreateResult create(const QByteArray &applicationTag) = 0;
    virtual int remove(const QByteArray &applicationTag) = 0;
};

}  // namespace mornix
