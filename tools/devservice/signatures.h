#pragma once

#include <optional>
#include <string>
#include <vector>

namespace mornix {

namespace devservice {

// The device's public key: a P-256 key whose PEM text is exactly the agent's export
// (SubjectPublicKeyInfo, uncompressed point, 64-character lines, no trailing line feed).
// Returns the DER bytes, or nullopt when the text is anything else.
std::optional<std::string> parseDevicePublicKey(const std::string &pem);

// ECDSA P-256 over SHA-256 of message, signature in DER; the key as accepted above.
bool verifyEcdsaSha256(const std::string &publicKeyDer, const std::string &message, const std::string &signatureDer);

// Standard base64 with padding and no line breaks; nullopt for any other text.
std::optional<std::string> decodeStrictBase64(const std::string &text);

// Lines joined with single line feeds, no trailing line feed (the signed texts).
std::string joinLines(const std::vector<std::string> &lines);

// The device request signature: canonical text = method, path (decoded) plus "?" and the raw
// query when there is one, timestamp, nonce and body hash; HMAC-SHA-256 keyed with the
// 64 hex characters of the hashed device secret; lower-case hex.
std::string canonicalRequestText(const std::string &method, const std::string &signedPath, const std::string &timestamp,
                                 const std::string &nonce, const std::string &body);
std::string requestSignatureHex(const std::string &hashedSecret, const std::string &canonicalText);

// The path as the agent signs it from a raw request target: the target exactly as sent (path
// and, when present, "?" and the query), never decoded. nullopt when the path does not start
// with "/" or holds a malformed escape.
std::optional<std::string> signedPathFromTarget(const std::string &target);

// RFC 7636 S256: base64url (no padding) of SHA-256 of the verifier.
std::string codeChallengeS256(const std::string &verifier);

}  // namespace devservice

}  // namespace mornix
