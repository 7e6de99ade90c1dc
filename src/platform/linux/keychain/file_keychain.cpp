#include "platform/linux/keychain/file_keychain.h"
#include "platform/linux/platform_logging.h"

#include "platform/posix_files.h"

#include <QFile>
#include <QLoggingCategory>
#include <QMutexLocker>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mornix {

namespace {

constexpr qint64 kMaxItemBytes = 1 << 20;  // far above any record or key this program stores

QString encodePart(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

bool safeItem(const struct stat &st)
{
    return S_ISREG(st.st_mode) && st.st_uid == ::getuid() && (st.st_mode & 077) == 0;
}

}  // namespace

FileKeychain::FileKeychain(QString directory)
    : m_directory(std::move(directory))
    , m_explicitDirectory(!m_directory.isEmpty())
{
}

QString FileKeychain::genericPasswordFileName(const QString &service, const QString &account)
{
    return QStringLiteral("genp.") + encodePart(service.toUtf8()) + QLatin1Char('.') + encodePart(account.toUtf8());
}

QString FileKeychain::keyFileName(const QByteArray &applicationTag)
{
    return QStringLiteral("key.") + encodePart(applicationTag);
}

bool FileKeychain::prepare()
{
    if (!m_explicitDirectory) {
        QString problem;
        const QString base = posix::preparedDataDirectory(&problem);
        if (base.isEmpty()) {
            qCWarning(lcKeychainLock).noquote() << "data directory unusable:" << problem;
            return false;
        }
        m_directory = base + QStringLiteral("/keychain");
    }
    const posix::OpenResult dir = posix::openPrivateDirectory(m_directory, posix::ModeRule::requirePrivate);
    if (!dir.ok())
        qCWarning(lcKeychainLock).noquote() << "keychain directory unusable:" << dir.description;
    return dir.ok();
}

std::unique_ptr<posix::LockFile> FileKeychain::lockDirectory() const
{
    posix::LockAttempt attempt = posix::LockFile::acquire(m_directory + QStringLiteral("/.lock"),
                                                          posix::LockKind::OpenFile, posix::LockWait::Block);
    if (!attempt.ok())
        qCWarning(lcKeychainLock).noquote() << "keychain lock unusable:" << attempt.description;
    return std::move(attempt.lock);
}

int FileKeychain::readFile(const QString &name, QByteArray &data)
{
    // Checked on the descriptor: a link, FIFO, another user's file or one open to others is
    // refused (and never blocks the caller).
    const posix::ReadResult file = posix::readOwnFileAt(AT_FDCWD, m_directory + QLatin1Char('/') + name, kMaxItemBytes);
    if (!file.ok())
        return file.error == ENOENT                                            ? keychain_status::itemNotFound
               : file.error == 0 || file.error == ELOOP || file.error == EFBIG ? keychain_status::invalidItem
                                                                               : keychain_status::ioError;
    data = *file.bytes;
    return keychain_status::success;
}

int FileKeychain::writeFile(const QString &name, const QByteArray &data, bool mustExist, bool mustNotExist)
{
    const posix::OpenResult directory = posix::openOwnDirectory(m_directory, posix::ModeRule::requirePrivate);
    if (!directory.ok())
        return keychain_status::ioError;
    struct stat st {};
    if (::fstatat(directory.fd.get(), QFile::encodeName(name).constData(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!safeItem(st))
            return keychain_status::invalidItem;
        if (mustNotExist)
            return keychain_status::duplicateItem;
    } else if (errno != ENOENT) {
        return keychain_status::ioError;
    } else if (mustExist) {
        return keychain_status::itemNotFound;
    }
    // Writers are serialised by the directory lock, so one fixed temporary name serves.
    posix::ReplaceOptions options;
    options.temporaryName = name + QStringLiteral(".tmp-") + QString::number(::getpid());
    const posix::ReplaceResult replaced = posix::replaceFile(directory.fd.get(), name, data, options);
    return replaced.ok() ? keychain_status::success : keychain_status::ioError;
}

int FileKeychain::removeFile(const QString &name)
{
    const QByteArray path = QFile::encodeName(m_directory + QLatin1Char('/') + name);
    struct stat st {};
    if (::lstat(path.constData(), &st) != 0)
        return errno == ENOENT ? keychain_status::itemNotFound : keychain_status::ioError;
    if (!safeItem(st))
        return keychain_status::invalidItem;
    if (::unlink(path.constData()) != 0)
        return errno == ENOENT ? keychain_status::itemNotFound : keychain_status::ioError;
    return keychain_status::success;
}

int FileKeychain::readGenericPassword(const QString &service, const QString &account, QByteArray &data)
{
    QMutexLocker locker(&m_mutex);
    if (!prepare())
        return keychain_status::notAvailable;
    return readFile(genericPasswordFileName(service, account), data);
}

#define MORNIX_LOCKED_WRITE(expr)                                                                                      \
    QMutexLocker locker(&m_mutex);                                                                                     \
    if (!prepare())                                                                                                    \
        return keychain_status::notAvailable;                                                                          \
    const std::unique_ptr<posix::LockFile> lock = lockDirectory();                                                     \
    if (!lock)                                                                                                         \
        return keychain_status::notAvailable;                                                                          \
    return (expr)

int FileKeychain::addGenericPassword(const QString &service, const QString &account, const QByteArray &data)
{
    MORNIX_LOCKED_WRITE(writeFile(genericPasswordFileName(service, account), data, false, true));
}

int FileKeychain::updateGenericPassword(const QString &service, const QString &account, const QByteArray &data)
{
    MORNIX_LOCKED_WRITE(writeFile(genericPasswordFileName(service, account), data, true, false));
}

int FileKeychain::deleteGenericPassword(const QString &service, const QString &account)
{
    MORNIX_LOCKED_WRITE(removeFile(genericPasswordFileName(service, account)));
}

int FileKeychain::readKey(const QByteArray &applicationTag, QByteArray &keyData)
{
    QMutexLocker locker(&m_mutex);
    if (!prepare())
        return keychain_status::notAvailable;
    return readFile(keyFileName(applicationTag), keyData);
}

int FileKeychain::addKey(const QByteArray &applicationTag, const QByteArray &keyData)
{
    MORNIX_LOCKED_WRITE(writeFile(keyFileName(applicationTag), keyData, false, true));
}

int FileKeychain::deleteKey(const QByteArray &applicationTag)
{
    MORNIX_LOCKED_WRITE(removeFile(keyFileName(applicationTag)));
}

}  // namespace mornix

#undef MORNIX_LOCKED_WRITE
