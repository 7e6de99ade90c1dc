#pragma once

// A connection to a TPM 2.0 through the TSS Enhanced System API, reduced to what the device
// signing key needs. Plain C++ on purpose: the TSS headers are C and stay inside
// tpm_module.cpp, the bundle's module that alone links the TSS libraries.
//
// Thread: a Session is used by one thread at a time (callers serialise). Every transient
// object it loads is flushed again by flush() or the destructor, so nothing stays behind in a
// TPM without a resource manager (a simulator socket).

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace mornix {

namespace tpm {

enum class Failure {
    none,
    unreachable,  // no TPM device, access denied, no TCTI library, nothing answers at the address
    lockout,      // dictionary-attack lockout
    keyRejected,  // the stored key does not load under this TPM's storage key (TPM cleared or replaced)
    badBlob,      // the stored bytes are not a key of ours
    other,
};

struct Error {
    Failure failure = Failure::none;
    uint32_t code = 0;  // TSS response code (0 when the failure is not the TPM's)
    std::string text;   // decoded, for people
};

// The key's public area and the parent-encrypted private area as the TPM produced them, both
// marshalled (TPM2B_PUBLIC, TPM2B_PRIVATE). The private part is only meaningful to the TPM
// whose storage key it was created under.
struct KeyBlobs {
    std::vector<uint8_t> publicArea;
    std::vector<uint8_t> privateArea;

    // One byte string for storage: "VTK1", then both areas (each carries its own length).
    std::vector<uint8_t> serialize() const
    {
        std::vector<uint8_t> out{'V', 'T', 'K', '1'};
        out.insert(out.end(), publicArea.begin(), publicArea.end());
        out.insert(out.end(), privateArea.begin(), privateArea.end());
        return out;
    }
};

// The TCTI configuration used when the caller gives none: the kernel's resource manager.
inline constexpr const char *defaultTcti = "device:/dev/tpmrm0";

class Session {
public:
    virtual ~Session() = default;

    // Fails with Failure::lockout when the TPM is in dictionary-attack lockout.
    virtual bool checkNotInLockout(Error &error) = 0;
    // Creates a fresh signing key under the owner storage key and loads it.
    virtual bool createSigningKey(KeyBlobs &blobs, Error &error) = 0;
    // Loads stored blobs under the owner storage key.
    virtual bool loadSigningKey(const KeyBlobs &blobs, Error &error) = 0;
    // DER ECDSA signature (SEQUENCE of r, s) of a SHA-256 digest with the loaded key.
    virtual bool signDigest(const std::array<uint8_t, 32> &digest, std::vector<uint8_t> &der, Error &error) = 0;
    // Flushes the loaded key (and a storage key still loaded); the session stays open.
    virtual void flush() = 0;
    virtual bool hasKey() const = 0;
};

// The TSS stack as the bundle's module libmornix_tpm.so offers it (the table its entry returns).
// Thread: any; stateless.
class Stack {
public:
    // Connects through the TCTI loader ("name:configuration", e.g. "device:/dev/tpmrm0" or
    // "swtpm:host=127.0.0.1,port=2321"; empty: defaultTcti). nullptr and `error` on failure.
    virtual std::unique_ptr<Session> open(const std::string &tcti, Error &error) const = 0;
    // Strict: the magic, both areas unmarshal, nothing left over, and the public area is an
    // unrestricted non-duplicable P-256 ECDSA signing key.
    virtual bool parseKeyBlobs(const std::vector<uint8_t> &bytes, KeyBlobs &blobs, std::string &why) const = 0;
    // The public point as 0x04 || X || Y (65 bytes); empty when the area is not P-256.
    virtual std::vector<uint8_t> publicPointX963(const KeyBlobs &blobs) const = 0;

protected:
    ~Stack() = default;
};

inline constexpr const char *kModulePath = "Contents/PlugIns/libmornix_tpm.so";
inline constexpr const char *kModuleEntry = "mornix_tpm_module";
inline constexpr uint32_t kModuleInterfaceVersion = 1;

}  // namespace tpm

}  // namespace mornix
