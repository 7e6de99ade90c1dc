#pragma once

#include "platform/code_signing.h"
#include "platform/linux/codesign/code_signature.h"

#include <QByteArray>
#include <QHash>
#include <QMutex>

namespace mornix {

// CodeSigning for the "veltro-codesign-1" format, trusting the given PEM anchors. A bundle is
// sealed: its files on disk must be exactly the listed ones. File hashes (running images
// included) and CMS verdicts with their parsed directories are cached by file identity (device,
// inode, size, mtime and ctime), so an unchanged executable is hashed and its signature verified
// and parsed once. A cached check looks the files up by their identity at the path (no link
// followed); anything not cached is opened and judged by its descriptor, and a running image is
// always judged by the descriptor of its /proc/PID/exe.
// Construction does no work. Thread: any.
class CmsCodeSigning final : public CodeSigning {
public:
    explicit CmsCodeSigning(QByteArray anchorsPEM);

    std::optional<SigningInformation> staticSigningInformation(const QString &path) override;
    std::optional<SigningInformation> dynamicSigningInformation(qint32 pid) override;
    std::optional<SigningInformation> applicationSigningInformation(qint32 pid, const QString &bundlePath) override;

    struct FileKey {
        quint64 device = 0;
        quint64 inode = 0;
        qint64 size = 0;
        qint64 modifiedNs = 0;
        qint64 changedNs = 0;
        bool operator==(const FileKey &) const = default;
    };

private:
    struct Verified {
        code_signature::CodeDirectory directory;
        QString teamIdentifier;
        QString mainExecutable;  // relative path of the main executable
    };
    std::optional<Verified> verifyStatic(const QString &codePath);
    // expectedBundlePath: null for any code; otherwise the process must run that bundle's code.
    std::optional<SigningInformation> runningImageSigningInformation(qint32 pid, const QString &expectedBundlePath);
    struct SignedDirectory {
        code_signature::CodeDirectory directory;
        QString teamIdentifier;
    };
    // The verified and parsed signature file; nullopt when it is not a valid signature.
    std::optional<SignedDirectory> verifySignatureFile(const QString &signaturePath);
    std::optional<QString> hashOfDescriptor(int fd);
    std::optional<QString> hashOfFile(const QString &path);

    const QByteArray m_anchorsPEM;
    QMutex m_mutex;  // guards the two caches
    QHash<FileKey, QString> m_hashes;
    QHash<FileKey, std::optional<SignedDirectory>> m_signatures;
};

size_t qHash(const CmsCodeSigning::FileKey &key, size_t seed = 0) noexcept;

}  // namespace mornix
