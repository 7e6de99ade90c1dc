#include "platform/linux/codesign/cms_code_signing.h"

#include "platform/linux/bundle/info_plist.h"
#include "platform/linux/platform_logging.h"
#include "platform/linux/process/procfs_workspace.h"
#include "platform/linux/process/proc_fs.h"
#include "platform/posix_files.h"

#include <QFile>
#include <QFileInfo>
#include <QHashFunctions>
#include <QLoggingCategory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mornix {

namespace {

constexpr qsizetype kCacheLimit = 4096;
constexpr qint64 kMaxSignatureBytes = 16 * 1024 * 1024;

using Descriptor = posix::UniqueFd;

std::optional<CmsCodeSigning::FileKey> keyOf(const struct stat &info)
{
    if (!S_ISREG(info.st_mode))
        return std::nullopt;
    CmsCodeSigning::FileKey key;
    key.device = info.st_dev;
    key.inode = info.st_ino;
    key.size = info.st_size;
    key.modifiedNs = qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    key.changedNs = qint64(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
    return key;
}

std::optional<CmsCodeSigning::FileKey> keyOf(int fd)
{
    struct stat info;
    if (::fstat(fd, &info) != 0)
        return std::nullopt;
    return keyOf(info);
}

// The identity of the regular file at path itself (a symbolic link in the last component is not
// followed, as with O_NOFOLLOW): enough to find a cached verdict for exactly that file without
// opening it. A miss opens the file and judges it by its descriptor.
std::optional<CmsCodeSigning::FileKey> keyAtPath(const QByteArray &path)
{
    struct stat info;
    if (::lstat(path.constData(), &info) != 0)
        return std::nullopt;
    return keyOf(info);
}

// Opens a regular file without following a symbolic link in its last component.
int openRegular(const QString &path)
{
    return ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
}

}  // namespace

size_t qHash(const CmsCodeSigning::FileKey &key, size_t seed) noexcept
{
    return qHashMulti(seed, key.device, key.inode, key.size, key.modifiedNs, key.changedNs);
}

CmsCodeSigning::CmsCodeSigning(QByteArray anchorsPEM)
    : m_anchorsPEM(std::move(anchorsPEM))
{
}

std::optional<QString> CmsCodeSigning::hashOfDescriptor(int fd)
{
    const std::optional<FileKey> key = keyOf(fd);
    if (!key)
        return std::nullopt;
    {
        QMutexLocker lock(&m_mutex);
        const auto it = m_hashes.constFind(*key);
        if (it != m_hashes.constEnd())
            return *it;
    }
    const std::optional<QString> hash = code_signature::sha256OfDescriptor(fd);
    if (!hash)
        return std::nullopt;
    // The file must not have changed while it was read.
    const std::optional<FileKey> after = keyOf(fd);
    if (!after || !(*after == *key))
        return std::nullopt;
    QMutexLocker lock(&m_mutex);
    if (m_hashes.size() >= kCacheLimit)
        m_hashes.clear();
    m_hashes.insert(*key, *hash);
    return hash;
}

std::optional<QString> CmsCodeSigning::hashOfFile(const QString &path)
{
    if (const std::optional<FileKey> key = keyAtPath(QFile::encodeName(path))) {
        QMutexLocker lock(&m_mutex);
        const auto it = m_hashes.constFind(*key);
        if (it != m_hashes.constEnd())
            return *it;
    }
    Descriptor file(openRegular(path));
    if (file.get() < 0)
        return std::nullopt;
    return hashOfDescriptor(file.get());
}

std::optional<CmsCodeSigning::SignedDirectory> CmsCodeSigning::verifySignatureFile(const QString &signaturePath)
{
    if (const std::optional<FileKey> key = keyAtPath(QFile::encodeName(signaturePath))) {
        QMutexLocker lock(&m_mutex);
        const auto it = m_signatures.constFind(*key);
        if (it != m_signatures.constEnd())
            return *it;
    }
    Descriptor file(openRegular(signaturePath));
    if (file.get() < 0)
        return std::nullopt;
    const std::optional<FileKey> key = keyOf(file.get());
    if (!key || key->size <= 0 || key->size > kMaxSignatureBytes)
        return std::nullopt;
    {
        QMutexLocker lock(&m_mutex);
        const auto it = m_signatures.constFind(*key);
        if (it != m_signatures.constEnd())
            return *it;
    }
    QFile reader;
    if (!reader.open(file.get(), QIODevice::ReadOnly, QFileDevice::DontCloseHandle))
        return std::nullopt;
    const QByteArray der = reader.read(kMaxSignatureBytes + 1);
    if (der.size() != key->size)
        return std::nullopt;
    std::optional<SignedDirectory> verdict;
    if (const std::optional<code_signature::VerifiedContent> content =
            code_signature::verifySignedContent(der, m_anchorsPEM)) {
        if (std::optional<code_signature::CodeDirectory> directory =
                code_signature::parseCodeDirectory(content->content))
            verdict = SignedDirectory{std::move(*directory), content->teamIdentifier};
    }
    QMutexLocker lock(&m_mutex);
    if (m_signatures.size() >= kCacheLimit)
        m_signatures.clear();
    m_signatures.insert(*key, verdict);
    return verdict;
}

std::optional<CmsCodeSigning::Verified> CmsCodeSigning::verifyStatic(const QString &rawPath)
{
    QString codePath = rawPath;
    while (codePath.size() > 1 && codePath.endsWith(QLatin1Char('/')))
        codePath.chop(1);
    if (codePath.isEmpty() || !codePath.startsWith(QLatin1Char('/')))
        return std::nullopt;
    const bool bundle = code_signature::isBundlePath(codePath);

    std::optional<SignedDirectory> content = verifySignatureFile(code_signature::signatureFilePath(codePath));
    if (!content)
        return std::nullopt;
    Verified verified{std::move(content->directory), std::move(content->teamIdentifier), {}};

    if (!bundle) {
        verified.mainExecutable = codePath.mid(codePath.lastIndexOf(QLatin1Char('/')) + 1);
        if (verified.directory.files.size() != 1 || !verified.directory.files.contains(verified.mainExecutable))
            return std::nullopt;
        const std::optional<QString> hash = hashOfFile(codePath);
        if (!hash || *hash != verified.directory.files.value(verified.mainExecutable))
            return std::nullopt;
        return verified;
    }

    // A bundle is sealed: what lies on disk must be exactly what the signature lists.
    const code_signature::FileHasher hasher = [this](int fd) { return hashOfDescriptor(fd); };
    QString problem;
    const std::optional<code_signature::BundleContents> contents =
        code_signature::readBundleContents(codePath, hasher, &problem);
    if (!contents) {
        qCDebug(lcCodeSigning) << "bundle" << codePath << "is not sealable:" << problem;
        return std::nullopt;
    }
    if (contents->files != verified.directory.files) {
        qCDebug(lcCodeSigning) << "bundle" << codePath << "does not match its signature";
        return std::nullopt;
    }
    const std::optional<QVariantMap> info = info_plist::parse(contents->infoPlist);
    const QVariant executable = info ? info->value(QStringLiteral("CFBundleExecutable")) : QVariant();
    if (executable.typeId() != QMetaType::QString || !code_signature::isSafeRelativePath(executable.toString())
        || executable.toString().contains(QLatin1Char('/')))
        return std::nullopt;
    verified.mainExecutable = QStringLiteral("Contents/MacOS/") + executable.toString();
    if (!verified.directory.files.contains(QLatin1String(code_signature::kInfoPlistPath))
        || !verified.directory.files.contains(verified.mainExecutable))
        return std::nullopt;
    return verified;
}

std::optional<SigningInformation> CmsCodeSigning::staticSigningInformation(const QString &path)
{
    const std::optional<Verified> verified = verifyStatic(path);
    if (!verified)
        return std::nullopt;
    return SigningInformation{verified->directory.identifier, verified->teamIdentifier};
}

std::optional<SigningInformation> CmsCodeSigning::runningImageSigningInformation(qint32 pid,
                                                                                 const QString &expectedBundlePath)
{
    if (pid <= 0)
        return std::nullopt;
    // The running image, even when the file at the path has been replaced or deleted since the
    // start. Opened before the path is read, so both describe the same process or the final
    // re-read of the path tells.
    char imagePath[64];
    std::snprintf(imagePath, sizeof imagePath, "/proc/%d/exe", pid);
    Descriptor image(::open(imagePath, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (image.get() < 0)
        return std::nullopt;
    const QString executable = procfs::executablePath(pid);
    if (executable.isEmpty())
        return std::nullopt;
    const QString bundlePath = ProcfsWorkspace::bundlePathOfExecutable(executable);
    if (!expectedBundlePath.isNull()) {
        QString expected = expectedBundlePath;
        while (expected.size() > 1 && expected.endsWith(QLatin1Char('/')))
            expected.chop(1);
        if (bundlePath.isEmpty() || bundlePath != expected)
            return std::nullopt;
    }
    const QString codePath = bundlePath.isEmpty() ? executable : bundlePath;
    const QString relative =
        bundlePath.isEmpty() ? QFileInfo(executable).fileName() : executable.mid(bundlePath.size() + 1);

    const std::optional<Verified> verified = verifyStatic(codePath);
    if (!verified)
        return std::nullopt;
    // Only the main executable (a bundle's CFBundleExecutable) runs as the signed code; any other
    // file of the bundle, listed or not, is not this code running.
    if (relative != verified->mainExecutable)
        return std::nullopt;
    const auto listed = verified->directory.files.constFind(relative);
    if (listed == verified->directory.files.constEnd())
        return std::nullopt;
    const std::optional<QString> imageHash = hashOfDescriptor(image.get());
    if (!imageHash || *imageHash != *listed)
        return std::nullopt;
    // The descriptor must still belong to the process that was asked about.
    if (procfs::executablePath(pid) != executable)
        return std::nullopt;
    return SigningInformation{verified->directory.identifier, verified->teamIdentifier};
}

std::optional<SigningInformation> CmsCodeSigning::dynamicSigningInformation(qint32 pid)
{
    return runningImageSigningInformation(pid, QString());
}

std::optional<SigningInformation> CmsCodeSigning::applicationSigningInformation(qint32 pid, const QString &bundlePath)
{
    if (bundlePath.isEmpty())
        return std::nullopt;
    return runningImageSigningInformation(pid, bundlePath);
}

}  // namespace mornix
