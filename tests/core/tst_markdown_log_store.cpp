#include "support/recording_system_log.h"
#include "support/temporary_home.h"
#include "support/test_files.h"
#include "core/alert_presenter.h"
#include "core/markdown_log_store.h"
#include "core/logged_alerts.h"

#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <unistd.h>

namespace mornix {

namespace {

class RecordingAlerts final : public AlertPresenter {
public:
    void showWarning(const QString &messageText, const QString &informativeText) override
    {
        alerts.append({messageText, informativeText});
    }
    QList<QPair<QString, QString>> alerts;
};

const QRegularExpression kEntry(QStringLiteral("^- `\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ` (.*)$"));

}  // namespace

class MarkdownLogStoreTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void firstAppendCreatesHeaderThenEntry();
    void entriesAreCleaned();
    void existingLogIsNeverReplaced();
    void unwritableLocationsAreReportedAndDropped();
    void openLogFileCreatesHeaderOnlyAndOpens();
    void openLogFileAlertsWhenItCannotPrepare();
    void alertWithoutWidgetsGoesToTheSystemLog();
    void filesAndDirectoriesAreOwnerOnly();
    void linkedLogsOrDataDirectoryIsRefused();
    void entriesAreNeverGluedToAnOpenLine();

private:
    std::unique_ptr<MarkdownLogStore> makeStore(const QString &directory = QString());

    std::unique_ptr<TemporaryHome> m_home;
    std::shared_ptr<RecordingSystemLog> m_systemLog;
    std::shared_ptr<RecordingAlerts> m_alerts;
    QList<QUrl> m_opened;
    bool m_openResult = true;
    int m_labelRequests = 0;
};

void MarkdownLogStoreTest::init()
{
    m_home = std::make_unique<TemporaryHome>();
    QVERIFY(m_home->isValid());
    m_systemLog = std::make_shared<RecordingSystemLog>();
    m_alerts = std::make_shared<RecordingAlerts>();
    m_opened.clear();
    m_openResult = true;
    m_labelRequests = 0;
}

void MarkdownLogStoreTest::cleanup()
{
    m_home.reset();
}

std::unique_ptr<MarkdownLogStore> MarkdownLogStoreTest::makeStore(const QString &directory)
{
    return std::make_unique<MarkdownLogStore>(
        m_systemLog,
        [this] {
            ++m_labelRequests;
            return QStringLiteral("1.4.2 (57)+20260105-093012");
        },
        [this](const QUrl &url) {
            m_opened.append(url);
            return m_openResult;
        },
        m_alerts, directory);
}

void MarkdownLogStoreTest::firstAppendCreatesHeaderThenEntry()
{
    auto store = makeStore();
    const QString expectedPath = m_home->dataHome() + QStringLiteral("/VeltroMornix/Logs/mornix-log.md");
    QCOMPARE(store->filePath(), expectedPath);
    QVERIFY(!QFile::exists(expectedPath));

    store->append(QStringLiteral("app started build=1.4.2 (57)+20260105-093012"));
    store->append(QStringLiteral("second"));
    const QList<QByteArray> lines = readFile(expectedPath).split('\n');
    QCOMPARE(lines.size(), 6);  // four lines plus the empty text after the last newline
    QCOMPARE(lines.at(0), QByteArray("# VeltroMornix Logs"));
    QCOMPARE(lines.at(1), QByteArray());
    QCOMPARE(lines.at(2), QByteArray("Build: 1.4.2 (57)+20260105-093012"));
    const auto first = kEntry.match(QString::fromUtf8(lines.at(3)));
    QVERIFY2(first.hasMatch(), lines.at(3).constData());
    QCOMPARE(first.captured(1), QStringLiteral("app started build=1.4.2 (57)+20260105-093012"));
    QCOMPARE(kEntry.match(QString::fromUtf8(lines.at(4))).captured(1), QStringLiteral("second"));
    QCOMPARE(lines.at(5), QByteArray());
    QCOMPARE(m_labelRequests, 1);
    QVERIFY(m_systemLog->messages().isEmpty());

    // The timestamp is the moment of the append, in UTC.
    const QDateTime stamp = QDateTime::fromString(first.captured(0).mid(3, 20), Qt::ISODate);
    QVERIFY(qAbs(stamp.secsTo(QDateTime::currentDateTimeUtc())) < 60);

    // A deleted log starts again with its header.
    QVERIFY(QFile::remove(expectedPath));
    store->append(QStringLiteral("after"));
    QCOMPARE(readFile(expectedPath).split('\n').value(0), QByteArray("# VeltroMornix Logs"));
    QCOMPARE(kEntry.match(QString::fromUtf8(readFile(expectedPath).split('\n').value(3))).captured(1), QStringLiteral("after"));
    QCOMPARE(m_labelRequests, 2);
}

void MarkdownLogStoreTest::entriesAreCleaned()
{
    auto store = makeStore();
    store->append(QStringLiteral("  \n \t "));
    QVERIFY(!QFile::exists(store->filePath()));  // nothing at all for an empty text

    store->append(QStringLiteral("line one\nline two"));
    store->append(QStringLiteral("x").repeated(4100) + QStringLiteral("tail"));
    store->append(QStringLiteral("caf\u00e9 \U0001F44D"));
    const QList<QByteArray> lines = readFile(store->filePath()).split('\n');
    QCOMPARE(lines.size(), 7);
    QCOMPARE(kEntry.match(QString::fromUtf8(lines.at(3))).captured(1), QStringLiteral("line oneline two"));
    QCOMPARE(kEntry.match(QString::fromUtf8(lines.at(4))).captured(1), QStringLiteral("x").repeated(4000));
    QCOMPARE(kEntry.match(QString::fromUtf8(lines.at(5))).captured(1), QStringLiteral("caf\u00e9 \U0001F44D"));
}

void MarkdownLogStoreTest::existingLogIsNeverReplaced()
{
    auto store = makeStore();
    QVERIFY(QDir().mkpath(store->directoryPath()));
    // A log from an earlier run, without our header: appended to, never rewritten.
    const QByteArray earlier = QByteArrayLiteral("# VeltroMornix Logs\n\nBuild: old\n- `2025-01-01T00:00:00Z` kept\n");
    QVERIFY(writeFile(store->filePath(), earlier));
    store->append(QStringLiteral("new"));
    QByteArray content = readFile(store->filePath());
    QVERIFY(content.startsWith(earlier));
    QCOMPARE(content.count('\n'), earlier.count('\n') + 1);

    // The file system refuses to let the file grow: the entry is dropped and reported, the
    // content stays as it was.
    content = readFile(store->filePath());
    struct rlimit saved {};
    QVERIFY(getrlimit(RLIMIT_FSIZE, &saved) == 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = saved;
    limited.rlim_cur = static_cast<rlim_t>(content.size());
    QVERIFY(setrlimit(RLIMIT_FSIZE, &limited) == 0);
    store->append(QStringLiteral("does not fit"));
    QVERIFY(setrlimit(RLIMIT_FSIZE, &saved) == 0);
    std::signal(SIGXFSZ, previousHandler);

    QCOMPARE(readFile(store->filePath()), content);
    QCOMPARE(m_systemLog->messages().size(), 1);
    QVERIFY(m_systemLog->messages().first().startsWith(QStringLiteral("Mornix log write failed: ")));
}

void MarkdownLogStoreTest::unwritableLocationsAreReportedAndDropped()
{
    const QString root = m_home->path();

    // The log's name is taken by a directory: neither replaced nor written into.
    {
        auto store = makeStore(root + QStringLiteral("/a"));
        QVERIFY(QDir().mkpath(store->filePath() + QStringLiteral("/inside")));
        store->append(QStringLiteral("entry"));
        QVERIFY(QFileInfo(store->filePath()).isDir());
        QVERIFY(QFileInfo::exists(store->filePath() + QStringLiteral("/inside")));
    }
    // A dangling link is not followed (nothing is created at its target) and not replaced.
    {
        auto store = makeStore(root + QStringLiteral("/b"));
        QVERIFY(QDir().mkpath(store->directoryPath()));
        const QString target = root + QStringLiteral("/elsewhere.md");
        QVERIFY(QFile::link(target, store->filePath()));
        store->append(QStringLiteral("entry"));
        QVERIFY(!QFileInfo::exists(target));
        QCOMPARE(QFileInfo(store->filePath()).symLinkTarget(), target);
    }
    // Writes that fail (a device that is always full).
    {
        auto store = makeStore(root + QStringLiteral("/c"));
        QVERIFY(QDir().mkpath(store->directoryPath()));
        QVERIFY(QFile::link(QStringLiteral("/dev/full"), store->filePath()));
        store->append(QStringLiteral("entry"));
    }
    // The directory cannot be created: a file stands where a parent directory should be.
    {
        QVERIFY(writeFile(root + QStringLiteral("/d"), "x"));
        auto store = makeStore(root + QStringLiteral("/d/Logs"));
        store->append(QStringLiteral("entry"));
        QCOMPARE(readFile(root + QStringLiteral("/d")), QByteArray("x"));
    }
    const QStringList messages = m_systemLog->messages();
    QCOMPARE(messages.size(), 4);
    for (const QString &message : messages)
        QVERIFY2(message.startsWith(QStringLiteral("Mornix log write failed: ")) && message.size() > 25,
                 qPrintable(message));
}

void MarkdownLogStoreTest::openLogFileCreatesHeaderOnlyAndOpens()
{
    auto store = makeStore();
    store->openLogFile();
    QCOMPARE(readFile(store->filePath()), QByteArray("# VeltroMornix Logs\n\nBuild: 1.4.2 (57)+20260105-093012\n"));
    QCOMPARE(m_opened, QList<QUrl>{QUrl::fromLocalFile(store->filePath())});
    QVERIFY(m_alerts->alerts.isEmpty());

    // An existing log is opened as it is.
    store->append(QStringLiteral("entry"));
    const QByteArray content = readFile(store->filePath());
    m_openResult = false;  // a failing viewer is no alert: the file itself is fine
    store->openLogFile();
    QCOMPARE(readFile(store->filePath()), content);
    QCOMPARE(m_opened.size(), 2);
    QVERIFY(m_alerts->alerts.isEmpty());
}

void MarkdownLogStoreTest::openLogFileAlertsWhenItCannotPrepare()
{
    const QString blocker = m_home->path() + QStringLiteral("/blocker");
    QVERIFY(writeFile(blocker, "x"));
    auto store = makeStore(blocker + QStringLiteral("/Logs"));
    store->openLogFile();
    QVERIFY(m_opened.isEmpty());
    QCOMPARE(m_alerts->alerts.size(), 1);
    QCOMPARE(m_alerts->alerts.first().first, QStringLiteral("Unable to open logs"));
    QVERIFY(!m_alerts->alerts.first().second.isEmpty());
}

void MarkdownLogStoreTest::alertWithoutWidgetsGoesToTheSystemLog()
{
    // A headless start has no widget application: the alert cannot be shown and must not abort.
    LoggedAlertPresenter presenter(m_systemLog);
    presenter.showWarning(QStringLiteral("Unable to open logs"), QStringLiteral("No space left on device"));
    QCOMPARE(m_systemLog->messages(), QStringList{QStringLiteral("Unable to open logs: No space left on device")});
}

void MarkdownLogStoreTest::filesAndDirectoriesAreOwnerOnly()
{
    const mode_t saved = ::umask(0);  // the modes come from the creation itself, not the umask
    auto store = makeStore();
    store->append(QStringLiteral("entry"));
    ::umask(saved);
    QCOMPARE(modeOf(store->filePath()), mode_t(0600));
    QCOMPARE(modeOf(store->directoryPath()), mode_t(0700));
    QCOMPARE(modeOf(QFileInfo(store->directoryPath()).path()), mode_t(0700));

    // A log an earlier version left open to others is narrowed, and kept.
    QVERIFY(QFile::setPermissions(store->filePath(), QFile::permissions(store->filePath()) | QFileDevice::ReadOther));
    store->append(QStringLiteral("second"));
    QCOMPARE(modeOf(store->filePath()), mode_t(0600));
    QCOMPARE(readFile(store->filePath()).count("\n- `"), 2);
    QVERIFY(m_systemLog->messages().isEmpty());
}

void MarkdownLogStoreTest::linkedLogsOrDataDirectoryIsRefused()
{
    const QString root = m_home->path();
    const QString elsewhere = root + QStringLiteral("/elsewhere");
    QVERIFY(QDir().mkpath(elsewhere));
    // The Logs directory is a link.
    QVERIFY(QDir().mkpath(root + QStringLiteral("/a/VeltroMornix")));
    QVERIFY(QFile::link(elsewhere, root + QStringLiteral("/a/VeltroMornix/Logs")));
    makeStore(root + QStringLiteral("/a/VeltroMornix/Logs"))->append(QStringLiteral("entry"));
    // The data directory above it is a link.
    QVERIFY(QDir().mkpath(root + QStringLiteral("/b")));
    QVERIFY(QFile::link(elsewhere, root + QStringLiteral("/b/VeltroMornix")));
    makeStore(root + QStringLiteral("/b/VeltroMornix/Logs"))->append(QStringLiteral("entry"));

    QCOMPARE(QDir(elsewhere).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden), QStringList());
    const QStringList messages = m_systemLog->messages();
    QCOMPARE(messages.size(), 2);
    for (const QString &message : messages)
        QVERIFY2(message.contains(QLatin1String("is a symbolic link")), qPrintable(message));
}

void MarkdownLogStoreTest::entriesAreNeverGluedToAnOpenLine()
{
    auto store = makeStore();
    store->append(QStringLiteral("first"));
    // An earlier writer stopped in the middle of a line.
    QFile file(store->filePath());
    QVERIFY(file.open(QIODevice::Append));
    file.write("- `2026-01-05T09:31:40Z` cut");
    file.close();
    store->append(QStringLiteral("second"));
    const QList<QByteArray> lines = readFile(store->filePath()).split('\n');
    QCOMPARE(lines.value(lines.size() - 3), QByteArray("- `2026-01-05T09:31:40Z` cut"));
    QVERIFY(kEntry.match(QString::fromUtf8(lines.value(lines.size() - 2))).hasMatch());
    QVERIFY(lines.value(lines.size() - 2).endsWith("` second"));
    QVERIFY(m_systemLog->messages().isEmpty());
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(MarkdownLogStoreTest)
#include "tst_markdown_log_store.moc"
