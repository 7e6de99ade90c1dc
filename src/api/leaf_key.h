#pragma once

#include <QByteArray>
#include <QSslCertificate>

#include <optional>

namespace mornix {

// The external representation of a certificate's public key, the bytes a pin hashes:
// for an EC key the uncompressed X9.63 point (0x04 || X || Y), for an RSA key the PKCS #1
// RSAPublicKey DER. Other key types, and certificates that cannot be parsed, give nullopt.
// Thread-safe.
std::optional<QByteArray> leafKeyRepresentation(const QSslCertificate &certificate);

}  // namespace mornix
