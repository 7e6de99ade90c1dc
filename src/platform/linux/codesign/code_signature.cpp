#include "platform/linux/codesign/code_signature.h"

#include "support/json_reader.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <openssl/bio.h>
#include <openssl/cms.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <memory>

#include <unistd.h>

namespace mornix {

namespace code_signature {

namespace {

template <typename T, void (*Free)(T *)>
struct Deleter {
    void operator()(T *p) const { Free(p); }
};
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, Deleter<CMS_ContentInfo, CMS_ContentInfo_free>>;
using StorePtr = std::unique_ptr<X509_STORE, Deleter<X509_STORE, X509_STORE_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;

void freeX509Stack(STACK_OF(X509) * stack)
{
    sk_X509_pop_free(stack, X509_free);
}
void freeX509StackShallow(STACK_OF(X509) * stack)
{
    sk_X509_free(stack);
}

BioPtr memoryBio(const QByteArray &bytes)
{
    return BioPtr(BIO_new_mem_buf(bytes.constData(), static_cast<int>(bytes.size())));
}

QByteArray bioContents(BIO *bio)
{
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return size > 0 ? QByteArray(data, size) : QByteArray();
}

QString openSSLError()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return QStringLiteral("unknown OpenSSL error");
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    return QString::fromLatin1(buffer);
}

bool isLowerHex64(const QString &text)
{
    if (text.size() != 64)
        return false;
    for (const QChar c : text) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('a') && c <= QLatin1Char('f'))))
            return false;
    }
    return true;
}

// The single OU of a subject, or nullopt when there is none or more than one.
std::optional<QString> singleOrganizationalUnit(X509 *certificate)
{
    X509_NAME *subject = X509_get_subject_name(certificate);
    if (!subject)
        return std::nullopt;
    const int first = X509_NAME_get_index_by_NID(subject, NID_organizationalUnitName, -1);
    if (first < 0 || X509_NAME_get_index_by_NID(subject, NID_organizationalUnitName, first) >= 0)
        return std::nullopt;
    ASN1_STRING *value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, first));
    unsigned char *utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, value);
    if (length <= 0)
        return std::nullopt;
    QString text = QString::fromUtf8(reinterpret_cast<const char *>(utf8), length);
    OPENSSL_free(utf8);
    return text;
}

}  // namespace

bool isBundlePath(const QString &path)
{
    // Allocation-free: this runs on every cached signature check.
    QStringView trimmed(path);
    while (trimmed.size() > 1 && trimmed.endsWith(u'/'))
        trimmed.chop(1);
    const QStringView name = trimmed.mid(trimmed.lastIndexOf(u'/') + 1);
    return name.size() > 4 && name.endsWith(QLatin1String(".app"));
}

QString signatureFilePath(const QString &codePath)
{
    QString trimmed = codePath;
    while (trimmed.size() > 1 && trimmed.endsWith(QLatin1Char('/')))
        trimmed.chop(1);
    if (isBundlePath(trimmed))
        return trimmed + QStringLiteral("/Contents/_CodeSignature/CodeSignature");
    return trimmed + QStringLiteral(".codesig");
}

bool isSafeRelativePath(const QString &path)
{
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')) || path.contains(QChar(0)))
        return false;
    for (const QString &part : path.split(QLatin1Char('/'))) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return false;
    }
    return true;
}

QByteArray encodeCodeDirectory(const CodeDirectory &directory)
{
    QJsonObject files;
    for (auto it = directory.files.cbegin(); it != directory.files.cend(); ++it)
        files.insert(it.key(), it.value());
    QJsonObject object;
    object.insert(QStringLiteral("format"), QLatin1String(kFormat));
    object.insert(QStringLiteral("identifier"), directory.identifier);
    object.insert(QStringLiteral("files"), files);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

std::optional<CodeDirectory> parseCodeDirectory(const QByteArray &json)
{
    CodeDirectory directory;
    try {
        const JsonReader object = JsonReader::parse(json);
        if (object.required<QString>("format") != QLatin1String(kFormat))
            return std::nullopt;
        directory.identifier = object.required<QString>("identifier");
        const QMap<QString, QString> files = object.required<QMap<QString, QString>>("files");
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            if (!isSafeRelativePath(it.key()) || !isLowerHex64(it.value()))
                return std::nullopt;
            directory.files.insert(it.key(), it.value());
        }
    } catch (const JsonFieldError &) {
        return std::nullopt;
    }
    if (directory.identifier.isEmpty() || directory.files.isEmpty())
        return std::nullopt;
    return directory;
}

std::optional<QString> sha256OfDescriptor(int fd)
{
    MdCtxPtr context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
        return std::nullopt;
    std::unique_ptr<char[]> buffer(new char[1 << 20]);
    for (;;) {
        const ssize_t n = ::read(fd, buffer.get(), 1 << 20);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        if (EVP_DigestUpdate(context.get(), buffer.get(), static_cast<size_t>(n)) != 1)
            return std::nullopt;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1)
        return std::nullopt;
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(digest), length).toHex());
}

std::optional<QByteArray> signContent(const QByteArray &content, const QByteArray &certificatePEM,
                                      const QByteArray &privateKeyPEM, QString *error)
{
    auto fail = [error](const QString &what) -> std::optional<QByteArray> {
        if (error)
            *error = what + QStringLiteral(": ") + openSSLError();
        return std::nullopt;
    };
    BioPtr certificateBio = memoryBio(certificatePEM);
    X509Ptr certificate(PEM_read_bio_X509(certificateBio.get(), nullptr, nullptr, nullptr));
    if (!certificate)
        return fail(QStringLiteral("cannot read the signing certificate"));
    std::unique_ptr<STACK_OF(X509), Deleter<STACK_OF(X509), freeX509Stack>> extra(sk_X509_new_null());
    while (X509 *more = PEM_read_bio_X509(certificateBio.get(), nullptr, nullptr, nullptr))
        sk_X509_push(extra.get(), more);
    ERR_clear_error();
    BioPtr keyBio = memoryBio(privateKeyPEM);
    KeyPtr key(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
    if (!key)
        return fail(QStringLiteral("cannot read the private key"));
    if (X509_check_private_key(certificate.get(), key.get()) != 1)
        return fail(QStringLiteral("the private key does not belong to the certificate"));

    const unsigned int flags = CMS_BINARY | CMS_PARTIAL;
    CmsPtr cms(CMS_sign(nullptr, nullptr, extra.get(), nullptr, flags));
    if (!cms || !CMS_add1_signer(cms.get(), certificate.get(), key.get(), EVP_sha256(), flags))
        return fail(QStringLiteral("cannot create the signature"));
    BioPtr data = memoryBio(content);
    if (CMS_final(cms.get(), data.get(), nullptr, flags) != 1)
        return fail(QStringLiteral("cannot finish the signature"));
    BioPtr out(BIO_new(BIO_s_mem()));
    if (i2d_CMS_bio(out.get(), cms.get()) != 1)
        return fail(QStringLiteral("cannot encode the signature"));
    return bioContents(out.get());
}

std::optional<VerifiedContent> verifySignedContent(const QByteArray &der, const QByteArray &anchorsPEM)
{
    struct ErrorQueueGuard {
        ~ErrorQueueGuard() { ERR_clear_error(); }
    } guard;

    if (der.isEmpty() || anchorsPEM.isEmpty())
        return std::nullopt;
    BioPtr input = memoryBio(der);
    CmsPtr cms(d2i_CMS_bio(input.get(), nullptr));
    if (!cms || OBJ_obj2nid(CMS_get0_type(cms.get())) != NID_pkcs7_signed)
        return std::nullopt;
    if (OBJ_obj2nid(CMS_get0_eContentType(cms.get())) != NID_pkcs7_data || CMS_is_detached(cms.get()))
        return std::nullopt;
    STACK_OF(CMS_SignerInfo) *signerInfos = CMS_get0_SignerInfos(cms.get());
    if (!signerInfos || sk_CMS_SignerInfo_num(signerInfos) != 1)
        return std::nullopt;
    X509_ALGOR *digestAlgorithm = nullptr;
    CMS_SignerInfo_get0_algs(sk_CMS_SignerInfo_value(signerInfos, 0), nullptr, nullptr, &digestAlgorithm, nullptr);
    const ASN1_OBJECT *digestObject = nullptr;
    if (!digestAlgorithm)
        return std::nullopt;
    X509_ALGOR_get0(&digestObject, nullptr, nullptr, digestAlgorithm);
    if (OBJ_obj2nid(digestObject) != NID_sha256)
        return std::nullopt;

    StorePtr store(X509_STORE_new());
    if (!store)
        return std::nullopt;
    BioPtr anchorsBio = memoryBio(anchorsPEM);
    int anchors = 0;
    while (X509 *anchor = PEM_read_bio_X509(anchorsBio.get(), nullptr, nullptr, nullptr)) {
        if (X509_STORE_add_cert(store.get(), anchor) == 1)
            ++anchors;
        X509_free(anchor);
    }
    ERR_clear_error();
    if (anchors == 0)
        return std::nullopt;
    // CMS_verify checks the S/MIME purpose by default; code signing is checked below instead.
    X509_STORE_set_purpose(store.get(), X509_PURPOSE_ANY);

    BioPtr out(BIO_new(BIO_s_mem()));
    if (CMS_verify(cms.get(), nullptr, store.get(), nullptr, out.get(), CMS_BINARY) != 1)
        return std::nullopt;

    std::unique_ptr<STACK_OF(X509), Deleter<STACK_OF(X509), freeX509StackShallow>> signers(CMS_get0_signers(cms.get()));
    if (!signers || sk_X509_num(signers.get()) != 1)
        return std::nullopt;
    X509 *signer = sk_X509_value(signers.get(), 0);
    if (!(X509_get_extension_flags(signer) & EXFLAG_XKUSAGE) || !(X509_get_extended_key_usage(signer) & XKU_CODE_SIGN))
        return std::nullopt;
    const std::optional<QString> team = singleOrganizationalUnit(signer);
    if (!team || team->isEmpty())
        return std::nullopt;
    return VerifiedContent{bioContents(out.get()), *team};
}

}  // namespace code_signature

}  // namespace mornix
