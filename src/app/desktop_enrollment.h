#pragma once

#include "platform/posix_files.h"

#include <QByteArray>
#include <QString>

#include <QCoroTask>

#include <functional>
#include <memory>
#include <optional>

namespace mornix {

class BridgeService;
class DistributedNotifications;
class KeychainStore;
class SystemLog;

// --desktop-enroll-stdin: enrolls this computer with a grant the companion application obtained.
// Prints {"protocol_version":1,"enrolled":true} and posts "ai.veltro.mornix.credentials-updated"
// on success; stores nothing unless every step succeeded.
class DesktopEnrollment {
public:
    struct Request {
        QString accessToken;
        QString orgID;
        QString projectID;
    };
    struct Dependencies {
        std::shared_ptr<KeychainStore> keychain;
        std::shared_ptr<BridgeService> service;
        std::shared_ptr<DistributedNotifications> notifications;
        QString defaultAPIBaseURL;
        std::function<QString()> hardwareSerialNumber;  // or "UNKNOWN_SERIAL"
        std::function<QString()> hardwareUUID;          // or "UNKNOWN_UUID"
        // nullopt: over the limit, or a read error (then *readError is set).
        std::function<std::optional<QByteArray>(bool *readError)> readInput;
        QString lockDirectory;  // empty: /tmp (tests give their own)
        // Why an enrollment failed (the companion only sees the exit status); null: not logged.
        std::shared_ptr<SystemLog> systemLog;
    };

    explicit DesktopEnrollment(Dependencies dependencies);
    ~DesktopEnrollment();  // releases the enrollment lock
    DesktopEnrollment(const DesktopEnrollment &) = delete;
    DesktopEnrollment &operator=(const DesktopEnrollment &) = delete;

    // The whole mode; returns the exit status. Holds the enrollment lock until the object dies.
    QCoro::Task<int> run();

    // The input rules: exactly three string members, a token of 1..16384 UTF-8 bytes without
    // control or format characters, and two UUIDs. nullopt when any rule fails.
    static std::optional<Request> parseRequest(const QJsonObject &object);
    static bool isUUIDText(const QString &text);

    // "/tmp/ai.veltro.mornix.enroll.<uid>.lock"; `directory` replaces /tmp (tests).
    static QString lockFilePath(const QString &directory);
    // Opens (0600, no link followed, no blocking) and exclusively locks the lock file: a regular
    // file of this user with one link and without group or other permission bits. The held
    // lock, or why not (held elsewhere, or unusable with the reason).
    static posix::LockAttempt acquireLock(const QString &path);
    // Why a failed attempt on the lock at `path` refuses to enroll, for the system log and the
    // terminal: another enrollment holds it, or the file is unusable; a file of another user
    // names its owner (user name, or "uid N"), since this user cannot remove it from /tmp.
    static QString lockRefusal(const QString &path, const posix::LockAttempt &attempt);

private:
    // Logs "desktop enrollment failed: <step>: <reason>" to the system log.
    void logFailure(const QString &step, const QString &reason) const;

    Dependencies m_deps;
    std::unique_ptr<posix::LockFile> m_lock;
};

int runDesktopEnrollStdin(int &argc, char **argv, DesktopEnrollment::Dependencies dependencies);

}  // namespace mornix
