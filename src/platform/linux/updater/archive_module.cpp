// The archive module (libmornix_archive.so): the update archive extractor of bundle_archive.h on
// libarchive. Built with hidden symbols: nothing here binds to the executable's names, and only
// the entry is exported.
#include "platform/linux/updater/archive_module.h"

#include <QByteArray>
#include <QFile>
#include <QSet>
#include <QStringList>

#include <archive.h>
#include <archive_entry.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace mornix {

namespace archive_module {

namespace {

using ReadArchive = std::unique_ptr<archive, decltype(&archive_read_free)>;
using WriteArchive = std::unique_ptr<archive, decltype(&archive_write_free)>;

// What libarchive itself refuses while writing, besides our own checks below: names that are
// absolute or hold "..", anything whose place on disk a symbolic link would change, and an
// existing file being replaced. Modes are written as we set them (set-id bits cleared first);
// owners, times, ACLs, attributes and flags from the archive are never applied.
constexpr int kDiskOptions = ARCHIVE_EXTRACT_SECURE_SYMLINKS | ARCHIVE_EXTRACT_SECURE_NODOTDOT
                             | ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS | ARCHIVE_EXTRACT_NO_OVERWRITE
                             | ARCHIVE_EXTRACT_PERM;

QString libarchiveError(archive *a)
{
    const char *text = archive_error_string(a);
    return text ? QString::fromLocal8Bit(text) : QStringLiteral("unknown error");
}

// Components of a member name; empty when it is unsafe.
QStringList safeComponents(const char *rawName)
{
    if (!rawName)
        return {};
    const QByteArray raw(rawName);
    if (raw.isEmpty() || raw.startsWith('/'))
        return {};
    QString name = QString::fromUtf8(raw);
    if (name.toUtf8() != raw)
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
bool linkStaysInside(const char *rawTarget, int depthBelowTop)
{
    if (!rawTarget)
        return false;
    const QByteArray target(rawTarget);
    if (target.isEmpty() || target.startsWith('/'))
        return false;
    int ups = 0;
    bool descending = false;
    for (const QByteArray &part : target.split('/')) {
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

QString formatName(archive *a)
{
    if ((archive_format(a) & ARCHIVE_FORMAT_BASE_MASK) == ARCHIVE_FORMAT_ZIP)
        return QStringLiteral("zip");
    switch (archive_filter_code(a, 0)) {
    case ARCHIVE_FILTER_GZIP: return QStringLiteral("tar.gz");
    case ARCHIVE_FILTER_XZ: return QStringLiteral("tar.xz");
    default: return QStringLiteral("tar");
    }
}

struct Extractor {
    int archiveFd;
    int destinationFd;
    Limits limits;
    QString bundleName;
    QString format;
    qint64 totalBytes = 0;
    int entries = 0;
    QSet<QString> written;  // every path made so far (directories may come again)
    QSet<QString> links;    // the symbolic links among them
    QString error;

    bool fail(const QString &why)
    {
        error = why;
        return false;
    }

    // Our checks of one entry, before anything of it is written; adjusts its name and mode.
    bool admit(archive_entry *entry)
    {
        if (++entries > limits.maxEntries)
            return fail(QStringLiteral("the archive has too many entries"));
        const QStringList parts = safeComponents(archive_entry_pathname(entry));
        if (parts.isEmpty())
            return fail(QStringLiteral("an entry has an unsafe name"));
        if (bundleName.isEmpty()) {
            if (!parts.first().endsWith(QLatin1String(".app")) || parts.first().size() <= 4)
                return fail(QStringLiteral("the archive does not hold an application bundle"));
            bundleName = parts.first();
        } else if (parts.first() != bundleName) {
            return fail(QStringLiteral("an entry lies outside the bundle"));
        }

        if (archive_entry_hardlink(entry))
            return fail(QStringLiteral("the archive holds a hard link"));
        if (archive_entry_is_encrypted(entry))
            return fail(QStringLiteral("the archive holds an encrypted entry"));
        const mode_t type = archive_entry_filetype(entry);
        const bool isFile = type == AE_IFREG;
        const bool isDirectory = type == AE_IFDIR;
        const bool isLink = type == AE_IFLNK;
        if (!isFile && !isDirectory && !isLink)
            return fail(QStringLiteral("an entry is neither a file, a directory nor a symbolic link"));
        if (parts.size() == 1 && !isDirectory)
            return fail(QStringLiteral("the bundle is not a directory"));
        if (isLink && !linkStaysInside(archive_entry_symlink(entry), static_cast<int>(parts.size()) - 2))
            return fail(QStringLiteral("a symbolic link leads out of the bundle"));

        const QString path = parts.join(QLatin1Char('/'));
        for (qsizetype i = 1; i < parts.size(); ++i) {
            if (links.contains(parts.mid(0, i).join(QLatin1Char('/'))))
                return fail(QStringLiteral("an entry lies beneath a symbolic link"));
        }
        if (written.contains(path) && !isDirectory)
            return fail(QStringLiteral("the archive holds an entry twice"));
        written.insert(path);
        if (isLink)
            links.insert(path);

        if (isFile && archive_entry_size_is_set(entry)) {
            const qint64 size = archive_entry_size(entry);
            if (size < 0 || size > limits.maxEntryBytes)
                return fail(QStringLiteral("an entry is too large"));
            if (size > limits.maxTotalBytes - totalBytes)
                return fail(QStringLiteral("the archive is too large"));
        }
        // Owner's and read/execute bits only: never set-id bits, never group or other write.
        const mode_t mode = archive_entry_perm(entry) & 0755;
        if (isFile)
            archive_entry_set_perm(entry, mode | 0600);
        else if (isDirectory)
            archive_entry_set_perm(entry, mode | 0700);
        archive_entry_set_pathname(entry, QFile::encodeName(path).constData());
        return true;
    }

    // Copies the entry's data, within the limits (the bytes that arrive count, not the header).
    bool copyData(archive *in, archive *out)
    {
        qint64 extent = 0;
        while (true) {
            const void *block = nullptr;
            size_t size = 0;
            la_int64_t offset = 0;
            const int status = archive_read_data_block(in, &block, &size, &offset);
            if (status == ARCHIVE_EOF)
                return true;
            if (status != ARCHIVE_OK)
                return fail(QStringLiteral("cannot read the archive: %1").arg(libarchiveError(in)));
            if (offset < 0 || static_cast<qint64>(size) > limits.maxEntryBytes - offset)
                return fail(QStringLiteral("an entry is too large"));
            const qint64 end = offset + static_cast<qint64>(size);
            if (end > extent) {
                if (end - extent > limits.maxTotalBytes - totalBytes)
                    return fail(QStringLiteral("the archive is too large"));
                totalBytes += end - extent;
                extent = end;
            }
            if (archive_write_data_block(out, block, size, offset) != ARCHIVE_OK)
                return fail(QStringLiteral("cannot write a file: %1").arg(libarchiveError(out)));
        }
    }

    // Runs with the destination as this thread's own working directory.
    bool run(AfterEntry afterEntry, void *context)
    {
        ReadArchive in(archive_read_new(), &archive_read_free);
        WriteArchive out(archive_write_disk_new(), &archive_write_free);
        if (!in || !out)
            return fail(QStringLiteral("out of memory"));
        // The accepted formats, told apart by their content, whatever the file is called.
        archive_read_support_filter_gzip(in.get());
        archive_read_support_filter_xz(in.get());
        archive_read_support_format_tar(in.get());
        // A zip is read by its central directory only: when it is missing the archive is refused,
        // never read another way (from its local headers). libarchive makes only files,
        // directories and links of a zip's entries, whatever type they claim.
        archive_read_support_format_zip_seekable(in.get());
        archive_write_disk_set_options(out.get(), kDiskOptions);
        if (archive_read_open_fd(in.get(), archiveFd, 64 * 1024) != ARCHIVE_OK)
            return fail(QStringLiteral("not an archive of an accepted format: %1").arg(libarchiveError(in.get())));

        while (true) {
            archive_entry *entry = nullptr;
            const int status = archive_read_next_header(in.get(), &entry);
            if (status == ARCHIVE_EOF)
                break;
            if (status != ARCHIVE_OK)
                return fail(QStringLiteral("the archive is malformed: %1").arg(libarchiveError(in.get())));
            if (format.isEmpty()) {
                format = formatName(in.get());
                if (format == QLatin1String("zip") && archive_filter_count(in.get()) > 1)
                    return fail(QStringLiteral("a compressed zip archive is not accepted"));
            }
            if (!admit(entry))
                return false;
            if (archive_write_header(out.get(), entry) != ARCHIVE_OK)
                return fail(QStringLiteral("an entry was refused: %1").arg(libarchiveError(out.get())));
            if (archive_entry_filetype(entry) == AE_IFREG && !copyData(in.get(), out.get()))
                return false;
            if (archive_write_finish_entry(out.get()) != ARCHIVE_OK)
                return fail(QStringLiteral("cannot finish an entry: %1").arg(libarchiveError(out.get())));
            if (afterEntry)
                afterEntry(context, entries);
        }
        // Directory modes are set here, once their contents are in.
        if (archive_write_close(out.get()) != ARCHIVE_OK)
            return fail(QStringLiteral("cannot finish the bundle: %1").arg(libarchiveError(out.get())));
        struct stat top {};
        if (bundleName.isEmpty()
            || ::fstatat(destinationFd, QFile::encodeName(bundleName).constData(), &top, AT_SYMLINK_NOFOLLOW) != 0
            || !S_ISDIR(top.st_mode))
            return fail(QStringLiteral("the archive holds no bundle"));
        return true;
    }
};

}  // namespace

void extract(int archiveFd, int destinationFd, const Limits &limits, AfterEntry afterEntry, void *context,
             Outcome &outcome)
{
    Extractor extractor{archiveFd, destinationFd, limits, {}, {}, 0, 0, {}, {}, {}};
    bool ok = false;
    // libarchive writes relative to the working directory: a thread of its own gets a private
    // one (unshare CLONE_FS) in the destination, so the process's stays untouched.
    std::thread worker([&] {
        if (::unshare(CLONE_FS) != 0 || ::fchdir(destinationFd) != 0) {
            extractor.error = QStringLiteral("cannot enter the destination directory: %1")
                                  .arg(QString::fromLocal8Bit(std::strerror(errno)));
            return;
        }
        ok = extractor.run(afterEntry, context);
    });
    worker.join();
    outcome.ok = ok;
    outcome.error = extractor.error.toStdString();
    outcome.bundleName = extractor.bundleName.toStdString();
    outcome.format = extractor.format.toStdString();
}

namespace {

constexpr Functions kFunctions = {extract};

}  // namespace

}  // namespace archive_module

}  // namespace mornix

extern "C" __attribute__((visibility("default"))) const void *mornix_archive_module(uint32_t interfaceVersion)
{
    using namespace mornix::archive_module;
    return interfaceVersion == kModuleInterfaceVersion ? &kFunctions : nullptr;
}
