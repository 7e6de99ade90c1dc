#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QUrl>

#include "platform/posix_files.h"

#include <functional>
#include <memory>

namespace mornix {

class AlertPresenter;
class SystemLog;

// The operational log: one Markdown file per user with a header and one bullet line per event.
// The composition root creates one store and hands it to its users. Each append opens, writes
// (one write per entry) and closes the file; the store keeps no lock. The file (0600) and its
// directory and the directory's parent (0700) are the program's own: opened without following
// links and checked on their descriptors, and never blocking on whatever sits at the path.
// The checked Logs directory stays open between appends while the path still names it; it is
// opened and checked again after any failure, or when the path names another entry.
// Thread: main thread.
class MarkdownLogStore {
public:
    // Opens the file with the default application; calls `done` once on the main thread with
    // an empty text on success, else with why it could not be opened.
    using OpenFile = std::function<void(const QUrl &, std::function<void(const QString &failure)> done)>;
    using BuildLabel = std::function<QString()>;

    // directoryPath empty: defaultDirectoryPath(). buildLabel is asked when a header is written.
    MarkdownLogStore(std::shared_ptr<SystemLog> systemLog, BuildLabel buildLabel, OpenFile openFile,
                     std::shared_ptr<AlertPresenter> alerts, QString directoryPath = QString());

    // The user's data directory (temporary directory when there is none) + "VeltroMornix/Logs".
    static QString defaultDirectoryPath();

    QString directoryPath() const { return m_directoryPath; }
    QString filePath() const { return m_filePath; }
    QUrl fileURL() const { return QUrl::fromLocalFile(m_filePath); }

    // Adds one entry (the message cleaned and cut to 4000 characters; nothing for an empty
    // text). Never fails to the caller: a failure goes to the system log and the entry is lost.
    // An existing file is only ever appended to, never replaced.
    void append(const QString &message);

    // Makes sure the file exists, then opens it with the default application. When it cannot be
    // prepared, or the default application cannot open it (none is set up, the opener fails),
    // shows the alert "Unable to open logs" with the reason; the latter once the opener has said.
    void openLogFile();

    // "# VeltroMornix Logs\n\nBuild: <label>\n".
    static QByteArray headerText(const QString &buildLabel);
    // "- `<ISO 8601 UTC>` <text>\n".
    static QByteArray entryLine(const QDateTime &time, const QString &text);

private:
    // Creates the directory and, when the file does not exist, the file with its header.
    // Returns an error description, or an empty string on success.
    QString prepareFileIfNeeded();
    // The log opened for appending (O_APPEND | O_NOFOLLOW | O_NONBLOCK), created 0600 with its
    // header when missing. Refused (with *error set): a link, FIFO, directory or device at the
    // path, a file of another user or with several links, a linked Logs or data directory.
    posix::OpenResult openLogFile(QString *error);
    posix::OpenResult openLogFileIn(int directoryFd, QString *error);
    // The held Logs directory when the path still names it, else the chain opened and checked
    // again (and held); -1 with *error set when it cannot be had.
    int logDirectory(QString *error);

    std::shared_ptr<SystemLog> m_systemLog;
    BuildLabel m_buildLabel;
    OpenFile m_openFile;
    std::shared_ptr<AlertPresenter> m_alerts;
    QString m_directoryPath;
    QString m_filePath;
    posix::UniqueFd m_directory;  // the checked Logs directory; invalid until opened, or after a failure
};

}  // namespace mornix
