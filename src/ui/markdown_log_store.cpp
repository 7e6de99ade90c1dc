#include "ui/markdown_log_store.h"

#include "platform/system_log.h"
#include "support/text_cleaning.h"
#include "ui/alert_presenter.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QStandardPaths>

Q_LOGGING_CATEGORY(lcLog, "mornix.ui")

namespace {
constexpr qsizetype kMaxEntryCharacters = 4000;
const QString kFileName = QStringLiteral("mornix-log.md");
}  // namespace

MarkdownLogStore::MarkdownLogStore(std::shared_ptr<SystemLog> systemLog, BuildLabel buildLabel, OpenURL openURL,
                                   std::shared_ptr<AlertPresenter> alerts, QString directoryPath)
    : m_systemLog(std::move(systemLog))
    , m_buildLabel(std::move(buildLabel))
    , m_openURL(std::move(openURL))
    , m_alerts(std::move(alerts))
    , m_directoryPath(directoryPath.isEmpty() ? defaultDirectoryPath() : std::move(directoryPath))
    , m_filePath(m_directoryPath + QLatin1Char('/') + kFileName)
{
}

QString MarkdownLogStore::defaultDirectoryPath()
{
    QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (base.isEmpty())
        base = QDir::tempPath();
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

QString MarkdownLogStore::prepareFileIfNeeded()
{
    if (!QDir().mkpath(m_directoryPath))
        return QStringLiteral("cannot create the directory %1").arg(m_directoryPath);
    // A dangling link counts as present: it is neither followed nor replaced.
    const QFileInfo info(m_filePath);
    if (info.exists() || info.isSymLink())
        return QString();

    // Create-only: when another writer made the file meanwhile, its content stays untouched.
    QFile file(m_filePath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered)) {
        if (file.error() == QFileDevice::OpenError && QFileInfo::exists(m_filePath))
            return QString();
        return file.errorString();
    }
    const QByteArray header = headerText(m_buildLabel ? m_buildLabel() : QString());
    if (file.write(header) != header.size()) {
        const QString error = file.errorString();
        file.close();
        file.remove();  // only our own, incomplete header
        return error;
    }
    file.close();
    if (file.error() != QFileDevice::NoError)
        return file.errorString();
    return QString();
}

QString MarkdownLogStore::appendLine(const QByteArray &line)
{
    // Append mode: every write lands at the current end, after other writers' lines.
    QFile file(m_filePath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::ExistingOnly | QIODevice::Unbuffered))
        return file.errorString();
    if (file.write(line) != line.size())
        return file.errorString();
    file.close();
    if (file.error() != QFileDevice::NoError)
        return file.errorString();
    return QString();
}

void MarkdownLogStore::append(const QString &message)
{
    const QString text = sanitizeLog(message, kMaxEntryCharacters);
    if (text.isEmpty())
        return;
    QString error = prepareFileIfNeeded();
    if (error.isEmpty())
        error = appendLine(entryLine(QDateTime::currentDateTimeUtc(), text));
    if (!error.isEmpty() && m_systemLog)
        m_systemLog->error(QStringLiteral("Mornix log write failed: %1").arg(error));
}

void MarkdownLogStore::openLogFile()
{
    const QString error = prepareFileIfNeeded();
    if (!error.isEmpty()) {
        if (m_alerts)
            m_alerts->showWarning(QStringLiteral("Unable to open logs"), error);
        return;
    }
    if (!m_openURL || !m_openURL(fileURL()))
        qCWarning(lcLog) << "the log file could not be opened with the default application";
}
