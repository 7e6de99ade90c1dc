#include "platform/linux/notifications/notification_store.h"

#include "platform/posix_files.h"
#include "support/json_reader.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <fcntl.h>

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

UserNotificationRequest decodeRequest(const JsonReader &object)
{
    UserNotificationRequest request;
    request.identifier = object.optional<QString>("identifier").value_or(QString());
    request.content.title = object.optional<QString>("title").value_or(QString());
    request.content.body = object.optional<QString>("body").value_or(QString());
    request.content.categoryIdentifier = object.optional<QString>("category").value_or(QString());
    if (const std::optional<JsonReader> userInfo = object.optional<JsonReader>("user_info"))
        request.content.userInfo = userInfo->json().toVariantMap();
    request.content.answersClick = object.optional<bool>("answers_click").value_or(false);
    request.timeInterval = object.optional<double>("interval");
    return request;
}

// Calls `decode` with each object of the array `key`; an entry it cannot read is skipped (its
// JsonFieldError is swallowed), the others are kept.
template <typename Decode>
void forEachEntry(const JsonReader &root, const char *key, const Decode &decode)
{
    std::optional<QJsonArray> entries;
    try {
        entries = root.optional<QJsonArray>(key);
    } catch (const JsonFieldError &) {
        return;
    }
    for (const QJsonValue &value : entries.value_or(QJsonArray())) {
        if (!value.isObject())
            continue;
        try {
            decode(JsonReader(value.toObject(), QString::fromLatin1(key)));
        } catch (const JsonFieldError &) {
        }
    }
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
        categories.append(
            QJsonObject{{QStringLiteral("identifier"), category.identifier}, {QStringLiteral("actions"), actions}});
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
    std::optional<JsonReader> root;
    try {
        root = JsonReader::parse(bytes);
    } catch (const JsonFieldError &) {
        return state;
    }
    forEachEntry(*root, "categories", [&state](const JsonReader &object) {
        UserNotificationCategory category{object.optional<QString>("identifier").value_or(QString()), {}};
        forEachEntry(object, "actions", [&category](const JsonReader &action) {
            category.actions.append({action.optional<QString>("identifier").value_or(QString()),
                                     action.optional<QString>("title").value_or(QString())});
        });
        if (!category.identifier.isEmpty())
            state.categories.append(category);
    });
    forEachEntry(*root, "pending", [&state](const JsonReader &object) {
        Pending entry{decodeRequest(object.required<JsonReader>("request")),
                      object.optional<qint64>("due_at_ms").value_or(0)};
        if (!entry.request.identifier.isEmpty())
            state.pending.append(entry);
    });
    forEachEntry(*root, "delivered", [&state](const JsonReader &object) {
        Delivered entry{decodeRequest(object.required<JsonReader>("request")), object.required<QString>("server"),
                        object.required<quint32>("id"), object.optional<QString>("poster").value_or(QString())};
        if (!entry.request.identifier.isEmpty() && entry.id > 0 && !entry.server.isEmpty())
            state.delivered.append(entry);
    });
    return state;
}

NotificationStore::State NotificationStore::load() const
{
    // Only a private regular file of this user's, checked on the descriptor; a FIFO planted in
    // its place never stalls the read. Anything else reads as empty.
    const posix::ReadResult file = posix::readOwnFileAt(AT_FDCWD, QDir(m_directory).filePath(kFileName), kMaxFileBytes);
    return decode(file.bytes.value_or(QByteArray()));
}

bool NotificationStore::save(const State &state, QString *error) const
{
    const QString target = QDir(m_directory).filePath(kFileName);
    const posix::OpenResult directory = posix::openOwnDirectory(m_directory, posix::ModeRule::makePrivate);
    if (!directory.ok()) {
        if (error)
            *error = directory.description;
        return false;
    }
    // The lock held by transact() serialises the writers: one fixed temporary name serves.
    posix::ReplaceOptions options;
    options.temporaryName = QStringLiteral(".user-notifications.new");
    const posix::ReplaceResult replaced = posix::replaceFile(directory.fd.get(), kFileName, encode(state), options);
    if (!replaced.ok()) {
        if (error)
            *error = QStringLiteral("cannot write %1: %2").arg(target, posix::errorText(replaced.error));
        return false;
    }
    return true;
}

bool NotificationStore::transact(const std::function<bool(State &)> &change, QString *error)
{
    // Every process of this user that keeps notifications meets the same lock; waits for it.
    const posix::LockAttempt lock =
        posix::LockFile::acquireIn(m_directory, kLockName, posix::LockKind::OpenFile, posix::LockWait::Block);
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
