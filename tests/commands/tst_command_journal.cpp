// The command journal on a real file system: steps survive a new instance, damage is skipped
// and reported, bounds hold, and unsafe files are never used.
#include "commands/command_id.h"
#include "commands/command_journal.h"
#include "support/process_runner.h"
#include "support/test_files.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace mornix {

namespace {

JournalOutcome outcome(AckStatus status, const QString &id)
{
    const QJsonObject payload{{u"app_key"_s, u"codex"_s}, {u"all_stopped"_s, true}};
    return JournalOutcome{status, u"Target application termination confirmed."_s, payload,
                          CommandAcknowledgement::idempotencyKeyFor(id, u"device-1"_s, status, payload), u"device-1"_s};
}

}  // namespace

class CommandJournalTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void stepsSurviveANewInstance()
    {
        QTemporaryDir home;
        const QString dir = home.filePath(u"VeltroMornix/Commands"_s);
        {
            CommandJournal journal(dir);
            QCOMPARE(journal.open(), QStringList());
            QVERIFY(journal.isDurable());
            QVERIFY(journal.recordReceived(u"a"_s));
            QVERIFY(journal.recordIntent(u"a"_s));
            QVERIFY(journal.recordOutcome(u"a"_s, outcome(AckStatus::executed, u"a"_s)));
            QVERIFY(journal.recordReceived(u"b"_s));
            QVERIFY(journal.recordOutcome(u"b"_s, outcome(AckStatus::ignored, u"b"_s)));
            QVERIFY(journal.recordSettled(u"b"_s));
            QVERIFY(journal.recordReceived(u"c"_s));
        }
        QCOMPARE(modeOf(dir), mode_t(0700));
        QCOMPARE(modeOf(dir + u"/journal"_s), mode_t(0600));

        CommandJournal again(dir);
        QCOMPARE(again.open(), QStringList());
        const auto a = again.entry(u"a"_s);
        QVERIFY(a && a->intent && !a->settled && a->receivedAt > 0);
        QCOMPARE(*a->outcome, outcome(AckStatus::executed, u"a"_s));
        QVERIFY(again.entry(u"b"_s)->settled);
        const auto c = again.entry(u"c"_s);
        QVERIFY(c && !c->intent && !c->outcome);
        QVERIFY(!again.entry(u"d"_s));
        // Only "a" still waits for the service.
        const QList<JournalEntry> pending = again.unsettledOutcomes();
        QCOMPARE(pending.size(), 1);
        QCOMPARE(pending[0].id, u"a"_s);
    }

    void damageIsSkippedReportedAndRewritten()
    {
        QTemporaryDir home;
        const QString dir = home.filePath(u"Commands"_s);
        {
            CommandJournal journal(dir);
            journal.open();
            journal.recordReceived(u"kept-1"_s);
            journal.recordIntent(u"kept-1"_s);
            journal.recordReceived(u"kept-2"_s);
        }
        const QString file = dir + u"/journal"_s;
        QByteArray bytes = readFile(file);
        // A record whose checksum no longer matches (a flipped byte), binary junk, a line that is
        // well formed but names an unsafe id, and a torn last line.
        JournalEntry flipped{u"lost"_s, 1, true, std::nullopt, false};
        QByteArray line = commandJournalLine(flipped);
        line[line.indexOf("lost")] = 'L';
        JournalEntry unsafe{u".."_s, 1, false, std::nullopt, false};
        bytes += line + QByteArray("\x00\xff garbage\n", 11) + commandJournalLine(unsafe)
                 + commandJournalLine(JournalEntry{u"torn"_s, 1, false, std::nullopt, false}).left(30);
        {
            QFile out(file);
            QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
            out.write(bytes);
        }

        CommandJournal damaged(dir);
        const QStringList problems = damaged.open();
        QCOMPARE(problems.size(), 1);
        QVERIFY2(problems[0].contains(u"4 unreadable line(s)"_s), qPrintable(problems[0]));
        QVERIFY(damaged.isDurable());
        QVERIFY(damaged.entry(u"kept-1"_s)->intent);
        QVERIFY(damaged.entry(u"kept-2"_s));
        QVERIFY(!damaged.entry(u"lost"_s) && !damaged.entry(u"Lost"_s));
        QVERIFY(!damaged.entry(u"torn"_s));
        QCOMPARE(damaged.size(), 2);
        // The file was rewritten from what was kept, and new steps append to it.
        QVERIFY(damaged.recordReceived(u"new"_s));
        CommandJournal clean(dir);
        QCOMPARE(clean.open(), QStringList());
        QCOMPARE(clean.size(), 3);
    }

    void boundedByCountAndAge()
    {
        QTemporaryDir home;
        qint64 now = 1'800'000'000;
        CommandJournal::Limits limits;
        limits.maxEntries = 5;
        limits.maxAgeSeconds = 100;
        limits.now = [&now] { return now; };
        const QString dir = home.filePath(u"Commands"_s);
        CommandJournal journal(dir, limits);
        journal.open();
        for (int i = 0; i < 40; ++i) {
            const QString id = u"c%1"_s.arg(i);
            QVERIFY(journal.recordReceived(id));
            QVERIFY(journal.recordIntent(id));
            QVERIFY(journal.recordOutcome(id, outcome(AckStatus::failed, id)));
            QVERIFY(journal.recordSettled(id));
        }
        QCOMPARE(journal.size(), 5);
        QVERIFY(!journal.entry(u"c34"_s));
        QVERIFY(journal.entry(u"c35"_s));
        // Compaction keeps the file near four lines per kept command, not 160 lines.
        QVERIFY2(readFile(dir + u"/journal"_s).count('\n') <= 5 * 4 + 4,
                 qPrintable(QString::number(readFile(dir + u"/journal"_s).count('\n'))));

        now += 60;
        QVERIFY(journal.recordReceived(u"late"_s));
        now += 50;  // the first five are now 110 s old, "late" 50 s
        QVERIFY(journal.recordReceived(u"later"_s));
        QCOMPARE(journal.size(), 2);
        CommandJournal reread(dir, limits);
        reread.open();
        QCOMPARE(reread.size(), 2);
        QVERIFY(reread.entry(u"late"_s) && reread.entry(u"later"_s));
    }

    // Each unsafe location leaves the journal in memory (steps remembered, not durable) and the
    // files there as they were. Without a directory every step succeeds in memory.
    void unsafeLocationsAreRefusedAndMemoryStillWorks()
    {
        QTemporaryDir home;
        const auto directory = [&home](const QString &name, mode_t mode) {
            const QString path = home.filePath(name);
            return QDir().mkpath(path) && ::chmod(QFile::encodeName(path), mode) == 0 ? path : QString();
        };
        const auto journalFile = [](const QString &dir, mode_t mode) {
            return writeFile(dir + u"/journal"_s, {}) && ::chmod(QFile::encodeName(dir + u"/journal"_s), mode) == 0;
        };
        const QString victim = home.filePath(u"victim"_s);
        QVERIFY(writeFile(victim, "untouched\n"));
        // The journal file is a symbolic link to a file of someone else's choosing.
        const QString linked = directory(u"Linked"_s, 0700);
        QVERIFY(QFile::link(victim, linked + u"/journal"_s));
        // A directory open to others, and a directory that is a link.
        const QString open = directory(u"Open"_s, 0755);
        QVERIFY(QFile::link(linked, home.filePath(u"Redirect"_s)));
        // A journal file with a second name (a hard link planted beside it), and one open to others.
        const QString hard = directory(u"Hard"_s, 0700);
        QVERIFY(journalFile(hard, 0600));
        QVERIFY(::link(QFile::encodeName(hard + u"/journal"_s), QFile::encodeName(hard + u"/second-name"_s)) == 0);
        const QString readable = directory(u"Readable"_s, 0700);
        QVERIFY(journalFile(readable, 0644));

        const std::pair<QString, QString> cases[] = {{linked, u"command journal kept in memory only"_s},
                                                     {open, u"open to group or others"_s},
                                                     {home.filePath(u"Redirect"_s), u"kept in memory only"_s},
                                                     {hard, u"2 hard links"_s},
                                                     {readable, u"kept in memory only"_s}};
        for (const auto &[path, problem] : cases) {
            CommandJournal journal(path);
            const QStringList problems = journal.open();
            QVERIFY2(problems.size() == 1 && problems[0].contains(problem), qPrintable(path + problems.join(u'|')));
            QVERIFY(!journal.isDurable());
            QVERIFY(!journal.recordReceived(u"x"_s));  // not durable, but remembered
            QVERIFY(journal.entry(u"x"_s));
        }
        QCOMPARE(readFile(victim), QByteArray("untouched\n"));
        QVERIFY(!QFile::exists(open + u"/journal"_s));
        QCOMPARE(modeOf(readable + u"/journal"_s), mode_t(0644));
        QCOMPARE(readFile(hard + u"/journal"_s), QByteArray());

        CommandJournal memory;
        QCOMPARE(memory.open(), QStringList());
        QVERIFY(memory.recordReceived(u"m"_s) && memory.recordIntent(u"m"_s));
        QVERIFY(memory.entry(u"m"_s)->intent);
    }

    void safeIDsAndTheirPathSegment_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<bool>("safe");
        QTest::addColumn<QByteArray>("segment");
        QTest::newRow("uuid") << u"0f4c1f8e-3f0b-4a51-9c1e-2f3f1d0a9b11"_s << true
                              << QByteArray("0f4c1f8e-3f0b-4a51-9c1e-2f3f1d0a9b11");
        QTest::newRow("traversal") << u"../../agent-instances/report"_s << true
                                   << QByteArray("..%2F..%2Fagent-instances%2Freport");
        QTest::newRow("query and fragment") << u"a?b=c#d"_s << true << QByteArray("a%3Fb%3Dc%23d");
        QTest::newRow("percent and space") << u"%2e %41"_s << true << QByteArray("%252e%20%2541");
        QTest::newRow("non-ASCII") << u"é😀"_s << true << QByteArray("%C3%A9%F0%9F%98%80");
        QTest::newRow("sub-delims") << u"!$&'()*+,;=:@~"_s << true
                                    << QByteArray("%21%24%26%27%28%29%2A%2B%2C%3B%3D%3A%40~");
        QTest::newRow("three dots") << u"..."_s << true << QByteArray("...");
        QTest::newRow("256 characters") << QString(256, u'x') << true << QByteArray(256, 'x');
        QTest::newRow("dot") << u"."_s << false << QByteArray();
        QTest::newRow("dot dot") << u".."_s << false << QByteArray();
        QTest::newRow("empty") << QString() << false << QByteArray();
        QTest::newRow("CR LF") << u"a\r\nX-Injected: 1"_s << false << QByteArray();
        QTest::newRow("NUL") << QString(QChar(0)) << false << QByteArray();
        QTest::newRow("DEL") << u"a\x7f"_s << false << QByteArray();
        QTest::newRow("C1 control") << u"a\u0085"_s << false << QByteArray();
        QTest::newRow("lone surrogate") << QString(QChar(0xd800)) << false << QByteArray();
        QTest::newRow("257 characters") << QString(257, u'x') << false << QByteArray();
    }

    void safeIDsAndTheirPathSegment()
    {
        QFETCH(QString, id);
        QFETCH(bool, safe);
        QFETCH(QByteArray, segment);
        QCOMPARE(command_id::isSafe(id), safe);
        if (!safe)
            return;
        QCOMPARE(command_id::pathSegment(id), segment);
        // Cross-check: python3's quote with no safe characters encodes the same bytes.
        const ProcessResult python =
            runPython(QStringLiteral("import sys, urllib.parse\n"
                                     "sys.stdout.write(urllib.parse.quote(sys.argv[1], safe=''))\n"),
                      {id});
        QCOMPARE(python.exitCode, 0);
        QCOMPARE(python.standardOutput, segment);
        const QByteArray body = "{\"command\":{\"id\":"
                                + QJsonDocument(QJsonArray{id}).toJson(QJsonDocument::Compact).mid(1).chopped(1) + "}}";
        QCOMPARE(command_id::readableID(body), std::optional<QString>(id));
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(CommandJournalTest)
#include "tst_command_journal.moc"
