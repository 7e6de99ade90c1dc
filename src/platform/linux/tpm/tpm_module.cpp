// The TPM module (libmornix_tpm.so): the TSS stack behind tpm::Stack. Built with hidden
// symbols: nothing here binds to the executable's names, and only the entry is exported.
#include "platform/linux/tpm/tpm_key_record.h"
#include "platform/linux/tpm/tpm_session.h"

#include <tss2/tss2_esys.h>
#include <tss2/tss2_mu.h>
#include <tss2/tss2_rc.h>
#include <tss2/tss2_tctildr.h>

#include <openssl/bn.h>
#include <openssl/ecdsa.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace mornix {

namespace tpm {

namespace {

std::string decode(TSS2_RC rc)
{
    const char *text = Tss2_RC_Decode(rc);
    return text ? std::string(text) : std::string("TSS error ") + std::to_string(rc);
}

// The response code without the handle/session/parameter number, for comparisons.
TSS2_RC baseCode(TSS2_RC rc)
{
    if ((rc & TSS2_RC_LAYER_MASK) != TSS2_TPM_RC_LAYER)
        return rc;
    if (rc & TPM2_RC_FMT1)
        return rc & (TPM2_RC_FMT1 | 0x3f);
    return rc & (TPM2_RC_WARN | TPM2_RC_VER1 | 0x7f);
}

Error tpmError(TSS2_RC rc, const std::string &what)
{
    Error error;
    error.code = rc;
    error.text = what + ": " + decode(rc);
    const TSS2_RC base = baseCode(rc);
    const bool connectionLost =
        (rc & TSS2_RC_LAYER_MASK) == TSS2_TCTI_RC_LAYER
        && ((rc & 0xffff) == TSS2_BASE_RC_IO_ERROR || (rc & 0xffff) == TSS2_BASE_RC_NO_CONNECTION);
    if (base == TPM2_RC_LOCKOUT)
        error.failure = Failure::lockout;
    else if (connectionLost)  // transports that connect lazily report a missing TPM here
        error.failure = Failure::unreachable;
    else
        error.failure = Failure::other;
    return error;
}

// The TCTI name of a configuration text ("device:/dev/tpmrm0" -> "device").
std::string tctiName(const std::string &conf)
{
    const auto colon = conf.find(':');
    return colon == std::string::npos ? conf : conf.substr(0, colon);
}

// Why a TCTI could not be initialised, told apart where it decides between "no TPM here" and
// a TPM that is present but failing.
Error classifyOpenFailure(const std::string &conf, TSS2_RC rc)
{
    Error error;
    error.code = rc;
    const std::string name = tctiName(conf);
    TSS2_TCTI_INFO *info = nullptr;
    if (Tss2_TctiLdr_GetInfo(name.c_str(), &info) != TSS2_RC_SUCCESS) {
        error.failure = Failure::unreachable;
        error.text = "no TCTI library for \"" + name + "\"";
        return error;
    }
    Tss2_TctiLdr_FreeInfo(&info);
    if (name == "device") {
        const auto colon = conf.find(':');
        const std::string path =
            colon == std::string::npos || colon + 1 == conf.size() ? std::string("/dev/tpm0") : conf.substr(colon + 1);
        const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        const int openErrno = errno;
        if (fd >= 0)
            ::close(fd);
        if (fd < 0 && (openErrno == ENOENT || openErrno == ENODEV || openErrno == ENXIO || openErrno == ENOTDIR)) {
            error.failure = Failure::unreachable;
            error.text = "no TPM device at " + path;
            return error;
        }
        if (fd < 0 && (openErrno == EACCES || openErrno == EPERM)) {
            error.failure = Failure::unreachable;
            error.text = "permission denied on " + path;
            return error;
        }
        error.failure = Failure::other;
        error.text = "cannot open " + path + ": " + (fd < 0 ? std::strerror(openErrno) : decode(rc));
        return error;
    }
    // A simulator or another transport: nothing answering at the configured address.
    error.failure = Failure::unreachable;
    error.text = "no TPM answers at \"" + conf + "\": " + decode(rc);
    return error;
}

template <typename T>
struct EsysFree {
    void operator()(T *p) const { Esys_Free(p); }
};
template <typename T>
using EsysPtr = std::unique_ptr<T, EsysFree<T>>;

struct Esys {
    TSS2_TCTI_CONTEXT *tcti = nullptr;
    ESYS_CONTEXT *esys = nullptr;
    ESYS_TR storageKey = ESYS_TR_NONE;
    ESYS_TR signingKey = ESYS_TR_NONE;

    bool loadStorageKey(Error &error)
    {
        if (storageKey != ESYS_TR_NONE)
            return true;
        const TPM2B_SENSITIVE_CREATE sensitive{};
        const TPM2B_PUBLIC templ = storageKeyTemplate();
        const TPM2B_DATA outsideInfo{};
        const TPML_PCR_SELECTION pcrs{};
        const TSS2_RC rc =
            Esys_CreatePrimary(esys, ESYS_TR_RH_OWNER, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE, &sensitive, &templ,
                               &outsideInfo, &pcrs, &storageKey, nullptr, nullptr, nullptr, nullptr);
        if (rc != TSS2_RC_SUCCESS) {
            storageKey = ESYS_TR_NONE;
            error = tpmError(rc, "TPM storage key");
            return false;
        }
        return true;
    }

    void flushStorageKey()
    {
        if (storageKey != ESYS_TR_NONE)
            Esys_FlushContext(esys, storageKey);
        storageKey = ESYS_TR_NONE;
    }

    void flushSigningKey()
    {
        if (signingKey != ESYS_TR_NONE)
            Esys_FlushContext(esys, signingKey);
        signingKey = ESYS_TR_NONE;
    }

    bool load(const TPM2B_PUBLIC &pub, const TPM2B_PRIVATE &priv, Error &error, bool stored)
    {
        flushSigningKey();
        if (!loadStorageKey(error))
            return false;
        const TSS2_RC rc =
            Esys_Load(esys, storageKey, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE, &priv, &pub, &signingKey);
        // The loaded key does not need its parent: free the slot at once (a TPM holds only a
        // few transient objects).
        flushStorageKey();
        if (rc != TSS2_RC_SUCCESS) {
            signingKey = ESYS_TR_NONE;
            error = tpmError(rc, "TPM key load");
            const TSS2_RC base = baseCode(rc);
            // A stored key that this TPM's storage key cannot open: the owner seed changed.
            if (stored
                && (base == TPM2_RC_INTEGRITY || base == TPM2_RC_BINDING || base == TPM2_RC_SENSITIVE
                    || base == TPM2_RC_KEY || base == TPM2_RC_SIZE))
                error.failure = Failure::keyRejected;
            return false;
        }
        return true;
    }
};

class EsysSession final : public Session {
public:
    ~EsysSession() override;
    bool checkNotInLockout(Error &error) override;
    bool createSigningKey(KeyBlobs &blobs, Error &error) override;
    bool loadSigningKey(const KeyBlobs &blobs, Error &error) override;
    bool signDigest(const std::array<uint8_t, 32> &digest, std::vector<uint8_t> &der, Error &error) override;
    void flush() override;
    bool hasKey() const override;

    std::unique_ptr<Esys> m_impl = std::make_unique<Esys>();
};

std::unique_ptr<Session> openSession(const std::string &tcti, Error &error)
{
    const std::string conf = tcti.empty() ? std::string(defaultTcti) : tcti;
    auto session = std::make_unique<EsysSession>();
    Esys &impl = *session->m_impl;
    TSS2_RC rc = Tss2_TctiLdr_Initialize(conf.c_str(), &impl.tcti);
    if (rc != TSS2_RC_SUCCESS) {
        impl.tcti = nullptr;
        error = classifyOpenFailure(conf, rc);
        return nullptr;
    }
    rc = Esys_Initialize(&impl.esys, impl.tcti, nullptr);
    if (rc != TSS2_RC_SUCCESS) {
        impl.esys = nullptr;
        error = tpmError(rc, "TPM connection");
        return nullptr;
    }
    return session;
}

EsysSession::~EsysSession()
{
    if (!m_impl)
        return;
    if (m_impl->esys) {
        m_impl->flushSigningKey();
        m_impl->flushStorageKey();
        Esys_Finalize(&m_impl->esys);
    }
    if (m_impl->tcti)
        Tss2_TctiLdr_Finalize(&m_impl->tcti);
}

bool EsysSession::checkNotInLockout(Error &error)
{
    TPMI_YES_NO more = TPM2_NO;
    TPMS_CAPABILITY_DATA *raw = nullptr;
    const TSS2_RC rc = Esys_GetCapability(m_impl->esys, ESYS_TR_NONE, ESYS_TR_NONE, ESYS_TR_NONE,
                                          TPM2_CAP_TPM_PROPERTIES, TPM2_PT_PERMANENT, 1, &more, &raw);
    const EsysPtr<TPMS_CAPABILITY_DATA> data(raw);
    if (rc != TSS2_RC_SUCCESS) {
        error = tpmError(rc, "TPM state");
        return false;
    }
    const TPML_TAGGED_TPM_PROPERTY &props = data->data.tpmProperties;
    for (UINT32 i = 0; i < props.count; ++i) {
        if (props.tpmProperty[i].property == TPM2_PT_PERMANENT
            && (props.tpmProperty[i].value & TPMA_PERMANENT_INLOCKOUT)) {
            error.failure = Failure::lockout;
            error.code = TPM2_RC_LOCKOUT;
            error.text = decode(TPM2_RC_LOCKOUT);
            return false;
        }
    }
    return true;
}

bool EsysSession::createSigningKey(KeyBlobs &blobs, Error &error)
{
    Esys &impl = *m_impl;
    impl.flushSigningKey();
    if (!impl.loadStorageKey(error))
        return false;
    const TPM2B_SENSITIVE_CREATE sensitive{};  // no authorization value
    const TPM2B_PUBLIC templ = signingKeyTemplate();
    const TPM2B_DATA outsideInfo{};
    const TPML_PCR_SELECTION pcrs{};
    TPM2B_PRIVATE *rawPrivate = nullptr;
    TPM2B_PUBLIC *rawPublic = nullptr;
    const TSS2_RC rc = Esys_Create(impl.esys, impl.storageKey, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE, &sensitive,
                                   &templ, &outsideInfo, &pcrs, &rawPrivate, &rawPublic, nullptr, nullptr, nullptr);
    const EsysPtr<TPM2B_PRIVATE> outPrivate(rawPrivate);
    const EsysPtr<TPM2B_PUBLIC> outPublic(rawPublic);
    if (rc != TSS2_RC_SUCCESS) {
        impl.flushStorageKey();
        error = tpmError(rc, "TPM key creation");
        return false;
    }
    if (!impl.load(*outPublic, *outPrivate, error, false))
        return false;

    KeyBlobs made;
    made.publicArea.resize(sizeof(TPM2B_PUBLIC));
    made.privateArea.resize(sizeof(TPM2B_PRIVATE));
    size_t publicSize = 0;
    size_t privateSize = 0;
    if (Tss2_MU_TPM2B_PUBLIC_Marshal(outPublic.get(), made.publicArea.data(), made.publicArea.size(), &publicSize)
            != TSS2_RC_SUCCESS
        || Tss2_MU_TPM2B_PRIVATE_Marshal(outPrivate.get(), made.privateArea.data(), made.privateArea.size(),
                                         &privateSize)
               != TSS2_RC_SUCCESS) {
        impl.flushSigningKey();
        error.failure = Failure::other;
        error.text = "the new TPM key could not be encoded";
        return false;
    }
    made.publicArea.resize(publicSize);
    made.privateArea.resize(privateSize);
    blobs = std::move(made);
    return true;
}

bool EsysSession::loadSigningKey(const KeyBlobs &blobs, Error &error)
{
    TPM2B_PUBLIC pub{};
    TPM2B_PRIVATE priv{};
    size_t offset = 0;
    if (Tss2_MU_TPM2B_PUBLIC_Unmarshal(blobs.publicArea.data(), blobs.publicArea.size(), &offset, &pub)
            != TSS2_RC_SUCCESS
        || (offset = 0,
            Tss2_MU_TPM2B_PRIVATE_Unmarshal(blobs.privateArea.data(), blobs.privateArea.size(), &offset, &priv))
               != TSS2_RC_SUCCESS) {
        error.failure = Failure::badBlob;
        error.text = "the stored TPM key does not parse";
        return false;
    }
    return m_impl->load(pub, priv, error, true);
}

bool EsysSession::signDigest(const std::array<uint8_t, 32> &digest, std::vector<uint8_t> &der, Error &error)
{
    Esys &impl = *m_impl;
    if (impl.signingKey == ESYS_TR_NONE) {
        error.failure = Failure::other;
        error.text = "the TPM key was cleared";
        return false;
    }
    TPM2B_DIGEST in{};
    in.size = static_cast<UINT16>(digest.size());
    std::memcpy(in.buffer, digest.data(), digest.size());
    TPMT_SIG_SCHEME scheme{};
    scheme.scheme = TPM2_ALG_ECDSA;
    scheme.details.ecdsa.hashAlg = TPM2_ALG_SHA256;
    // An unrestricted key signs any digest: the null ticket.
    TPMT_TK_HASHCHECK validation{};
    validation.tag = TPM2_ST_HASHCHECK;
    validation.hierarchy = TPM2_RH_NULL;
    TPMT_SIGNATURE *raw = nullptr;
    const TSS2_RC rc = Esys_Sign(impl.esys, impl.signingKey, ESYS_TR_PASSWORD, ESYS_TR_NONE, ESYS_TR_NONE, &in, &scheme,
                                 &validation, &raw);
    const EsysPtr<TPMT_SIGNATURE> signature(raw);
    if (rc != TSS2_RC_SUCCESS) {
        error = tpmError(rc, "TPM signature");
        return false;
    }
    if (signature->sigAlg != TPM2_ALG_ECDSA) {
        error.failure = Failure::other;
        error.text = "the TPM returned a signature of another kind";
        return false;
    }
    const TPM2B_ECC_PARAMETER &r = signature->signature.ecdsa.signatureR;
    const TPM2B_ECC_PARAMETER &s = signature->signature.ecdsa.signatureS;
    ECDSA_SIG *sig = ECDSA_SIG_new();
    BIGNUM *bnR = BN_bin2bn(r.buffer, r.size, nullptr);
    BIGNUM *bnS = BN_bin2bn(s.buffer, s.size, nullptr);
    if (!sig || !bnR || !bnS || ECDSA_SIG_set0(sig, bnR, bnS) != 1) {
        BN_free(bnR);
        BN_free(bnS);
        ECDSA_SIG_free(sig);
        error.failure = Failure::other;
        error.text = "the TPM signature could not be encoded";
        return false;
    }
    unsigned char *out = nullptr;
    const int length = i2d_ECDSA_SIG(sig, &out);
    ECDSA_SIG_free(sig);
    if (length <= 0) {
        error.failure = Failure::other;
        error.text = "the TPM signature could not be encoded";
        return false;
    }
    der.assign(out, out + length);
    OPENSSL_free(out);
    return true;
}

void EsysSession::flush()
{
    m_impl->flushSigningKey();
    m_impl->flushStorageKey();
}

bool EsysSession::hasKey() const
{
    return m_impl->signingKey != ESYS_TR_NONE;
}

class EsysStack final : public Stack {
public:
    std::unique_ptr<Session> open(const std::string &tcti, Error &error) const override
    {
        return openSession(tcti, error);
    }
    bool parseKeyBlobs(const std::vector<uint8_t> &bytes, KeyBlobs &blobs, std::string &why) const override
    {
        return tpm::parseKeyBlobs(bytes, blobs, why);
    }
    std::vector<uint8_t> publicPointX963(const KeyBlobs &blobs) const override { return tpm::publicPointX963(blobs); }
};

const EsysStack kStack;

}  // namespace
}  // namespace tpm
}  // namespace mornix

extern "C" __attribute__((visibility("default"))) const void *mornix_tpm_module(uint32_t interfaceVersion)
{
    using namespace mornix::tpm;
    return interfaceVersion == kModuleInterfaceVersion ? static_cast<const Stack *>(&kStack) : nullptr;
}
