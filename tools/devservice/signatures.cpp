#include "signatures.h"

#include "support/crypto.h"
#include "util.h"

#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <QByteArray>

#include <memory>

namespace mornix {

namespace devservice {

namespace {

struct BioFree {
    void operator()(BIO *bio) const { BIO_free(bio); }
};
struct KeyFree {
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;

Key keyFromDer(const std::string &der)
{
    const auto *data = reinterpret_cast<const unsigned char *>(der.data());
    return Key(d2i_PUBKEY(nullptr, &data, static_cast<long>(der.size())));
}

}  // namespace

std::optional<std::string> parseDevicePublicKey(const std::string &pem)
{
    if (pem.size() > 4096)
        return std::nullopt;
    std::unique_ptr<BIO, BioFree> in(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    Key key(PEM_read_bio_PUBKEY(in.get(), nullptr, nullptr, nullptr));
    if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_EC)
        return std::nullopt;
    char curve[64] = {};
    size_t curveLength = 0;
    if (EVP_PKEY_get_utf8_string_param(key.get(), "group", curve, sizeof curve, &curveLength) != 1
        || std::string(curve) != "prime256v1")
        return std::nullopt;
    unsigned char *der = nullptr;
    const int derLength = i2d_PUBKEY(key.get(), &der);
    if (derLength <= 0)
        return std::nullopt;
    std::string derBytes(reinterpret_cast<char *>(der), static_cast<size_t>(derLength));
    OPENSSL_free(der);
    if (derBytes.size() != 91)  // uncompressed point
        return std::nullopt;
    // The exact text the agent exports.
    const std::string body = QByteArray::fromStdString(derBytes).toBase64().toStdString();
    std::string expected = "-----BEGIN PUBLIC KEY-----\n";
    for (size_t i = 0; i < body.size(); i += 64) {
        if (i > 0)
            expected += '\n';
        expected += body.substr(i, 64);
    }
    expected += "\n-----END PUBLIC KEY-----";
    if (expected != pem)
        return std::nullopt;
    return derBytes;
}

bool verifyEcdsaSha256(const std::string &publicKeyDer, const std::string &message, const std::string &signatureDer)
{
    Key key = keyFromDer(publicKeyDer);
    if (!key || signatureDer.empty() || signatureDer.size() > 80)
        return false;
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1)
        return false;
    return EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char *>(signatureDer.data()),
                            signatureDer.size(), reinterpret_cast<const unsigned char *>(message.data()),
                            message.size())
           == 1;
}

std::optional<std::string> decodeStrictBase64(const std::string &text)
{
    if (text.empty() || text.size() % 4 != 0)
        return std::nullopt;
    const auto result =
        QByteArray::fromBase64Encoding(QByteArray::fromStdString(text), QByteArray::AbortOnBase64DecodingErrors);
    if (!result || result.decoded.toBase64().toStdString() != text)
        return std::nullopt;
    return result.decoded.toStdString();
}

std::string joinLines(const std::vector<std::string> &lines)
{
    std::string text;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i > 0)
            text += '\n';
        text += lines[i];
    }
    return text;
}

std::string canonicalRequestText(const std::string &method, const std::string &signedPath, const std::string &timestamp,
                                 const std::string &nonce, const std::string &body)
{
    return joinLines({method, signedPath, timestamp, nonce, sha256Hex(body)});
}

std::string requestSignatureHex(const std::string &hashedSecret, const std::string &canonicalText)
{
    return crypto::hexLower(
               crypto::hmacSha256(QByteArray::fromStdString(hashedSecret), QByteArray::fromStdString(canonicalText)))
        .toStdString();
}

std::optional<std::string> signedPathFromTarget(const std::string &target)
{
    // Exactly as sent: decoding first would let one signature stand for several requests.
    const std::string path = target.substr(0, target.find('?'));
    if (path.empty() || path[0] != '/' || !percentDecode(path))
        return std::nullopt;
    return target;
}

std::string codeChallengeS256(const std::string &verifier)
{
    return crypto::base64URLNoPadding(crypto::sha256(QByteArray::fromStdString(verifier))).toStdString();
}

}  // namespace devservice

}  // namespace mornix
