#pragma once

// A connection to a TPM 2.0 through the TSS Enhanced System API, reduced to what the device
// signing key needs. Plain C++ on purpose: the TSS headers are C and stay inside
// tpm_session.cpp, away from Qt.
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
    unreachable,   // no TPM device, access denied, no TCTI library, nothing answers at the address
    lockout,       // dictionary-attack lockout
    keyRejected,   // the stored key does not load under this TPM's storage key (TPM cleared or replaced)
    badBlob,       // the stored bytes are not a key of ours
    other,
};

struct Error {
    Failure failure = Failure::none;
    uint32_t code = 0;        // TSS response code (0 when the failure is not the TPM's)
    std::string text;         // decoded, for people
};

// The key's public area and the parent-encrypted private area as the TPM produced them, both
// marshalled (TPM2B_PUBLIC, TPM2B_PRIVATE). The private part is only meaningful to the TPM
// whose storage key it was created under.
struct KeyBlobs {
    std::vector<uint8_t> publicArea;
    std::vector<uint8_t> privateArea;

    // One byte string for storage: "VTK1", then both areas (each carries its own length).
    std::vector<uint8_t> serialize() const;
    // Strict: the magic, both areas unmarshal, nothing left over, and the public area is an
    // unrestricted non-duplicable P-256 ECDSA signing key.
    static bool parse(const std::vector<uint8_t> &bytes, KeyBlobs &blobs, std::string &why);
    // The public point as 0x04 || X || Y (65 bytes); empty when the area is not P-256.
    std::vector<uint8_t> publicPointX963() const;
};

// The TCTI configuration used when the caller gives none: the kernel's resource manager.
inline constexpr const char *defaultTcti = "device:/dev/tpmrm0";

class Session {
public:
    // Connects through the TCTI loader ("name:configuration", e.g. "device:/dev/tpmrm0" or
    // "swtpm:host=127.0.0.1,port=2321"). nullptr and `error` on failure.
    static std::unique_ptr<Session> open(const std::string &tcti, Error &error);
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // Fails with Failure::lockout when the TPM is in dictionary-attack lockout.
    bool checkNotInLockout(Error &error);
    // Creates a fresh signing key under the owner storage key and loads it.
    bool createSigningKey(KeyBlobs &blobs, Error &error);
    // Loads stored blobs under the owner storage key.
    bool loadSigningKey(const KeyBlobs &blobs, Error &error);
    // DER ECDSA signature (SEQUENCE of r, s) of a SHA-256 digest with the loaded key.
    bool signDigest(const std::array<uint8_t, 32> &digest, std::vector<uint8_t> &der, Error &error);
    // Flushes the loaded key (and a storage key still loaded); the session stays open.
    void flush();
    bool hasKey() const;

private:
    Session() = default;
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace tpm

}  // namespace mornix
