#include "core/markdown_log_store.h"

#include "platform/system_log.h"
#include "platform/posix_files.h"
#include "support/text_cleaning.h"
#include "core/alert_presenter.h"
#include "core/ui_logging.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mornix {

namespace {
constexpr qsizetype kMaxEntryCharacters = 4000;
const QString kFileName = QStringLiteral("mornix-log.md");
}  // namespace

MarkdownLogStore::MarkdownLogStore(std::shared_ptr<SystemLog> systemLog, BuildLabel buildLabel, OpenFile openFile,
                                   std::shared_ptr<AlertPresenter> alerts, QString directoryPath)
    : m_systemLog(std::move(systemLog))
    , m_buildLabel(std::move(buildLabel))
    , m_openFile(std::move(openFile))
    , m_alerts(std::move(alerts))
    , m_directoryPath(directoryPath.isEmpty() ? defaultDirectoryPath() : std::move(directoryPath))
    , m_filePath(m_directoryPath + QLatin1Char('/') + kFileName)
{
}

QString MarkdownLogStore::defaultDirectoryPath()
{
    const QString data = posix::dataDirectoryPath();
    if (!data.isEmpty())
        return data + QStringLiteral("/Logs");
    QString base = QDir::tempPath();
    if (base.isEmpty())
        base = QStringLiteral("/tmp");  // never a path relative to the working directory or the root
    return base + QStringLiteral("/VeltroMornix/Logs");
}

QByteArray MarkdownLogStore::headerText(const QString &buildLabel)
{
    return QByteArrayLiteral("# VeltroMornix Logs\n\nBuild: ") + buildLabel.toUtf8() + '\n';
}

QByteArray MarkdownLogStore::entryLine(const QDateTime &time, const QString &text)
{
    return QByteArrayLiteral("- `") + time.toUTC().toString(Qt::ISODate).toUtf8() + QByteArrayLiteral("` ")
           + text.toUtf8() + '\n';
}

int MarkdownLogStore::logDirectory(QString *error)
{
    if (m_directory.isValid()) {
        // Still what the path names (not moved away, not replaced): one stat instead of the
        // whole chain.
        struct stat held;
        struct stat named;
        if (::fstat(m_directory.get(), &held) == 0
            && ::fstatat(AT_FDCWD, QFile::encodeName(m_directoryPath).constData(), &named, AT_SYMLINK_NOFOLLOW) == 0
            && S_ISDIR(named.st_mode) && named.st_dev == held.st_dev && named.st_ino == held.st_ino)
            return m_directory.get();
        m_directory = posix::UniqueFd();
    }
    // The log directory and its parent (the program's data directory) are ours: created 0700,
    // never followed when they are links.
    const QFileInfo directory(m_directoryPath);
    const QFileInfo data(directory.path());
    posix::OpenResult dir = posix::openPrivateDirectoryChain(data.path(), {data.fileName(), directory.fileName()},
                                                             posix::ModeRule::makePrivate);
    if (!dir.ok()) {
        *error = dir.description;
        return -1;
    }
    m_directory = std::move(dir.fd);
    return m_directory.get();
}

posix::OpenResult MarkdownLogStore::openLogFile(QString *error)
{
    const int dir = logDirectory(error);
    if (dir < 0)
        return {};
    posix::OpenResult file = openLogFileIn(dir, error);
    if (!file.ok())
        m_directory = posix::UniqueFd();  // checked again from the top next time
    return file;
}

posix::OpenResult MarkdownLogStore::openLogFileIn(int dir, QString *error)
{
    // Create-only first: the header goes into a file only this call created. O_CREAT|O_EXCL
    // never follows a link; O_NONBLOCK keeps a FIFO planted at the path from blocking us.
    posix::OpenResult file = posix::openOwnFileAt(dir, kFileName, O_RDWR | O_APPEND | O_CREAT | O_EXCL,
                                                  posix::ModeRule::makePrivate, m_filePath);
    if (file.ok()) {
        const QByteArray header = headerText(m_buildLabel ? m_buildLabel() : QString());
        if (!posix::writeAll(file.fd.get(), header)) {
            *error = QStringLiteral("cannot write the header of %1: %2").arg(m_filePath, posix::errorText(errno));
            ::unlinkat(dir, QFile::encodeName(kFileName).constData(), 0);  // only our own, incomplete file
            return {};
        }
        return file;
    }
    if (file.error != EEXIST) {
        *error = file.description;
        return {};
    }
    file = posix::openOwnFileAt(dir, kFileName, O_RDWR | O_APPEND, posix::ModeRule::makePrivate, m_filePath);
    if (!file.ok())
        *error = file.description;
    return file;
}

QString MarkdownLogStore::prepareFileIfNeeded()
{
    QString error;
    const posix::OpenResult file = openLogFile(&error);
    return file.ok() ? QString() : error;
}

void MarkdownLogStore::append(const QString &message)
{
    const QString text = sanitizeLog(message, kMaxEntryCharacters);
    if (text.isEmpty())
        return;
    QString error;
    const posix::OpenResult file = openLogFile(&error);
    // One write per entry, never glued to a line an earlier failed write left open.
    if (file.ok())
        error = posix::appendLine(file.fd.get(), entryLine(QDateTime::currentDateTimeUtc(), text));
    if (!error.isEmpty())
        m_directory = posix::UniqueFd();
    if (!error.isEmpty() && m_systemLog)
        m_systemLog->error(QStringLiteral("Mornix log write failed: %1").arg(error));
}

void MarkdownLogStore::openLogFile()
{
    const QString error = prepareFileIfNeeded();
    const auto alert = [alerts = m_alerts](const QString &failure) {
        qCWarning(lcUi).noquote() << "the log file could not be opened:" << failure;
        if (alerts)
            alerts->showWarning(QStringLiteral("Unable to open logs"), failure);
    };
    if (!error.isEmpty()) {
        alert(error);
        return;
    }
    if (!m_openFile) {
        alert(QStringLiteral("No application is available to open %1.").arg(m_filePath));
        return;
    }
    // The path lets the user open the file another way.
    m_openFile(fileURL(), [alert, path = m_filePath](const QString &failure) {
        if (!failure.isEmpty())
            alert(failure + QStringLiteral(" The log is kept at %1.").arg(path));
    });
}

}  // namespace mornix
