#include "platform/linux/updater/bundle_installer.h"

#include "platform/linux/updater/bundle_archive.h"
#include "platform/posix_files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef RENAME_EXCHANGE
#define RENAME_EXCHANGE (1 << 1)
#endif

namespace mornix {

namespace {

const char kArchiveName[] = "archive";  // of whatever format its content says
const char kUnpackedName[] = "unpacked";
const char kPreviousName[] = "previous.app";

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

using Fd = posix::UniqueFd;

int openDirectory(const QString &path)
{
    return ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

int exchange(int fromDirectory, const char *from, int toDirectory, const char *to)
{
    return static_cast<int>(::syscall(SYS_renameat2, fromDirectory, from, toDirectory, to, RENAME_EXCHANGE));
}

}  // namespace

BundleInstaller::BundleInstaller(QString bundlePath, std::shared_ptr<PlatformModules> modules, StepHook stepHook)
    : m_bundlePath(QDir::cleanPath(bundlePath))
    , m_modules(std::move(modules))
    , m_stepHook(std::move(stepHook))
{
}

QString BundleInstaller::stagingPath() const
{
    const QFileInfo bundle(m_bundlePath);
    return bundle.absolutePath() + QStringLiteral("/.") + bundle.fileName() + QStringLiteral(".update");
}

void BundleInstaller::step(const QString &name) const
{
    if (m_stepHook)
        m_stepHook(name);
}

bool BundleInstaller::recover(QString *error)
{
    const QFileInfo bundle(m_bundlePath);
    Fd parent(openDirectory(bundle.absolutePath()));
    if (parent.get() < 0) {
        *error = QStringLiteral("cannot open the bundle's directory: %1").arg(systemError());
        return false;
    }
    const QByteArray staging = QFile::encodeName(QFileInfo(stagingPath()).fileName());
    struct stat info {};
    if (::fstatat(parent.get(), staging.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return true;  // nothing left behind
    if (S_ISDIR(info.st_mode) && info.st_uid == ::getuid()) {
        // An interrupted move-aside install: the old bundle goes back where it was.
        const QByteArray bundleName = QFile::encodeName(bundle.fileName());
        struct stat installed {};
        if (::fstatat(parent.get(), bundleName.constData(), &installed, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) {
            Fd stagingFd(::openat(parent.get(), staging.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (stagingFd.get() >= 0
                && ::renameat(stagingFd.get(), kPreviousName, parent.get(), bundleName.constData()) == 0)
                ::fsync(parent.get());
        }
    }
    if (!bundle_archive::removeTree(parent.get(), QFile::decodeName(staging))) {
        *error = QStringLiteral("cannot remove %1: %2").arg(stagingPath(), systemError());
        return false;
    }
    ::fsync(parent.get());
    return true;
}

int BundleInstaller::createArchiveFile(QString *error)
{
    if (!recover(error))
        return -1;
    const QByteArray staging = QFile::encodeName(stagingPath());
    if (::mkdir(staging.constData(), 0700) != 0) {
        *error = QStringLiteral("cannot create %1: %2").arg(stagingPath(), systemError());
        return -1;
    }
    Fd stagingFd(openDirectory(stagingPath()));
    if (stagingFd.get() < 0) {
        *error = QStringLiteral("cannot open %1: %2").arg(stagingPath(), systemError());
        return -1;
    }
    const int fd = ::openat(stagingFd.get(), kArchiveName, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        *error = QStringLiteral("cannot create the archive file: %1").arg(systemError());
    return fd;
}

std::optional<QString> BundleInstaller::unpack(int archiveFd, QString *error, QString *format)
{
    if (!m_modules) {
        *error =
            QStringLiteral("the archive module cannot be used: this process has no loader of the bundle's modules");
        return std::nullopt;
    }
    Fd stagingFd(openDirectory(stagingPath()));
    if (stagingFd.get() < 0) {
        *error = QStringLiteral("cannot open %1: %2").arg(stagingPath(), systemError());
        return std::nullopt;
    }
    if (::mkdirat(stagingFd.get(), kUnpackedName, 0700) != 0) {
        *error = QStringLiteral("cannot create the unpack directory: %1").arg(systemError());
        return std::nullopt;
    }
    Fd unpacked(::openat(stagingFd.get(), kUnpackedName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (unpacked.get() < 0 || ::lseek(archiveFd, 0, SEEK_SET) != 0) {
        *error = QStringLiteral("cannot open the unpack directory: %1").arg(systemError());
        return std::nullopt;
    }
    const bundle_archive::Result result =
        bundle_archive::extract(*m_modules, archiveFd, unpacked.get(), {}, [this](int entries) {
            if (entries == 2)
                step(QStringLiteral("unpacking"));
        });
    if (format)
        *format = result.format;
    if (!result.ok) {
        *error = result.moduleUnusable ? result.error : QStringLiteral("the archive was refused: %1").arg(result.error);
        return std::nullopt;
    }
    // Everything unpacked reaches the disk before the swap can make it the installed bundle.
    if (::syncfs(unpacked.get()) != 0) {
        *error = QStringLiteral("cannot flush the unpacked bundle: %1").arg(systemError());
        return std::nullopt;
    }
    step(QStringLiteral("unpacked"));
    return stagingPath() + QLatin1Char('/') + QLatin1String(kUnpackedName) + QLatin1Char('/') + result.bundleName;
}

bool BundleInstaller::swapIntoPlace(const QString &unpackedBundle, QString *error)
{
    const QFileInfo bundle(m_bundlePath);
    const QFileInfo fresh(unpackedBundle);
    Fd parent(openDirectory(bundle.absolutePath()));
    Fd freshParent(openDirectory(fresh.absolutePath()));
    if (parent.get() < 0 || freshParent.get() < 0) {
        *error = QStringLiteral("cannot open the directories to swap: %1").arg(systemError());
        return false;
    }
    const QByteArray bundleName = QFile::encodeName(bundle.fileName());
    const QByteArray freshName = QFile::encodeName(fresh.fileName());

    if (exchange(freshParent.get(), freshName.constData(), parent.get(), bundleName.constData()) != 0) {
        if (errno != EINVAL && errno != ENOSYS) {
            *error = QStringLiteral("cannot swap the bundles: %1").arg(systemError());
            return false;
        }
        // No exchange on this file system: move the old bundle aside, then the new one in.
        // recover() puts the old one back if a crash falls between the two renames.
        Fd stagingFd(openDirectory(stagingPath()));
        if (stagingFd.get() < 0
            || ::renameat(parent.get(), bundleName.constData(), stagingFd.get(), kPreviousName) != 0) {
            *error = QStringLiteral("cannot move the installed bundle aside: %1").arg(systemError());
            return false;
        }
        ::fsync(stagingFd.get());
        ::fsync(parent.get());
        if (::renameat(freshParent.get(), freshName.constData(), parent.get(), bundleName.constData()) != 0) {
            *error = QStringLiteral("cannot move the new bundle into place: %1").arg(systemError());
            ::renameat(stagingFd.get(), kPreviousName, parent.get(), bundleName.constData());
            ::fsync(parent.get());
            return false;
        }
    }
    ::fsync(parent.get());
    step(QStringLiteral("swapped"));

    QString cleanupError;
    if (!recover(&cleanupError))
        *error = cleanupError;  // the new bundle is in place; leftovers go at the next start
    step(QStringLiteral("cleaned"));
    return true;
}

}  // namespace mornix
