#include "platform/linux/sealed_module.h"

#include "platform/linux/code_signature.h"
#include "platform/linux/foreign_file.h"

#include <QDir>

#include <cerrno>
#include <dlfcn.h>
#include <sys/stat.h>

namespace mornix {

namespace {

constexpr qint64 kMaxModuleBytes = qint64(512) << 20;
constexpr qint64 kMaxSignatureBytes = qint64(16) << 20;

SealedModule failure(const QString &problem)
{
    return SealedModule{nullptr, problem};
}

bool signatureFileExists(const QString &path)
{
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 || errno != ENOENT;
}

// The module's hash as the bundle's signature lists it; empty with *problem set otherwise.
QString sealedHash(const QString &bundlePath, const QString &relativePath, const QByteArray &anchorsPEM,
                   bool *unsigned_, QString *problem)
{
    const QString signaturePath = code_signature::signatureFilePath(bundlePath);
    if (!signatureFileExists(signaturePath)) {
        *unsigned_ = true;
        return QString();
    }
    const std::optional<QByteArray> der = foreign_file::read(signaturePath, kMaxSignatureBytes);
    if (!der) {
        *problem = QStringLiteral("the bundle's code signature cannot be read: ") + signaturePath;
        return QString();
    }
    const std::optional<code_signature::VerifiedContent> verified = code_signature::verifySignedContent(*der, anchorsPEM);
    const std::optional<code_signature::CodeDirectory> directory =
        verified ? code_signature::parseCodeDirectory(verified->content) : std::nullopt;
    if (!directory) {
        *problem = QStringLiteral("the bundle's code signature is not valid: ") + signaturePath;
        return QString();
    }
    const QString hash = directory->files.value(relativePath);
    if (hash.isEmpty())
        *problem = QStringLiteral("the bundle's code signature does not cover ") + relativePath;
    return hash;
}

}  // namespace

SealedModule loadSealedModule(const QString &bundlePath, const QString &relativePath, const char *entrySymbol,
                              const QByteArray &anchorsPEM)
{
    if (bundlePath.isEmpty())
        return failure(QStringLiteral("not started from an application bundle"));
    if (!code_signature::isSafeRelativePath(relativePath))
        return failure(QStringLiteral("not a path inside the bundle: ") + relativePath);
    const QString path = QDir(bundlePath).filePath(relativePath);
    std::optional<foreign_file::OpenFile> module = foreign_file::openRegular(path, kMaxModuleBytes);
    if (!module)
        return failure(QStringLiteral("missing or not a regular file: ") + path);

    bool unsignedBundle = false;
    QString problem;
    const QString expected = sealedHash(bundlePath, relativePath, anchorsPEM, &unsignedBundle, &problem);
    if (!unsignedBundle) {
        if (expected.isEmpty())
            return failure(problem);
        const std::optional<QString> actual = code_signature::sha256OfDescriptor(module->descriptor.get());
        if (!actual)
            return failure(QStringLiteral("cannot be read: ") + path);
        if (*actual != expected)
            return failure(QStringLiteral("modified after the bundle was signed: ") + path);
    }

    // The very file that was checked, through its descriptor: a file put at the path since
    // cannot be mapped instead.
    const QByteArray descriptorPath = "/proc/self/fd/" + QByteArray::number(module->descriptor.get());
    void *handle = ::dlopen(descriptorPath.constData(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char *error = ::dlerror();
        return failure(QStringLiteral("cannot be loaded: ") + QString::fromLocal8Bit(error ? error : "unknown error"));
    }
    // The dynamic linker knows the module by that name and finds an object it already holds by
    // name first: were the descriptor closed, the next module opened on the same number would
    // be taken for this one. It stays open (close-on-exec) as long as the module stays mapped,
    // which is for the life of the process.
    static_cast<void>(module->descriptor.release());
    void *entry = ::dlsym(handle, entrySymbol);
    if (!entry)
        return failure(QStringLiteral("has no entry point %1: %2").arg(QString::fromLatin1(entrySymbol), path));
    return SealedModule{entry, QString()};
}

}  // namespace mornix
