#include "platform/linux/modules/sealed_module.h"

#include "platform/linux/codesign/code_signature.h"
#include "platform/linux/foreign_file.h"

#include <QDir>

#include <cerrno>
#include <dlfcn.h>
#include <sys/stat.h>

namespace mornix {

namespace {

constexpr qint64 kMaxModuleBytes = qint64(512) << 20;
constexpr qint64 kMaxSignatureBytes = qint64(16) << 20;

SealedModule failure(SealedModule::Outcome outcome, const QString &problem)
{
    return SealedModule{nullptr, outcome, problem};
}

// The module's hash as the bundle's signature lists it, once the signature verified and carries
// the expected signer; a failure otherwise.
SealedModule sealedHash(const QString &bundlePath, const QString &relativePath, const QByteArray &anchorsPEM,
                        const ModuleSigner &signer, QString *hash)
{
    using Outcome = SealedModule::Outcome;
    const QString signaturePath = code_signature::signatureFilePath(bundlePath);
    struct stat info {};
    if (::lstat(QFile::encodeName(signaturePath).constData(), &info) != 0 && errno == ENOENT)
        return failure(Outcome::notSealed, QStringLiteral("the bundle is not signed (no %1)").arg(signaturePath));
    const std::optional<QByteArray> der = foreign_file::read(signaturePath, kMaxSignatureBytes);
    if (!der)
        return failure(Outcome::notSealed,
                       QStringLiteral("the bundle's code signature cannot be read: ") + signaturePath);
    const std::optional<code_signature::VerifiedContent> verified =
        code_signature::verifySignedContent(*der, anchorsPEM);
    const std::optional<code_signature::CodeDirectory> directory =
        verified ? code_signature::parseCodeDirectory(verified->content) : std::nullopt;
    if (!directory)
        return failure(Outcome::notSealed,
                       QStringLiteral("the bundle's code signature is not valid: ") + signaturePath);
    // The signer before anything of the module is looked at: another team's bundle is not ours,
    // whatever it seals.
    if (signer.teamIdentifier.isEmpty())
        return failure(Outcome::wrongSigner, QStringLiteral("this build names no code-signing team"));
    if (verified->teamIdentifier != signer.teamIdentifier)
        return failure(Outcome::wrongSigner,
                       QStringLiteral("the bundle is signed by team \"%1\", not by this build's team \"%2\"")
                           .arg(verified->teamIdentifier, signer.teamIdentifier));
    if (directory->identifier != signer.identifier)
        return failure(Outcome::wrongSigner,
                       QStringLiteral("the bundle is signed as \"%1\", not as this build's identifier \"%2\"")
                           .arg(directory->identifier, signer.identifier));
    *hash = directory->files.value(relativePath);
    if (hash->isEmpty())
        return failure(Outcome::notSealed,
                       QStringLiteral("the bundle's code signature does not cover ") + relativePath);
    return SealedModule{};
}

}  // namespace

SealedModule loadSealedModule(const QString &bundlePath, const QString &relativePath, const char *entrySymbol,
                              const QByteArray &anchorsPEM, const ModuleSigner &signer)
{
    using Outcome = SealedModule::Outcome;
    if (bundlePath.isEmpty())
        return failure(Outcome::missing, QStringLiteral("not started from an application bundle"));
    if (!code_signature::isSafeRelativePath(relativePath))
        return failure(Outcome::missing, QStringLiteral("not a path inside the bundle: ") + relativePath);
    const QString path = QDir(bundlePath).filePath(relativePath);
    std::optional<foreign_file::OpenFile> module = foreign_file::openRegular(path, kMaxModuleBytes);
    if (!module)
        return failure(Outcome::missing, QStringLiteral("missing or not a regular file: ") + path);

    QString expected;
    const SealedModule sealed = sealedHash(bundlePath, relativePath, anchorsPEM, signer, &expected);
    if (sealed.outcome != Outcome::loaded)
        return sealed;
    const std::optional<QString> actual = code_signature::sha256OfDescriptor(module->descriptor.get());
    if (!actual)
        return failure(Outcome::notSealed, QStringLiteral("cannot be read: ") + path);
    if (*actual != expected)
        return failure(Outcome::notSealed, QStringLiteral("modified after the bundle was signed: ") + path);

    // The very file that was checked, through its descriptor: a file put at the path since
    // cannot be mapped instead.
    const QByteArray descriptorPath = "/proc/self/fd/" + QByteArray::number(module->descriptor.get());
    void *handle = ::dlopen(descriptorPath.constData(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char *error = ::dlerror();
        return failure(Outcome::loadFailed,
                       QStringLiteral("cannot be loaded: ") + QString::fromLocal8Bit(error ? error : "unknown error"));
    }
    // The dynamic linker knows the module by that name and finds an object it already holds by
    // name first: were the descriptor closed, the next module opened on the same number would
    // be taken for this one. It stays open (close-on-exec) as long as the module stays mapped,
    // which is for the life of the process.
    static_cast<void>(module->descriptor.release());
    void *entry = ::dlsym(handle, entrySymbol);
    if (!entry)
        return failure(Outcome::loadFailed,
                       QStringLiteral("has no entry point %1: %2").arg(QString::fromLatin1(entrySymbol), path));
    return SealedModule{entry, Outcome::loaded, QString()};
}

}  // namespace mornix
