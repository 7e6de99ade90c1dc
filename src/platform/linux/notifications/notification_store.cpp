#include "platform/linux/notifications/notification_store.h"

#include "platform/posix_files.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mornix {

namespace {

const QString kFileName = QStringLiteral("user-notifications.json");
const QString kLockName = QStringLiteral("user-notifications.lock");
constexpr qint64 kMaxFileBytes = 1024 * 1024;

QJsonObject encodeRequest(const UserNotificationRequest &request)
{
    QJsonObject object{
        {QStringLiteral("identifier"), request.identifier},
        {QStringLiteral("title"), request.content.title},
        {QStringLiteral("body"), request.content.body},
        {QStringLiteral("category"), request.content.categoryIdentifier},
        {QStringLiteral("user_info"), QJsonObject::fromVariantMap(request.content.userInfo)},
    };
    if (request.timeInterval)
        object.insert(QStringLiteral("interval"), *request.timeInterval);
    if (request.content.answersClick)
        object.insert(QStringLiteral("answers_click"), true);
    return object;
}

UserNotificationRequest decodeRequest(const QJsonObject &object)
{
    UserNotificationRequest request;
    request.identifier = object.value(QStringLiteral("identifier")).toString();
    request.content.title = object.value(QStringLiteral("title")).toString();
    request.content.body = object.value(QStringLiteral("body")).toString();
    request.content.categoryIdentifier = object.value(QStringLiteral("category")).toString();
    request.content.userInfo = object.value(QStringLiteral("user_info")).toObject().toVariantMap();
    request.content.answersClick = object.value(QStringLiteral("answers_click")).toBool(false);
    const QJsonValue interval = object.value(QStringLiteral("interval"));
    if (interval.isDouble())
        request.timeInterval = interval.toDouble();
    return request;
}

}  // namespace

NotificationStore::NotificationStore(QString directory)
    : m_directory(std::move(directory))
{
}

QString NotificationStore::defaultDirectory()
{
    return posix::dataDirectoryPath();
}

QByteArray NotificationStore::encode(const State &state)
{
    QJsonArray categories;
    for (const UserNotificationCategory &category : state.categories) {
        QJsonArray actions;
        for (const UserNotificationAction &action : category.actions)
            actions.append(QJsonObject{{QStringLiteral("identifier"), action.identifier},
                                       {QStringLiteral("title"), action.title}});
        categories.append(QJsonObject{{QStringLiteral("identifier"), category.identifier},
                                      {QStringLiteral("actions"), actions}});
    }
    QJsonArray pending;
    for (const Pending &entry : state.pending)
        pending.append(QJsonObject{{QStringLiteral("request"), encodeRequest(entry.request)},
                                   {QStringLiteral("due_at_ms"), entry.dueAtMs}});
    QJsonArray delivered;
    for (const Delivered &entry : state.delivered) {
        QJsonObject object{{QStringLiteral("request"), encodeRequest(entry.request)},
                           {QStringLiteral("server"), entry.server},
                           {QStringLiteral("id"), qint64(entry.id)}};
        if (!entry.poster.isEmpty())
            object.insert(QStringLiteral("poster"), entry.poster);
        delivered.append(object);
    }
    const QJsonObject root{{QStringLiteral("categories"), categories},
                           {QStringLiteral("pending"), pending},
                           {QStringLiteral("delivered"), delivered}};
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

NotificationStore::State NotificationStore::decode(const QByteArray &bytes)
{
    State state;
    const QJsonDocument document = QJsonDocument::fromJson(bytes);
    if (!document.isObject())
        return state;
    const QJsonObject root = document.object();
    for (const QJsonValue &value : root.value(QStringLiteral("categories")).toArray()) {
        const QJsonObject object = value.toObject();
        UserNotificationCategory category{object.value(QStringLiteral("identifier")).toString(), {}};
        for (const QJsonValue &action : object.value(QStringLiteral("actions")).toArray())
            category.actions.append({action.toObject().value(QStringLiteral("identifier")).toString(),
                                     action.toObject().value(QStringLiteral("title")).toString()});
        if (!category.identifier.isEmpty())
            state.categories.append(category);
    }
    for (const QJsonValue &value : root.value(QStringLiteral("pending")).toArray()) {
        const QJsonObject object = value.toObject();
        Pending entry{decodeRequest(object.value(QStringLiteral("request")).toObject()),
                      object.value(QStringLiteral("due_at_ms")).toInteger()};
        if (!entry.request.identifier.isEmpty())
            state.pending.append(entry);
    }
    for (const QJsonValue &value : root.value(QStringLiteral("delivered")).toArray()) {
        const QJsonObject object = value.toObject();
        const qint64 id = object.value(QStringLiteral("id")).toInteger(-1);
        Delivered entry{decodeRequest(object.value(QStringLiteral("request")).toObject()),
                        object.value(QStringLiteral("server")).toString(), quint32(id),
                        object.value(QStringLiteral("poster")).toString()};
        if (!entry.request.identifier.isEmpty() && id > 0 && id <= 0xffffffffLL && !entry.server.isEmpty())
            state.delivered.append(entry);
    }
    return state;
}

NotificationStore::State NotificationStore::load() const
{
    const QByteArray path = QFile::encodeName(QDir(m_directory).filePath(kFileName));
    // O_NONBLOCK: a FIFO planted in place of the file must not stall the open.
    const posix::UniqueFd file(::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    const int fd = file.get();
    if (fd < 0)
        return {};
    struct stat st {};
    QByteArray bytes;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) == 0
        && st.st_size <= kMaxFileBytes) {
        bytes.resize(qsizetype(st.st_size));
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::read(fd, bytes.data() + done, size_t(bytes.size() - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            done += n;
        }
        bytes.truncate(done);
    }
    return decode(bytes);
}

bool NotificationStore::save(const State &state, QString *error) const
{
    const QByteArray bytes = encode(state);
    QByteArray temporary = QFile::encodeName(QDir(m_directory).filePath(QStringLiteral(".user-notifications.XXXXXX")));
    // mkostemp creates the file 0600 before anything is written to it.
    posix::UniqueFd file(::mkostemp(temporary.data(), O_CLOEXEC));
    const int fd = file.get();
    if (fd < 0) {
        if (error)
            *error = QStringLiteral("cannot create %1: %2").arg(QString::fromLocal8Bit(temporary),
                                                                 QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    qsizetype done = 0;
    bool ok = true;
    while (ok && done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        done += ok ? n : 0;
    }
    ok = ok && ::fsync(fd) == 0;
    ok = file.close() == 0 && ok;
    const QByteArray target = QFile::encodeName(QDir(m_directory).filePath(kFileName));
    if (!ok || ::rename(temporary.constData(), target.constData()) != 0) {
        if (error)
            *error = QStringLiteral("cannot write %1: %2").arg(QString::fromLocal8Bit(target),
                                                                QString::fromLocal8Bit(std::strerror(errno)));
        ::unlink(temporary.constData());
        return false;
    }
    return true;
}

bool NotificationStore::transact(const std::function<bool(State &)> &change, QString *error)
{
    // Every process of this user that keeps notifications meets the same lock; waits for it.
    const posix::LockAttempt lock = posix::LockFile::acquireIn(m_directory, kLockName, posix::LockKind::OpenFile,
                                                               posix::LockWait::Block);
    if (!lock.ok()) {
        if (error)
            *error = lock.description;
        return false;
    }
    State state = load();
    if (!change(state))
        return true;
    return save(state, error);
}

NotificationStore::State NotificationStore::read()
{
    State state;
    transact([&state](State &current) {
        state = current;
        return false;
    });
    return state;
}

}  // namespace mornix
