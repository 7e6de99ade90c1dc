#pragma once

// The device key as the TPM module makes and keeps it: the templates of the storage and signing
// keys, and the record the key is stored in ("VTK1", then the TPM2B public and private areas as
// the TPM marshals them). Built into the TPM module, with hidden symbols like the rest of it.

#include "platform/linux/tpm/tpm_session.h"

#include <tss2/tss2_tpm2_types.h>

#include <string>
#include <vector>

namespace mornix {
namespace tpm {

// The storage root the signing key is created under, and the signing key itself.
TPM2B_PUBLIC storageKeyTemplate();
TPM2B_PUBLIC signingKeyTemplate();
// Whether a public area is a key of ours: a non-duplicable P-256 ECDSA signing key.
bool isOurSigningKey(const TPMT_PUBLIC &p);

// Splits a stored record into its areas; false, with `why`, for anything but one key of ours.
bool parseKeyBlobs(const std::vector<uint8_t> &bytes, KeyBlobs &blobs, std::string &why);
// The public point of a parsed key in X9.63 form (0x04 || x || y, 65 bytes); empty when invalid.
std::vector<uint8_t> publicPointX963(const KeyBlobs &blobs);

}  // namespace tpm
}  // namespace mornix
