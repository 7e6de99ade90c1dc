#pragma once

#include "platform/hardware_key.h"
#include "platform/keychain.h"

#include <QMutex>
#include <QString>

#include <memory>

namespace mornix {

class PlatformModules;
namespace tpm {
class Stack;
struct Error;
}  // namespace tpm

// The device signing key inside the TPM 2.0: a non-duplicable P-256 ECDSA key created under the
// owner hierarchy's storage key. The TPM hands out the key only as a public area and a private
// area encrypted by its storage key; both are kept in the keychain as one key item under the
// application tag, and the key is loaded into the TPM again whenever it is needed.
//
// Where no TPM can be used (no device, access denied, no TCTI library, nothing at the configured
// address) creation reports missingEntitlement, so callers use the software key. A stored key
// that no longer loads is reported, never replaced.
//
// The TPM is reached through the TCTI loader: the configuration given to the constructor (in the
// agent VELTRO_TPM_TCTI, e.g. "swtpm:host=127.0.0.1,port=2321"), else the kernel resource
// manager "device:/dev/tpmrm0". The TSS libraries live in the bundle's TPM module, loaded on the
// first operation; their own logging is set by the composition root (TSS2_LOG). A module that
// cannot be used (missing, not sealed, signed by another team) is an installation fault, not a
// machine without a TPM: find and create fail with notAvailable and a text naming the module, so
// no software key is made in its place.
//
// Thread: any; operations block on the TPM (tens of milliseconds to a second) and the keychain.
// A loaded key keeps its TPM connection open until the last handle to it is gone or the key is
// removed; within one process all handles share that connection.
class TpmHardwareKey : public HardwareKey {
public:
    TpmHardwareKey(std::shared_ptr<Keychain> keychain, std::shared_ptr<PlatformModules> modules, QString tcti = {});
    ~TpmHardwareKey() override;

    int find(const QByteArray &applicationTag, std::shared_ptr<HardwareKeyHandle> &key, QString &errorText) override;
    CreateResult create(const QByteArray &applicationTag) override;
    // Deletes the key item and flushes the loaded key from the TPM (handles still held fail).
    int remove(const QByteArray &applicationTag) override;

    QString tcti() const { return m_tcti; }

    class LoadedKey;

private:
    // The TPM module's stack; null with `error` (unreachable) when the module cannot be used.
    const tpm::Stack *stack(tpm::Error &error) const;
    int findLocked(const QByteArray &applicationTag, std::shared_ptr<HardwareKeyHandle> &key, QString &errorText);

    std::shared_ptr<Keychain> m_keychain;
    std::shared_ptr<PlatformModules> m_modules;
    QString m_tcti;
    QMutex m_mutex;
    QByteArray m_loadedRecord;  // the stored bytes m_loaded was loaded from
    std::weak_ptr<LoadedKey> m_loaded;
};

}  // namespace mornix
