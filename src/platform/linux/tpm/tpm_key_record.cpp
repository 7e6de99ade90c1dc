#include "platform/linux/tpm/tpm_key_record.h"

#include <tss2/tss2_mu.h>

#include <cstring>

namespace mornix {
namespace tpm {

namespace {

constexpr uint8_t kMagic[4] = {'V', 'T', 'K', '1'};

// What the signing key must be: unrestricted, non-duplicable, created inside the TPM, usable
// with an empty password, signing only.
constexpr TPMA_OBJECT kSigningKeyAttributes = TPMA_OBJECT_FIXEDTPM | TPMA_OBJECT_FIXEDPARENT
                                              | TPMA_OBJECT_SENSITIVEDATAORIGIN | TPMA_OBJECT_USERWITHAUTH
                                              | TPMA_OBJECT_SIGN_ENCRYPT;
constexpr TPMA_OBJECT kForbiddenAttributes = TPMA_OBJECT_RESTRICTED | TPMA_OBJECT_DECRYPT;

}  // namespace

// The storage key: the TCG's ECC NIST P-256 storage root template in the owner hierarchy. The
// TPM derives it from its owner seed, so it is the same key on every run until the TPM is
// cleared.
TPM2B_PUBLIC storageKeyTemplate()
{
    TPM2B_PUBLIC area{};
    TPMT_PUBLIC &p = area.publicArea;
    p.type = TPM2_ALG_ECC;
    p.nameAlg = TPM2_ALG_SHA256;
    p.objectAttributes = TPMA_OBJECT_FIXEDTPM | TPMA_OBJECT_FIXEDPARENT | TPMA_OBJECT_SENSITIVEDATAORIGIN
                         | TPMA_OBJECT_USERWITHAUTH | TPMA_OBJECT_NODA | TPMA_OBJECT_RESTRICTED | TPMA_OBJECT_DECRYPT;
    p.parameters.eccDetail.symmetric.algorithm = TPM2_ALG_AES;
    p.parameters.eccDetail.symmetric.keyBits.aes = 128;
    p.parameters.eccDetail.symmetric.mode.aes = TPM2_ALG_CFB;
    p.parameters.eccDetail.scheme.scheme = TPM2_ALG_NULL;
    p.parameters.eccDetail.curveID = TPM2_ECC_NIST_P256;
    p.parameters.eccDetail.kdf.scheme = TPM2_ALG_NULL;
    p.unique.ecc.x.size = 32;
    p.unique.ecc.y.size = 32;
    return area;
}

TPM2B_PUBLIC signingKeyTemplate()
{
    TPM2B_PUBLIC area{};
    TPMT_PUBLIC &p = area.publicArea;
    p.type = TPM2_ALG_ECC;
    p.nameAlg = TPM2_ALG_SHA256;
    p.objectAttributes = kSigningKeyAttributes;
    p.parameters.eccDetail.symmetric.algorithm = TPM2_ALG_NULL;
    p.parameters.eccDetail.scheme.scheme = TPM2_ALG_ECDSA;
    p.parameters.eccDetail.scheme.details.ecdsa.hashAlg = TPM2_ALG_SHA256;
    p.parameters.eccDetail.curveID = TPM2_ECC_NIST_P256;
    p.parameters.eccDetail.kdf.scheme = TPM2_ALG_NULL;
    return area;
}

bool isOurSigningKey(const TPMT_PUBLIC &p)
{
    return p.type == TPM2_ALG_ECC && p.nameAlg == TPM2_ALG_SHA256
           && (p.objectAttributes & kSigningKeyAttributes) == kSigningKeyAttributes
           && (p.objectAttributes & kForbiddenAttributes) == 0 && p.parameters.eccDetail.curveID == TPM2_ECC_NIST_P256
           && p.unique.ecc.x.size <= 32 && p.unique.ecc.y.size <= 32;
}

bool parseKeyBlobs(const std::vector<uint8_t> &bytes, KeyBlobs &blobs, std::string &why)
{
    if (bytes.size() < sizeof kMagic || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
        why = "not a TPM key record";
        return false;
    }
    size_t offset = sizeof kMagic;
    TPM2B_PUBLIC pub{};
    if (Tss2_MU_TPM2B_PUBLIC_Unmarshal(bytes.data(), bytes.size(), &offset, &pub) != TSS2_RC_SUCCESS) {
        why = "the public area does not parse";
        return false;
    }
    const size_t privateStart = offset;
    TPM2B_PRIVATE priv{};
    if (Tss2_MU_TPM2B_PRIVATE_Unmarshal(bytes.data(), bytes.size(), &offset, &priv) != TSS2_RC_SUCCESS
        || priv.size == 0) {
        why = "the private area does not parse";
        return false;
    }
    if (offset != bytes.size()) {
        why = "trailing bytes after the key";
        return false;
    }
    if (!isOurSigningKey(pub.publicArea)) {
        why = "not a non-duplicable P-256 signing key";
        return false;
    }
    blobs.publicArea.assign(bytes.begin() + sizeof kMagic, bytes.begin() + static_cast<std::ptrdiff_t>(privateStart));
    blobs.privateArea.assign(bytes.begin() + static_cast<std::ptrdiff_t>(privateStart), bytes.end());
    return true;
}

std::vector<uint8_t> publicPointX963(const KeyBlobs &blobs)
{
    const std::vector<uint8_t> &publicArea = blobs.publicArea;
    TPM2B_PUBLIC pub{};
    size_t offset = 0;
    if (Tss2_MU_TPM2B_PUBLIC_Unmarshal(publicArea.data(), publicArea.size(), &offset, &pub) != TSS2_RC_SUCCESS
        || !isOurSigningKey(pub.publicArea))
        return {};
    const TPM2B_ECC_PARAMETER &x = pub.publicArea.unique.ecc.x;
    const TPM2B_ECC_PARAMETER &y = pub.publicArea.unique.ecc.y;
    if (x.size == 0 || y.size == 0)
        return {};
    // Coordinates are big-endian and may come without leading zero bytes: pad to 32.
    std::vector<uint8_t> point(65, 0);
    point[0] = 0x04;
    std::memcpy(point.data() + 1 + (32 - x.size), x.buffer, x.size);
    std::memcpy(point.data() + 33 + (32 - y.size), y.buffer, y.size);
    return point;
}

}  // namespace tpm
}  // namespace mornix
