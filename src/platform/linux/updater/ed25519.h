#pragma once

#include <QByteArray>

#include <cstddef>

namespace mornix {

// Ed25519 (RFC 8032, pure) with OpenSSL. Thread: any.
namespace ed25519 {

// True when `signature` (64 bytes) is a valid signature of the message by `publicKey`
// (32 raw bytes). Any malformed input is false.
bool verify(const QByteArray &publicKey, const QByteArray &signature, const unsigned char *message, size_t size);

// Same, over the whole content of an open regular file (read through a private mapping).
bool verifyFile(const QByteArray &publicKey, const QByteArray &signature, int fd);

}  // namespace ed25519

}  // namespace mornix
