#include "platform/linux/foreign_file.h"

#include <QFile>

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace mornix {

namespace foreign_file {

namespace {

constexpr int kOpenFlags = O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;

std::optional<OpenFile> judge(int fd, qint64 maxBytes)
{
    posix::UniqueFd descriptor(fd);
    if (fd < 0)
        return std::nullopt;
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0 || info.st_size > maxBytes)
        return std::nullopt;
    return OpenFile{std::move(descriptor), identityOf(info)};
}

}  // namespace

Identity identityOf(const struct stat &info)
{
    Identity identity;
    identity.device = info.st_dev;
    identity.inode = info.st_ino;
    identity.size = info.st_size;
    identity.modifiedNs = qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    identity.changedNs = qint64(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
    return identity;
}

std::optional<OpenFile> openRegular(const QString &path, qint64 maxBytes)
{
    if (path.isEmpty() || path.contains(QChar(0)))
        return std::nullopt;
    return judge(::open(QFile::encodeName(path).constData(), kOpenFlags), maxBytes);
}

std::optional<OpenFile> openRegularAt(int dirfd, const QByteArray &name, qint64 maxBytes)
{
    if (name.isEmpty() || name.contains('\0'))
        return std::nullopt;
    return judge(::openat(dirfd, name.constData(), kOpenFlags), maxBytes);
}

std::optional<QByteArray> readAll(const OpenFile &file)
{
    const qint64 expected = file.identity.size;
    QByteArray bytes(static_cast<qsizetype>(expected), Qt::Uninitialized);
    qint64 done = 0;
    while (done < expected) {
        const ssize_t n =
            ::pread(file.descriptor.get(), bytes.data() + done, static_cast<size_t>(expected - done), done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            return std::nullopt;  // shrank while being read
        done += n;
    }
    // One more byte would mean the file grew while it was read.
    char extra;
    ssize_t n;
    do {
        n = ::pread(file.descriptor.get(), &extra, 1, done);
    } while (n < 0 && errno == EINTR);
    if (n != 0)
        return std::nullopt;
    return bytes;
}

std::optional<QByteArray> read(const QString &path, qint64 maxBytes)
{
    const std::optional<OpenFile> file = openRegular(path, maxBytes);
    if (!file)
        return std::nullopt;
    return readAll(*file);
}

}  // namespace foreign_file

}  // namespace mornix
