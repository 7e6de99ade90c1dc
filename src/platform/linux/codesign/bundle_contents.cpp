// The on-disk walk of a bundle for sealing signatures (declared in code_signature.h).

#include "platform/posix_files.h"
#include "platform/linux/codesign/code_signature.h"
#include "platform/linux/foreign_file.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace mornix {

namespace code_signature {

namespace {

constexpr int kMaxDepth = 32;
constexpr int kMaxEntries = 100000;
constexpr qint64 kMaxFileBytes = qint64(4) * 1024 * 1024 * 1024;
constexpr qint64 kMaxInfoPlistBytes = 4 * 1024 * 1024;

struct Walk {
    int root = -1;  // the bundle directory
    const FileHasher *hash = nullptr;
    BundleContents contents;
    int entries = 0;
    QString problem;

    bool fail(const QString &why)
    {
        if (problem.isEmpty())
            problem = why;
        return false;
    }
};

// Whether the symbolic link at relative (from the bundle directory) resolves to something
// inside the bundle: the kernel resolves it with every step held beneath the bundle directory.
bool linkStaysInside(int root, const QByteArray &relative, QString *why)
{
    struct open_how how;
    std::memset(&how, 0, sizeof how);
    how.flags = O_PATH | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    const posix::UniqueFd fd(static_cast<int>(::syscall(SYS_openat2, root, relative.constData(), &how, sizeof how)));
    if (fd.isValid())
        return true;
    switch (errno) {
    case EXDEV: *why = QStringLiteral("leads outside the bundle"); break;
    case ENOENT: *why = QStringLiteral("leads nowhere"); break;
    case ELOOP: *why = QStringLiteral("is a loop"); break;
    default:
        // Without openat2 (old kernels) a link cannot be judged safely: refuse it.
        *why = QStringLiteral("cannot be resolved safely (%1)").arg(QString::fromLocal8Bit(std::strerror(errno)));
        break;
    }
    return false;
}

bool walkDirectory(Walk &walk, int parent, const QByteArray &name, const QString &relative, int depth)
{
    if (depth > kMaxDepth)
        return walk.fail(QStringLiteral("%1 is nested too deeply").arg(relative));
    posix::UniqueFd opened(
        ::openat(parent, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!opened.isValid())
        return walk.fail(
            QStringLiteral("cannot open %1: %2").arg(relative, QString::fromLocal8Bit(std::strerror(errno))));
    const int fd = opened.get();
    DIR *dir = ::fdopendir(fd);
    if (!dir)
        return walk.fail(QStringLiteral("cannot list %1").arg(relative));
    opened.release();  // the stream owns it now
    bool ok = true;
    while (ok) {
        errno = 0;
        const dirent *entry = ::readdir(dir);
        if (!entry) {
            if (errno != 0)
                ok = walk.fail(QStringLiteral("cannot list %1").arg(relative));
            break;
        }
        const QByteArray child(entry->d_name);
        if (child == "." || child == "..")
            continue;
        if (++walk.entries > kMaxEntries) {
            ok = walk.fail(QStringLiteral("the bundle has too many entries"));
            break;
        }
        const QString childName = QString::fromUtf8(child);
        if (childName.toUtf8() != child) {
            ok = walk.fail(QStringLiteral("a name in %1 is not UTF-8").arg(relative));
            break;
        }
        const QString path = relative + QLatin1Char('/') + childName;
        struct stat info;
        if (::fstatat(::dirfd(dir), child.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            ok = walk.fail(QStringLiteral("cannot examine %1").arg(path));
            break;
        }
        if (S_ISDIR(info.st_mode)) {
            if (path == QLatin1String(kSignatureDirectory))
                continue;
            ok = walkDirectory(walk, ::dirfd(dir), child, path, depth + 1);
        } else if (S_ISREG(info.st_mode)) {
            const bool isInfoPlist = path == QLatin1String(kInfoPlistPath);
            std::optional<foreign_file::OpenFile> file =
                foreign_file::openRegularAt(::dirfd(dir), child, isInfoPlist ? kMaxInfoPlistBytes : kMaxFileBytes);
            if (!file) {
                ok = walk.fail(QStringLiteral("cannot open %1 as a regular file").arg(path));
                break;
            }
            std::optional<QString> digest;
            if (isInfoPlist) {
                // Hash exactly the bytes that are then parsed.
                std::optional<QByteArray> bytes = foreign_file::readAll(*file);
                if (bytes) {
                    digest = sha256OfBytes(*bytes);
                    walk.contents.infoPlist = std::move(*bytes);
                }
            } else {
                digest = (*walk.hash)(file->descriptor.get());
            }
            if (!digest) {
                ok = walk.fail(QStringLiteral("cannot read %1").arg(path));
                break;
            }
            walk.contents.files.insert(path, *digest);
        } else if (S_ISLNK(info.st_mode)) {
            QString why;
            if (!linkStaysInside(walk.root, path.toUtf8(), &why))
                ok = walk.fail(QStringLiteral("the symbolic link %1 %2").arg(path, why));
        } else {
            ok = walk.fail(QStringLiteral("%1 is not a regular file, directory or symbolic link").arg(path));
        }
    }
    ::closedir(dir);
    return ok;
}

}  // namespace

QString sha256OfBytes(const QByteArray &bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.constData(), static_cast<size_t>(bytes.size()), digest, &length, EVP_sha256(), nullptr) != 1)
        return {};
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char *>(digest), static_cast<qsizetype>(length)).toHex());
}

std::optional<BundleContents> readBundleContents(const QString &bundlePath, const FileHasher &hash, QString *problem)
{
    Walk walk;
    walk.hash = &hash;
    auto failed = [&]() -> std::optional<BundleContents> {
        if (problem)
            *problem = walk.problem;
        return std::nullopt;
    };
    const QByteArray encoded = bundlePath.toUtf8();
    if (bundlePath.isEmpty() || encoded.contains('\0')) {
        walk.fail(QStringLiteral("no bundle path"));
        return failed();
    }
    const posix::UniqueFd root(
        ::open(encoded.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    walk.root = root.get();
    if (walk.root < 0) {
        walk.fail(QStringLiteral("cannot open the bundle: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
        return failed();
    }
    // The top of a bundle holds Contents/ and nothing else.
    bool ok = true;
    posix::UniqueFd listing(::dup(walk.root));
    if (DIR *dir = listing.isValid() ? ::fdopendir(listing.get()) : nullptr) {
        listing.release();  // the stream owns it now
        bool sawContents = false;
        for (;;) {
            errno = 0;
            const dirent *entry = ::readdir(dir);
            if (!entry) {
                if (errno != 0)
                    ok = walk.fail(QStringLiteral("cannot list the bundle"));
                break;
            }
            const QByteArray name(entry->d_name);
            if (name == "." || name == "..")
                continue;
            if (name != "Contents") {
                ok = walk.fail(QStringLiteral("%1 lies beside Contents").arg(QString::fromUtf8(name)));
                break;
            }
            sawContents = true;
        }
        ::closedir(dir);
        if (ok && !sawContents)
            ok = walk.fail(QStringLiteral("the bundle has no Contents"));
    } else {
        ok = walk.fail(QStringLiteral("cannot list the bundle"));
    }
    if (ok)
        ok = walkDirectory(walk, walk.root, QByteArrayLiteral("Contents"), QStringLiteral("Contents"), 1);
    if (!ok)
        return failed();
    return std::move(walk.contents);
}

}  // namespace code_signature

}  // namespace mornix
