#include "platform/linux/bundle_archive.h"

#include "platform/posix_files.h"

#include <QByteArray>
#include <QFile>
#include <QHash>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace mornix {

namespace bundle_archive {

namespace {

constexpr int kBlock = 512;

using Fd = posix::UniqueFd;

bool readFully(int fd, char *buffer, size_t size)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, buffer + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

QByteArray field(const char *header, int offset, int length)
{
    const char *start = header + offset;
    const void *nul = std::memchr(start, '\0', static_cast<size_t>(length));
    return QByteArray(start, nul ? static_cast<const char *>(nul) - start : length);
}

// Octal, space or NUL terminated; or GNU base-256 (high bit of the first byte set).
std::optional<qint64> number(const char *header, int offset, int length)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(header + offset);
    if (bytes[0] & 0x80) {
        if (bytes[0] != 0x80)
            return std::nullopt;  // negative or oversized
        quint64 value = 0;
        for (int i = 1; i < length; ++i) {
            if (value >> 55)
                return std::nullopt;
            value = (value << 8) | bytes[i];
        }
        return static_cast<qint64>(value);
    }
    qint64 value = 0;
    int i = 0;
    while (i < length && bytes[i] == ' ')
        ++i;
    bool any = false;
    for (; i < length && bytes[i] >= '0' && bytes[i] <= '7'; ++i) {
        if (value > (std::numeric_limits<qint64>::max() >> 3))
            return std::nullopt;
        value = value * 8 + (bytes[i] - '0');
        any = true;
    }
    for (; i < length; ++i) {
        if (bytes[i] != ' ' && bytes[i] != '\0')
            return std::nullopt;
    }
    return any ? std::optional<qint64>(value) : std::nullopt;
}

bool checksumValid(const char *header)
{
    const std::optional<qint64> stored = number(header, 148, 8);
    if (!stored)
        return false;
    qint64 sum = 0;
    for (int i = 0; i < kBlock; ++i)
        sum += (i >= 148 && i < 156) ? ' ' : static_cast<unsigned char>(header[i]);
    return sum == *stored;
}

bool isZeroBlock(const char *block)
{
    for (int i = 0; i < kBlock; ++i) {
        if (block[i])
            return false;
    }
    return true;
}

// "len key=value\n" records.
QHash<QByteArray, QByteArray> parsePax(const QByteArray &data, bool *ok)
{
    QHash<QByteArray, QByteArray> records;
    qsizetype at = 0;
    *ok = true;
    while (at < data.size()) {
        const qsizetype space = data.indexOf(' ', at);
        if (space < 0) {
            *ok = false;
            break;
        }
        bool numberOk = false;
        const qsizetype length = data.mid(at, space - at).toLongLong(&numberOk);
        if (!numberOk || length <= space - at + 1 || at + length > data.size() || data[at + length - 1] != '\n') {
            *ok = false;
            break;
        }
        const QByteArray record = data.mid(space + 1, length - (space - at) - 2);
        const qsizetype equals = record.indexOf('=');
        if (equals <= 0) {
            *ok = false;
            break;
        }
        records.insert(record.left(equals), record.mid(equals + 1));
        at += length;
    }
    return records;
}

// Components of a member name; empty when it is unsafe.
QStringList safeComponents(const QByteArray &rawName)
{
    if (rawName.isEmpty() || rawName.contains('\0') || rawName.startsWith('/'))
        return {};
    QString name = QString::fromUtf8(rawName);
    if (name.toUtf8() != rawName)
        return {};  // not UTF-8
    while (name.startsWith(QLatin1String("./")))
        name.remove(0, 2);
    while (name.endsWith(QLatin1Char('/')))
        name.chop(1);
    if (name.isEmpty())
        return {};
    const QStringList parts = name.split(QLatin1Char('/'));
    for (const QString &part : parts) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return {};
    }
    return parts;
}

// A link target stays inside the bundle: only leading ".." components, at most as many as
// there are directories between the link and the bundle's top, then plain components.
bool linkStaysInside(const QByteArray &rawTarget, int depthBelowTop)
{
    if (rawTarget.isEmpty() || rawTarget.startsWith('/') || rawTarget.contains('\0'))
        return false;
    const QList<QByteArray> parts = rawTarget.split('/');
    int ups = 0;
    bool descending = false;
    for (const QByteArray &part : parts) {
        if (part.isEmpty() || part == ".")
            return false;
        if (part == "..") {
            if (descending)
                return false;
            ++ups;
        } else {
            descending = true;
        }
    }
    return ups <= depthBelowTop;
}

struct Extractor {
    int archiveFd;
    int destinationFd;
    Limits limits;
    QString bundleName;
    qint64 totalBytes = 0;
    int entries = 0;
    QString error;

    bool fail(const QString &why)
    {
        error = why;
        return false;
    }

    // Opens (creating when missing) the directories of `parts` except the last.
    std::optional<Fd> openParent(const QStringList &parts)
    {
        Fd current(::fcntl(destinationFd, F_DUPFD_CLOEXEC, 0));
        if (current.get() < 0)
            return std::nullopt;
        for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
            const QByteArray name = parts[i].toUtf8();
            int next = ::openat(current.get(), name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (next < 0 && errno == ENOENT) {
                if (::mkdirat(current.get(), name.constData(), 0700) != 0)
                    return std::nullopt;
                next = ::openat(current.get(), name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            }
            if (next < 0)
                return std::nullopt;
            current = Fd(next);
        }
        return current;
    }

    bool skip(qint64 size)
    {
        char buffer[kBlock];
        qint64 padded = (size + kBlock - 1) / kBlock * kBlock;
        while (padded > 0) {
            if (!readFully(archiveFd, buffer, kBlock))
                return false;
            padded -= kBlock;
        }
        return true;
    }

    std::optional<QByteArray> readData(qint64 size, qint64 max)
    {
        if (size < 0 || size > max)
            return std::nullopt;
        QByteArray data(static_cast<qsizetype>((size + kBlock - 1) / kBlock * kBlock), '\0');
        if (!readFully(archiveFd, data.data(), static_cast<size_t>(data.size())))
            return std::nullopt;
        data.truncate(static_cast<qsizetype>(size));
        return data;
    }

    bool writeFile(int parentFd, const QByteArray &leaf, qint64 size, mode_t mode)
    {
        Fd out(::openat(parentFd, leaf.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (out.get() < 0)
            return fail(QStringLiteral("cannot create a file (%1)").arg(QString::fromLocal8Bit(std::strerror(errno))));
        char buffer[64 * 1024];
        qint64 remaining = size;
        while (remaining > 0) {
            const size_t chunk = static_cast<size_t>(std::min<qint64>(remaining, sizeof buffer));
            if (!readFully(archiveFd, buffer, chunk))
                return fail(QStringLiteral("the archive ends inside a file"));
            if (!posix::writeAll(out.get(), QByteArray::fromRawData(buffer, static_cast<qsizetype>(chunk))))
                return fail(QStringLiteral("cannot write a file (%1)").arg(QString::fromLocal8Bit(std::strerror(errno))));
            remaining -= static_cast<qint64>(chunk);
        }
        const qint64 padding = (kBlock - size % kBlock) % kBlock;
        if (padding && !readFully(archiveFd, buffer, static_cast<size_t>(padding)))
            return fail(QStringLiteral("the archive ends inside a file"));
        if (::fchmod(out.get(), (mode & 0755) | 0600) != 0)
            return fail(QStringLiteral("cannot set a file's mode"));
        return true;
    }

    bool run(const std::function<void(int)> &afterEntry)
    {
        char header[kBlock];
        QHash<QByteArray, QByteArray> pax;
        std::optional<QByteArray> longName;
        std::optional<QByteArray> longLink;
        bool sawTop = false;

        while (true) {
            if (!readFully(archiveFd, header, kBlock))
                return fail(QStringLiteral("the archive ends without its end marker"));
            if (isZeroBlock(header))
                break;
            if (!checksumValid(header))
                return fail(QStringLiteral("a header's checksum is wrong"));
            const QByteArray magic(header + 257, 6);
            const bool posix = magic == QByteArray("ustar\0", 6);
            const bool gnu = magic == QByteArray("ustar ", 6);
            if (!posix && !gnu)
                return fail(QStringLiteral("not a ustar archive"));
            const char type = header[156];
            std::optional<qint64> size = number(header, 124, 12);
            if (!size || *size < 0)
                return fail(QStringLiteral("a header's size is malformed"));

            if (type == 'x' || type == 'g' || type == 'L' || type == 'K') {
                const std::optional<QByteArray> data = readData(*size, 1024 * 1024);
                if (!data)
                    return fail(QStringLiteral("an extended header is malformed"));
                if (type == 'x') {
                    bool ok = false;
                    pax = parsePax(*data, &ok);
                    if (!ok)
                        return fail(QStringLiteral("an extended header is malformed"));
                } else if (type == 'L') {
                    longName = QByteArray(data->constData(), static_cast<qsizetype>(qstrnlen(data->constData(), data->size())));
                } else if (type == 'K') {
                    longLink = QByteArray(data->constData(), static_cast<qsizetype>(qstrnlen(data->constData(), data->size())));
                }
                continue;  // global headers carry nothing we use
            }

            if (++entries > limits.maxEntries)
                return fail(QStringLiteral("the archive has too many entries"));
            QByteArray name = field(header, 0, 100);
            if (posix) {
                const QByteArray prefix = field(header, 345, 155);
                if (!prefix.isEmpty())
                    name = prefix + '/' + name;
            }
            QByteArray link = field(header, 157, 100);
            if (longName)
                name = *longName;
            if (longLink)
                link = *longLink;
            if (pax.contains("path"))
                name = pax.value("path");
            if (pax.contains("linkpath"))
                link = pax.value("linkpath");
            if (pax.contains("size")) {
                bool ok = false;
                size = pax.value("size").toLongLong(&ok);
                if (!ok || *size < 0)
                    return fail(QStringLiteral("an extended header is malformed"));
            }
            pax.clear();
            longName.reset();
            longLink.reset();
            const std::optional<qint64> mode = number(header, 100, 8);
            if (!mode)
                return fail(QStringLiteral("a header's mode is malformed"));

            const QStringList parts = safeComponents(name);
            if (parts.isEmpty())
                return fail(QStringLiteral("an entry has an unsafe name"));
            if (bundleName.isEmpty()) {
                if (!parts.first().endsWith(QLatin1String(".app")) || parts.first().size() <= 4)
                    return fail(QStringLiteral("the archive does not hold an application bundle"));
                bundleName = parts.first();
            } else if (parts.first() != bundleName) {
                return fail(QStringLiteral("an entry lies outside the bundle"));
            }

            const bool isFile = type == '0' || type == '\0' || type == '7';
            const bool isDirectory = type == '5';
            const bool isLink = type == '2';
            if (!isFile && !isDirectory && !isLink)
                return fail(QStringLiteral("an entry is neither a file, a directory nor a symbolic link"));
            if (parts.size() == 1 && !isDirectory)
                return fail(QStringLiteral("the bundle is not a directory"));
            if (!isFile && *size != 0 && !skip(*size))
                return fail(QStringLiteral("the archive is truncated"));
            totalBytes += isFile ? *size : 0;
            if (totalBytes > limits.maxTotalBytes)
                return fail(QStringLiteral("the archive is too large"));

            std::optional<Fd> parent = openParent(parts);
            if (!parent)
                return fail(QStringLiteral("cannot open the directory of an entry (%1)")
                                .arg(QString::fromLocal8Bit(std::strerror(errno))));
            const QByteArray leaf = parts.last().toUtf8();
            if (isDirectory) {
                if (parts.size() == 1)
                    sawTop = true;
                if (::mkdirat(parent->get(), leaf.constData(), 0700) != 0) {
                    struct stat existing {};
                    if (errno != EEXIST || ::fstatat(parent->get(), leaf.constData(), &existing, AT_SYMLINK_NOFOLLOW) != 0
                        || !S_ISDIR(existing.st_mode))
                        return fail(QStringLiteral("cannot create a directory"));
                }
                Fd directory(::openat(parent->get(), leaf.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
                if (directory.get() < 0 || ::fchmod(directory.get(), (*mode & 0755) | 0700) != 0)
                    return fail(QStringLiteral("cannot set a directory's mode"));
            } else if (isLink) {
                if (!linkStaysInside(link, static_cast<int>(parts.size()) - 2))
                    return fail(QStringLiteral("a symbolic link leads out of the bundle"));
                if (::symlinkat(link.constData(), parent->get(), leaf.constData()) != 0)
                    return fail(QStringLiteral("cannot create a symbolic link"));
            } else if (!writeFile(parent->get(), leaf, *size, static_cast<mode_t>(*mode))) {
                return false;
            }
            if (afterEntry)
                afterEntry(entries);
        }
        if (bundleName.isEmpty() || !sawTop) {
            struct stat top {};
            if (bundleName.isEmpty()
                || ::fstatat(destinationFd, bundleName.toUtf8().constData(), &top, AT_SYMLINK_NOFOLLOW) != 0
                || !S_ISDIR(top.st_mode))
                return fail(QStringLiteral("the archive holds no bundle"));
        }
        return true;
    }
};

}  // namespace

Result extract(int archiveFd, int destinationFd, const Limits &limits, const std::function<void(int entries)> &afterEntry)
{
    Extractor extractor{archiveFd, destinationFd, limits, {}, 0, 0, {}};
    Result result;
    result.ok = extractor.run(afterEntry);
    result.error = extractor.error;
    result.bundleName = extractor.bundleName;
    return result;
}

namespace {

bool removeTreeRaw(int parentFd, const std::string &leaf)
{
    struct stat info {};
    if (::fstatat(parentFd, leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(info.st_mode))
        return ::unlinkat(parentFd, leaf.c_str(), 0) == 0;
    posix::UniqueFd fd(::openat(parentFd, leaf.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.isValid())
        return false;
    DIR *dir = ::fdopendir(fd.get());
    if (!dir)
        return false;
    fd.release();  // the stream owns it now
    std::vector<std::string> children;
    while (dirent *entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            children.emplace_back(entry->d_name);
    }
    bool ok = true;
    for (const std::string &child : children)
        ok = removeTreeRaw(::dirfd(dir), child) && ok;
    ::closedir(dir);
    return ::unlinkat(parentFd, leaf.c_str(), AT_REMOVEDIR) == 0 && ok;
}

}  // namespace

bool removeTree(int parentFd, const QString &name)
{
    return removeTreeRaw(parentFd, QFile::encodeName(name).toStdString());
}

}  // namespace bundle_archive

}  // namespace mornix
