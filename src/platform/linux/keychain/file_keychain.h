#pragma once

#include "platform/keychain.h"

#include "platform/posix_files.h"

#include <QMutex>

#include <memory>

namespace mornix {

// The keychain for machines without a Secret Service: one file per item in a private directory
// ($XDG_DATA_HOME/VeltroMornix/keychain, 0700). Files are 0600, opened without following
// links, written atomically (temporary file, fsync, rename) under the cross-process keychain
// lock. An item file that is a link, not a regular file, owned by another user or open to group
// or others is refused with keychain_status::invalidItem and left untouched.
// The secrets are protected by file permissions only (no encryption at rest).
class FileKeychain : public Keychain {
public:
    // directory empty: the default location, resolved on first use.
    explicit FileKeychain(QString directory = {});

    int readGenericPassword(const QString &service, const QString &account, QByteArray &data) override;
    int addGenericPassword(const QString &service, const QString &account, const QByteArray &data) override;
    int updateGenericPassword(const QString &service, const QString &account, const QByteArray &data) override;
    int deleteGenericPassword(const QString &service, const QString &account) override;
    int readKey(const QByteArray &applicationTag, QByteArray &keyData) override;
    int addKey(const QByteArray &applicationTag, const QByteArray &keyData) override;
    int deleteKey(const QByteArray &applicationTag) override;

    static QString genericPasswordFileName(const QString &service, const QString &account);
    static QString keyFileName(const QByteArray &applicationTag);

private:
    bool prepare();  // creates and checks the directory; false when unusable
    // The directory's lock, shared by every process of this user; waits for it. nullptr when
    // it cannot be used (logged).
    std::unique_ptr<posix::LockFile> lockDirectory() const;
    int readFile(const QString &name, QByteArray &data);
    int writeFile(const QString &name, const QByteArray &data, bool mustExist, bool mustNotExist);
    int removeFile(const QString &name);

    QMutex m_mutex;
    QString m_directory;
    bool m_explicitDirectory;
};

}  // namespace mornix
