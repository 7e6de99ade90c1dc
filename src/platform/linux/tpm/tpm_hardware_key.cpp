#include "platform/linux/tpm/tpm_hardware_key.h"

#include "platform/linux/platform_logging.h"
#include "platform/linux/modules/platform_modules.h"
#include "platform/linux/tpm/tpm_session.h"

#include <QCryptographicHash>
#include <QLoggingCategory>
#include <QMutexLocker>

#include <cstring>

namespace mornix {

namespace {

const QString kTpmDomain = QStringLiteral("TPM2");

QString fromStd(const std::string &text)
{
    return QString::fromStdString(text);
}

std::vector<uint8_t> toBytes(const QByteArray &data)
{
    return std::vector<uint8_t>(data.begin(), data.end());
}

// The sentence a person reads (the log, the --zta-* modes' error line) for a key that exists
// but cannot be used. Short enough to survive the 300-character limit of those lines.
QString describe(const tpm::Error &error)
{
    const QString detail = fromStd(error.text);
    switch (error.failure) {
    case tpm::Failure::unreachable:
        return QStringLiteral("The TPM that holds the device key cannot be reached (%1). Restore access to the TPM; "
                              "if it is gone for good, this device must be re-enrolled.")
            .arg(detail);
    case tpm::Failure::keyRejected:
        return QStringLiteral("The device key no longer loads into this TPM (the TPM was cleared or replaced; %1). "
                              "This device must be re-enrolled.")
            .arg(detail);
    case tpm::Failure::lockout:
        return QStringLiteral("The TPM is in dictionary-attack lockout (%1). Wait for the lockout to end or have "
                              "the TPM's lockout reset.")
            .arg(detail);
    case tpm::Failure::badBlob:
        return QStringLiteral("The stored TPM device key is unreadable (%1). This device must be re-enrolled.")
            .arg(detail);
    case tpm::Failure::other:
    case tpm::Failure::none: break;
    }
    return QStringLiteral("TPM error: %1").arg(detail);
}

// The TPM module cannot be used (error.text names it and why).
QString moduleFault(const tpm::Error &error)
{
    return QStringLiteral("No TPM key can be made or used: %1. Reinstall VeltroMornix; no software key takes the "
                          "TPM key's place meanwhile.")
        .arg(fromStd(error.text));
}

}  // namespace

// A key loaded into the TPM, with the connection it lives in. Thread: any (own lock).
class TpmHardwareKey::LoadedKey : public HardwareKeyHandle {
public:
    LoadedKey(const tpm::Stack &stack, std::unique_ptr<tpm::Session> session, const tpm::KeyBlobs &blobs)
        : m_session(std::move(session))
    {
        const std::vector<uint8_t> point = stack.publicPointX963(blobs);
        m_point = QByteArray(reinterpret_cast<const char *>(point.data()), static_cast<qsizetype>(point.size()));
    }

    QByteArray publicKeyX963() const override { return m_point; }

    QByteArray sign(const QByteArray &message, QString &errorText) const override
    {
        const QByteArray hash = QCryptographicHash::hash(message, QCryptographicHash::Sha256);
        std::array<uint8_t, 32> digest{};
        std::memcpy(digest.data(), hash.constData(), digest.size());
        QMutexLocker locker(&m_mutex);
        if (!m_session) {
            errorText = QStringLiteral("The TPM device key was cleared");
            return {};
        }
        std::vector<uint8_t> der;
        tpm::Error error;
        if (!m_session->signDigest(digest, der, error)) {
            errorText = describe(error);
            qCWarning(lcTpm, "%s", qUtf8Printable(errorText));
            return {};
        }
        return QByteArray(reinterpret_cast<const char *>(der.data()), static_cast<qsizetype>(der.size()));
    }

    // Flushes the key from the TPM and closes the connection; later signatures fail.
    void close()
    {
        QMutexLocker locker(&m_mutex);
        m_session.reset();
    }

    bool isOpen() const
    {
        QMutexLocker locker(&m_mutex);
        return m_session && m_session->hasKey();
    }

private:
    mutable QMutex m_mutex;
    std::unique_ptr<tpm::Session> m_session;
    QByteArray m_point;
};

TpmHardwareKey::TpmHardwareKey(std::shared_ptr<Keychain> keychain, std::shared_ptr<PlatformModules> modules,
                               QString tcti)
    : m_keychain(std::move(keychain))
    , m_modules(std::move(modules))
    , m_tcti(std::move(tcti))
{
    if (m_tcti.isEmpty())
        m_tcti = QString::fromLatin1(tpm::defaultTcti);
}

TpmHardwareKey::~TpmHardwareKey() = default;

const tpm::Stack *TpmHardwareKey::stack(tpm::Error &error) const
{
    QString problem;
    const void *table =
        m_modules->table(tpm::kModulePath, tpm::kModuleEntry, tpm::kModuleInterfaceVersion, "the TPM module", &problem);
    if (!table) {
        // Not "no TPM": whether this machine has one is unknown, and a damaged or foreign module
        // is an installation fault. Creation must not fall back to a software key for it.
        error.failure = tpm::Failure::other;
        error.text = problem.toStdString();
    }
    return static_cast<const tpm::Stack *>(table);
}

int TpmHardwareKey::find(const QByteArray &applicationTag, std::shared_ptr<HardwareKeyHandle> &key, QString &errorText)
{
    QMutexLocker locker(&m_mutex);
    return findLocked(applicationTag, key, errorText);
}

int TpmHardwareKey::findLocked(const QByteArray &applicationTag, std::shared_ptr<HardwareKeyHandle> &key,
                               QString &errorText)
{
    key.reset();
    QByteArray record;
    const int status = m_keychain->readKey(applicationTag, record);
    if (status != keychain_status::success) {
        if (status != keychain_status::itemNotFound)
            errorText = QStringLiteral("The device key could not be read from the keychain (status %1)").arg(status);
        return status;
    }
    if (const std::shared_ptr<LoadedKey> loaded = m_loaded.lock();
        loaded && m_loadedRecord == record && loaded->isOpen()) {
        key = loaded;
        return keychain_status::success;
    }

    tpm::KeyBlobs blobs;
    std::string why;
    tpm::Error error;
    std::unique_ptr<tpm::Session> session;
    const tpm::Stack *tss = stack(error);  // null: error says why
    if (tss && !tss->parseKeyBlobs(toBytes(record), blobs, why)) {
        error.failure = tpm::Failure::badBlob;
        error.text = why;
    } else if (tss && (session = tss->open(m_tcti.toStdString(), error))) {
        if (!session->loadSigningKey(blobs, error) || !session->checkNotInLockout(error))
            session.reset();
    }
    if (!session) {
        errorText = tss ? describe(error) : moduleFault(error);
        qCWarning(lcTpm, "%s", qUtf8Printable(errorText));
        return keychain_status::notAvailable;
    }
    auto loaded = std::make_shared<LoadedKey>(*tss, std::move(session), blobs);
    m_loaded = loaded;
    m_loadedRecord = record;
    key = std::move(loaded);
    return keychain_status::success;
}

HardwareKey::CreateResult TpmHardwareKey::create(const QByteArray &applicationTag)
{
    QMutexLocker locker(&m_mutex);
    CreateResult result;
    const auto fail = [&result](const tpm::Error &error) {
        result.hasError = true;
        if (error.failure == tpm::Failure::unreachable) {
            // The "no entitlement" case: the caller uses the software key.
            qCInfo(lcTpm, "No usable TPM (%s); the device key is a software key", error.text.c_str());
            result.errorCode = keychain_status::missingEntitlement;
            result.errorDomain = QStringLiteral("NSOSStatusErrorDomain");
            result.errorDescription = QStringLiteral("No usable TPM: ") + fromStd(error.text);
            return result;
        }
        result.errorCode = static_cast<int>(error.code);
        result.errorDomain = kTpmDomain;
        result.errorDescription = describe(error);
        qCWarning(lcTpm, "TPM key creation failed: %s", qUtf8Printable(result.errorDescription));
        return result;
    };

    tpm::Error error;
    const tpm::Stack *tss = stack(error);
    if (!tss) {
        result.hasError = true;
        result.errorCode = keychain_status::notAvailable;
        result.errorDomain = QStringLiteral("NSOSStatusErrorDomain");
        result.errorDescription = moduleFault(error);
        qCWarning(lcTpm, "TPM key creation refused: %s", qUtf8Printable(result.errorDescription));
        return result;
    }
    std::unique_ptr<tpm::Session> session = tss->open(m_tcti.toStdString(), error);
    if (!session)
        return fail(error);
    tpm::KeyBlobs blobs;
    if (!session->checkNotInLockout(error) || !session->createSigningKey(blobs, error))
        return fail(error);

    const std::vector<uint8_t> bytes = blobs.serialize();
    const QByteArray record(reinterpret_cast<const char *>(bytes.data()), static_cast<qsizetype>(bytes.size()));
    const int status = m_keychain->addKey(applicationTag, record);
    if (status == keychain_status::duplicateItem) {
        // Another process stored its key first: that one is the device key.
        session.reset();
        QString findError;
        if (findLocked(applicationTag, result.key, findError) == keychain_status::success)
            return result;
        error.failure = tpm::Failure::other;
        error.text = findError.toStdString();
        return fail(error);
    }
    if (status != keychain_status::success) {
        result.hasError = true;
        result.errorCode = status;
        result.errorDomain = QStringLiteral("NSOSStatusErrorDomain");
        result.errorDescription = QStringLiteral("The new TPM device key could not be stored in the keychain");
        return result;
    }
    auto loaded = std::make_shared<LoadedKey>(*tss, std::move(session), blobs);
    m_loaded = loaded;
    m_loadedRecord = record;
    result.key = std::move(loaded);
    return result;
}

int TpmHardwareKey::remove(const QByteArray &applicationTag)
{
    QMutexLocker locker(&m_mutex);
    if (const std::shared_ptr<LoadedKey> loaded = m_loaded.lock())
        loaded->close();
    m_loaded.reset();
    m_loadedRecord.clear();
    return m_keychain->deleteKey(applicationTag);
}

}  // namespace mornix
