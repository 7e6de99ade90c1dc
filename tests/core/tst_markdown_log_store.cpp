// The Markdown log on a real file system: its format, what it never replaces or follows, the
// owner-only modes, and every failure reported to the system log instead.
#include "support/recording_system_log.h"
#include "support/temporary_home.h"
#include "support/test_files.h"
#include "core/alert_presenter.h"
#include "core/markdown_log_store.h"
#include "core/logged_alerts.h"
#include "platform/linux/process/procfs_workspace.h"

#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

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

const QRegularExpression kEntry(u"^- `\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ` (.*)$"_s);
const QByteArray kHeader = "# VeltroMornix Logs\n\nBuild: 1.4.2 (57)+20260105-093012\n";

// The text of an entry line; null when the line is no entry.
QString entryText(const QByteArray &line)
{
    return kEntry.match(QString::fromUtf8(line)).captured(1);
}

}  // namespace

class MarkdownLogStoreTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TemporaryHome> m_home;
    std::shared_ptr<RecordingSystemLog> m_systemLog;
    std::shared_ptr<RecordingAlerts> m_alerts;
    QList<QUrl> m_opened;
    QString m_openFailure;  // what the opener reports; empty: success
    int m_labelRequests = 0;

    std::unique_ptr<MarkdownLogStore> makeStore(const QString &directory = QString())
    {
        const auto label = [this] {
            ++m_labelRequests;
            return u"1.4.2 (57)+20260105-093012"_s;
        };
        const auto open = [this](const QUrl &url, std::function<void(const QString &)> done) {
            m_opened.append(url);
            done(m_openFailure);
        };
        return std::make_unique<MarkdownLogStore>(m_systemLog, label, open, m_alerts, directory);
    }
    // Every message of the system log starts with the write failure's prefix and gives a reason.
    void verifyWriteFailures(qsizetype count, const QString &reason = u""_s)
    {
        const QStringList messages = m_systemLog->messages();
        QCOMPARE(messages.size(), count);
        for (const QString &message : messages)
            QVERIFY2(message.startsWith(u"Mornix log write failed: "_s) && message.size() > 25
                         && message.contains(reason),
                     qPrintable(message));
    }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<TemporaryHome>();
        QVERIFY(m_home->isValid());
        m_systemLog = std::make_shared<RecordingSystemLog>();
        m_alerts = std::make_shared<RecordingAlerts>();
        m_opened.clear();
        m_openFailure.clear();
        m_labelRequests = 0;
    }
    // Each home restores the environment it replaced: the old one goes before the next is made.
    void cleanup() { m_home.reset(); }

    void firstAppendCreatesHeaderThenEntry()
    {
        auto store = makeStore();
        const QString expectedPath = m_home->dataHome() + u"/VeltroMornix/Logs/mornix-log.md"_s;
        QCOMPARE(store->filePath(), expectedPath);
        QVERIFY(!QFile::exists(expectedPath));

        store->append(u"app started build=1.4.2 (57)+20260105-093012"_s);
        store->append(u"second"_s);
        const QByteArray content = readFile(expectedPath);
        QVERIFY(content.startsWith(kHeader));
        const QList<QByteArray> lines = content.split('\n');
        QCOMPARE(lines.size(), 6);  // four lines plus the empty text after the last newline
        QCOMPARE(entryText(lines.at(3)), u"app started build=1.4.2 (57)+20260105-093012"_s);
        QCOMPARE(entryText(lines.at(4)), u"second"_s);
        QCOMPARE(m_labelRequests, 1);
        QVERIFY(m_systemLog->messages().isEmpty());
        // The timestamp is the moment of the append, in UTC.
        const QDateTime stamp = QDateTime::fromString(QString::fromUtf8(lines.at(3).mid(3, 20)), Qt::ISODate);
        QVERIFY(qAbs(stamp.secsTo(QDateTime::currentDateTimeUtc())) < 60);

        // A deleted log starts again with its header.
        QVERIFY(QFile::remove(expectedPath));
        store->append(u"after"_s);
        QVERIFY(readFile(expectedPath).startsWith(kHeader));
        QCOMPARE(entryText(readFile(expectedPath).split('\n').value(3)), u"after"_s);
        QCOMPARE(m_labelRequests, 2);
    }

    // Blank texts are dropped; entries are cleaned and capped at 4000 characters.
    void entriesAreCleaned()
    {
        auto store = makeStore();
        store->append(u"  \n \t "_s);
        QVERIFY(!QFile::exists(store->filePath()));  // nothing at all for an empty text
        store->append(u"line one\nline two"_s);
        store->append(u"x"_s.repeated(4100) + u"tail"_s);
        const QList<QByteArray> lines = readFile(store->filePath()).split('\n');
        QCOMPARE(lines.size(), 6);
        QCOMPARE(entryText(lines.at(3)), u"line oneline two"_s);
        QCOMPARE(entryText(lines.at(4)), u"x"_s.repeated(4000));
    }

    void existingLogIsNeverReplaced()
    {
        auto store = makeStore();
        QVERIFY(QDir().mkpath(store->directoryPath()));
        // A log from an earlier run, without our header: appended to, never rewritten.
        const QByteArray earlier = "# VeltroMornix Logs\n\nBuild: old\n- `2025-01-01T00:00:00Z` kept\n";
        QVERIFY(writeFile(store->filePath(), earlier));
        store->append(u"new"_s);
        const QByteArray content = readFile(store->filePath());
        QVERIFY(content.startsWith(earlier));
        QCOMPARE(content.count('\n'), earlier.count('\n') + 1);
        QCOMPARE(entryText(content.split('\n').value(4)), u"new"_s);
    }

    void unwritableLocationsAreReportedAndDropped()
    {
        const QString root = m_home->path();
        // A dangling link is not followed (nothing is created at its target) and not replaced.
        auto b = makeStore(root + u"/b"_s);
        QVERIFY(QDir().mkpath(b->directoryPath()));
        QVERIFY(QFile::link(root + u"/elsewhere.md"_s, b->filePath()));
        b->append(u"entry"_s);
        QVERIFY(!QFileInfo::exists(root + u"/elsewhere.md"_s));
        QCOMPARE(QFileInfo(b->filePath()).symLinkTarget(), root + u"/elsewhere.md"_s);
        // Writes that fail (a device that is always full).
        auto c = makeStore(root + u"/c"_s);
        QVERIFY(QDir().mkpath(c->directoryPath()));
        QVERIFY(QFile::link(u"/dev/full"_s, c->filePath()));
        c->append(u"entry"_s);
        // A FIFO another program put there: refused without waiting for a reader.
        auto f = makeStore(root + u"/f"_s);
        QVERIFY(QDir().mkpath(f->directoryPath()));
        QCOMPARE(::mkfifo(QFile::encodeName(f->filePath()).constData(), 0600), 0);
        f->append(u"entry"_s);
        // The directory cannot be created: a file stands where a parent directory should be.
        QVERIFY(writeFile(root + u"/d"_s, "x"));
        makeStore(root + u"/d/Logs"_s)->append(u"entry"_s);
        QCOMPARE(readFile(root + u"/d"_s), QByteArray("x"));
        verifyWriteFailures(4);

        // Opening the log there alerts the user instead (and opens nothing).
        makeStore(root + u"/d/Logs"_s)->openLogFile();
        QVERIFY(m_opened.isEmpty());
        QCOMPARE(m_alerts->alerts.size(), 1);
        QCOMPARE(m_alerts->alerts.first().first, u"Unable to open logs"_s);
        QVERIFY(!m_alerts->alerts.first().second.isEmpty());
    }

    void openLogFileCreatesHeaderOnlyAndOpens()
    {
        auto store = makeStore();
        store->openLogFile();
        QCOMPARE(readFile(store->filePath()), kHeader);
        QCOMPARE(m_opened, QList<QUrl>{QUrl::fromLocalFile(store->filePath())});

        // An existing log is opened as it is.
        store->append(u"entry"_s);
        const QByteArray content = readFile(store->filePath());
        store->openLogFile();
        QCOMPARE(readFile(store->filePath()), content);
        QCOMPARE(m_opened.size(), 2);
        QVERIFY(m_alerts->alerts.isEmpty());

        // A headless start has no widget application: the alert cannot be shown and must not abort.
        LoggedAlertPresenter presenter(m_systemLog);
        presenter.showWarning(u"Unable to open logs"_s, u"No space left on device"_s);
        QCOMPARE(m_systemLog->messages(), QStringList{u"Unable to open logs: No space left on device"_s});
    }

    // The desktop's real opener as a child process: every way it fails reaches the user.
    void openerFailureShowsTheAlert_data()
    {
        QTest::addColumn<QByteArray>("script");  // the xdg-open on PATH; empty: none at all
        QTest::addColumn<QString>("reason");     // in the alert; empty: no alert
        QTest::newRow("no handler (exit 3)") << QByteArray("exit 3")
                                             << u"xdg-open could not open the file: no "
                                                "application is set up to open files of this type (exit status 3)."_s;
        QTest::newRow("handler failed (exit 4)")
            << QByteArray("exit 4") << u"the application that opens it failed (exit status 4)"_s;
        QTest::newRow("killed") << QByteArray("kill -9 $$") << u"xdg-open was ended by signal 9"_s;
        QTest::newRow("no xdg-open") << QByteArray() << u"xdg-open cannot be started: "_s;
        QTest::newRow("opened") << QByteArray("exit 0") << QString();
    }
    void openerFailureShowsTheAlert()
    {
        QFETCH(QByteArray, script);
        QFETCH(QString, reason);
        const QString bin = m_home->path() + u"/bin"_s;
        const QString called = m_home->path() + u"/called"_s;
        QVERIFY(QDir().mkpath(bin));
        if (!script.isEmpty()) {
            QVERIFY(writeFile(bin + u"/xdg-open"_s,
                              "#!/bin/sh\nprintf '%s' \"$1\" > '" + called.toUtf8() + "'\n" + script + "\n"));
            QVERIFY(
                QFile::setPermissions(bin + u"/xdg-open"_s, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        }
        const QByteArray savedPath = qgetenv("PATH");
        qputenv("PATH", bin.toUtf8() + (script.isEmpty() ? QByteArray() : ":/usr/bin:/bin"));
        ProcfsWorkspace workspace;
        int answers = 0;
        const auto open = [&](const QUrl &url, std::function<void(const QString &)> done) {
            workspace.openFile(url, this, [&answers, done](const QString &failure) {
                ++answers;
                done(failure);
            });
        };
        MarkdownLogStore store(
            m_systemLog, [] { return u"1.4.2 (57)+20260105-093012"_s; }, open, m_alerts);
        store.openLogFile();
        qputenv("PATH", savedPath);
        QTRY_COMPARE_WITH_TIMEOUT(answers, 1, 20000);
        if (!script.isEmpty())
            QCOMPARE(readFile(called), QFile::encodeName(store.filePath()));
        if (reason.isEmpty()) {
            QVERIFY(m_alerts->alerts.isEmpty());
            return;
        }
        QCOMPARE(m_alerts->alerts.size(), 1);
        QCOMPARE(m_alerts->alerts.first().first, u"Unable to open logs"_s);
        const QString text = m_alerts->alerts.first().second;
        QVERIFY2(text.contains(reason), qPrintable(text));
        QVERIFY2(text.endsWith(u" The log is kept at "_s + store.filePath() + u'.'), qPrintable(text));
    }

    void filesAndDirectoriesAreOwnerOnly()
    {
        const mode_t saved = ::umask(0);  // the modes come from the creation itself, not the umask
        auto store = makeStore();
        store->append(u"entry"_s);
        ::umask(saved);
        QCOMPARE(modeOf(store->filePath()), mode_t(0600));
        QCOMPARE(modeOf(store->directoryPath()), mode_t(0700));
        QCOMPARE(modeOf(QFileInfo(store->directoryPath()).path()), mode_t(0700));

        // A log an earlier version left open to others is narrowed, and kept.
        QVERIFY(
            QFile::setPermissions(store->filePath(), QFile::permissions(store->filePath()) | QFileDevice::ReadOther));
        store->append(u"second"_s);
        QCOMPARE(modeOf(store->filePath()), mode_t(0600));
        QCOMPARE(readFile(store->filePath()).count("\n- `"), 2);
        QVERIFY(m_systemLog->messages().isEmpty());
    }

    // The Logs directory is a link, or the data directory above it is: nothing is written through.
    void linkedLogsOrDataDirectoryIsRefused()
    {
        const QString root = m_home->path();
        const QString elsewhere = root + u"/elsewhere"_s;
        QVERIFY(QDir().mkpath(elsewhere) && QDir().mkpath(root + u"/a/VeltroMornix"_s)
                && QDir().mkpath(root + u"/b"_s));
        QVERIFY(QFile::link(elsewhere, root + u"/a/VeltroMornix/Logs"_s));
        QVERIFY(QFile::link(elsewhere, root + u"/b/VeltroMornix"_s));
        makeStore(root + u"/a/VeltroMornix/Logs"_s)->append(u"entry"_s);
        makeStore(root + u"/b/VeltroMornix/Logs"_s)->append(u"entry"_s);
        QCOMPARE(QDir(elsewhere).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden), QStringList());
        verifyWriteFailures(2, u"is a symbolic link"_s);
    }

    // The store keeps its checked Logs directory between appends: whatever happens to the path
    // meanwhile, the next entry goes where the path leads now, or nowhere.
    void laterAppendsFollowThePath_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("written");
        QTest::newRow("moved away") << u"move"_s << true;
        QTest::newRow("removed with its parent") << u"remove"_s << true;
        QTest::newRow("replaced by a link") << u"link"_s << false;
    }
    void laterAppendsFollowThePath()
    {
        QFETCH(QString, change);
        QFETCH(bool, written);
        const QString root = m_home->path();
        const QString logs = root + u"/data/VeltroMornix/Logs"_s;
        const QString elsewhere = root + u"/elsewhere"_s;
        QVERIFY(QDir().mkpath(elsewhere));
        auto store = makeStore(logs);
        store->append(u"first"_s);
        QCOMPARE(entryText(readFile(store->filePath()).split('\n').value(3)), u"first"_s);

        if (change == u"move"_s) {
            QVERIFY(QDir().rename(logs, elsewhere + u"/Logs"_s));
        } else if (change == u"remove"_s) {
            QVERIFY(QDir(root + u"/data/VeltroMornix"_s).removeRecursively());
        } else {
            QVERIFY(QDir().rename(logs, root + u"/old-logs"_s));
            QVERIFY(QFile::link(elsewhere, logs));
        }
        store->append(u"second"_s);
        if (written) {
            const QByteArray content = readFile(store->filePath());
            QVERIFY(content.startsWith(kHeader));
            QCOMPARE(entryText(content.split('\n').value(3)), u"second"_s);
            QVERIFY(m_systemLog->messages().isEmpty());
        } else {
            verifyWriteFailures(1, u"is a symbolic link"_s);
        }
        // Nothing went into a directory the path no longer names.
        QVERIFY(!readFile(elsewhere + u"/Logs/mornix-log.md"_s).contains("second"));
        QVERIFY(!readFile(root + u"/old-logs/mornix-log.md"_s).contains("second"));
        QVERIFY(!QFile::exists(elsewhere + u"/mornix-log.md"_s));
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(MarkdownLogStoreTest)
#include "tst_markdown_log_store.moc"
