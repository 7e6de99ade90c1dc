#include "updates/update_choice_file.h"

#include "platform/posix_files.h"

#include <QFile>
#include <QRandomGenerator>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mornix {

namespace {

constexpr qint64 kMaxChoiceBytes = 4096;
const char kFileName[] = "update-choice.json";

using Descriptor = posix::UniqueFd;

bool privateTo(const struct stat &st, uid_t uid)
{
    return st.st_uid == uid && (st.st_mode & 077) == 0;
}

UpdateChoiceResult notRecorded()
{
    return {UpdateChoiceResult::Outcome::notRecorded, {}};
}

UpdateChoiceResult failed(const char *what)
{
    return {UpdateChoiceResult::Outcome::failed,
            QStringLiteral("%1: %2").arg(QString::fromLatin1(what), QString::fromLocal8Bit(std::strerror(errno)))};
}


}  // namespace

UpdateChoiceResult saveUpdateChoice(const QString &version, const QString &action, const QString &root,
                                    qint64 nowMs, uid_t uid)
{
    if (action != QLatin1String("now") && action != QLatin1String("later"))
        return notRecorded();

    // Every later step works through this descriptor, so the directory checked is the one used.
    const Descriptor directory(::open(QFile::encodeName(root).constData(),
                                      O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (directory.get() < 0 || ::fstat(directory.get(), &st) != 0 || !S_ISDIR(st.st_mode) || !privateTo(st, uid))
        return notRecorded();

    // O_NONBLOCK: a FIFO in place of the file must not stall the open; it is refused below.
    const Descriptor file(::openat(directory.get(), kFileName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0 || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode) || !privateTo(st, uid)
        || st.st_size > kMaxChoiceBytes)
        return notRecorded();
    QByteArray content(kMaxChoiceBytes + 1, Qt::Uninitialized);
    qsizetype length = 0;
    while (length < content.size()) {
        const ssize_t n = ::read(file.get(), content.data() + length, size_t(content.size() - length));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return notRecorded();
        if (n == 0)
            break;
        length += n;
    }
    if (length > kMaxChoiceBytes)   // grew between fstat and read
        return notRecorded();
    content.truncate(length);

    const QJsonDocument document = QJsonDocument::fromJson(content);
    if (!document.isObject())
        return notRecorded();
    const QJsonObject current = document.object();
    const QJsonValue currentVersion = current.value(QStringLiteral("version"));
    const QJsonValue currentAction = current.value(QStringLiteral("action"));
    if (!currentVersion.isString() || currentVersion.toString() != version || !currentAction.isString())
        return notRecorded();
    if (currentAction.toString() != QLatin1String("pending") && currentAction.toString() != QLatin1String("later"))
        return notRecorded();

    const QJsonObject choice{{QStringLiteral("version"), version},
                             {QStringLiteral("action"), action},
                             {QStringLiteral("remindAt"), nowMs + kUpdateReminderDelayMs}};
    const QByteArray bytes = QJsonDocument(choice).toJson(QJsonDocument::Compact);

    // The new content goes into a file that is 0600 from its creation, then replaces the old one.
    QByteArray temporaryName;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        temporaryName = QByteArrayLiteral(".update-choice.json.") + QByteArray::number(::getpid()) + '.'
            + QByteArray::number(QRandomGenerator::global()->generate64(), 16);
        fd = ::openat(directory.get(), temporaryName.constData(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0)
        return failed("cannot create the new choice file");
    const Descriptor written(fd);
    // The creation mode is subject to the umask, which can only remove bits; make it exact.
    if (::fchmod(fd, 0600) != 0 || !posix::writeAll(fd, bytes) || ::fsync(fd) != 0) {
        const UpdateChoiceResult result = failed("cannot write the new choice file");
        ::unlinkat(directory.get(), temporaryName.constData(), 0);
        return result;
    }
    if (::renameat(directory.get(), temporaryName.constData(), directory.get(), kFileName) != 0) {
        const UpdateChoiceResult result = failed("cannot replace the choice file");
        ::unlinkat(directory.get(), temporaryName.constData(), 0);
        return result;
    }
    return {UpdateChoiceResult::Outcome::saved, {}};
}

}  // namespace mornix
