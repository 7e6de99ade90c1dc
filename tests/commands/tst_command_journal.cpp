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

namespace mornix {

namespace {

JournalOutcome outcome(AckStatus status, const QString &id)
{
    const QJsonObject payload{{QStringLiteral("app_key"), QStringLiteral("codex")}, {QStringLiteral("all_stopped"), true}};
    return JournalOutcome{status, QStringLiteral("Target application termination confirmed."), payload,
                          CommandAcknowledgement::idempotencyKeyFor(id, QStringLiteral("device-1"), status, payload),
                          QStringLiteral("device-1")};
}

}  // namespace

class CommandJournalTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void stepsSurviveANewInstance();
    void damageIsSkippedReportedAndRewritten();
    void boundedByCountAndAge();
    void unsafeLocationsAreRefusedAndMemoryStillWorks();
    void safeIDsAndTheirPathSegment_data();
    void safeIDsAndTheirPathSegment();
};

void CommandJournalTest::stepsSurviveANewInstance()
{
    QTemporaryDir home;
    const QString dir = home.filePath(QStringLiteral("VeltroMornix/Commands"));
    {
        CommandJournal journal(dir);
        QCOMPARE(journal.open(), QStringList());
        QVERIFY(journal.isDurable());
        QVERIFY(journal.recordReceived(QStringLiteral("a")));
        QVERIFY(journal.recordIntent(QStringLiteral("a")));
        QVERIFY(journal.recordOutcome(QStringLiteral("a"), outcome(AckStatus::executed, QStringLiteral("a"))));
        QVERIFY(journal.recordReceived(QStringLiteral("b")));
        QVERIFY(journal.recordOutcome(QStringLiteral("b"), outcome(AckStatus::ignored, QStringLiteral("b"))));
        QVERIFY(journal.recordSettled(QStringLiteral("b")));
        QVERIFY(journal.recordReceived(QStringLiteral("c")));
    }
    QCOMPARE(modeOf(dir), mode_t(0700));
    QCOMPARE(modeOf(dir + QStringLiteral("/journal")), mode_t(0600));

    CommandJournal again(dir);
    QCOMPARE(again.open(), QStringList());
    const auto a = again.entry(QStringLiteral("a"));
    QVERIFY(a && a->intent && !a->settled && a->receivedAt > 0);
    QCOMPARE(*a->outcome, outcome(AckStatus::executed, QStringLiteral("a")));
    QVERIFY(again.entry(QStringLiteral("b"))->settled);
    const auto c = again.entry(QStringLiteral("c"));
    QVERIFY(c && !c->intent && !c->outcome);
    QVERIFY(!again.entry(QStringLiteral("d")));
    // Only "a" still waits for the service.
    const QList<JournalEntry> pending = again.unsettledOutcomes();
    QCOMPARE(pending.size(), 1);
    QCOMPARE(pending[0].id, QStringLiteral("a"));
}

void CommandJournalTest::damageIsSkippedReportedAndRewritten()
{
    QTemporaryDir home;
    const QString dir = home.filePath(QStringLiteral("Commands"));
    {
        CommandJournal journal(dir);
        journal.open();
        journal.recordReceived(QStringLiteral("kept-1"));
        journal.recordIntent(QStringLiteral("kept-1"));
        journal.recordReceived(QStringLiteral("kept-2"));
    }
    const QString file = dir + QStringLiteral("/journal");
    QByteArray bytes = readFile(file);
    // A record whose checksum no longer matches (a flipped byte), binary junk, a line that is
    // well formed but names an unsafe id, and a torn last line.
    JournalEntry flipped{QStringLiteral("lost"), 1, true, std::nullopt, false};
    QByteArray line = commandJournalLine(flipped);
    line[line.indexOf("lost")] = 'L';
    JournalEntry unsafe{QStringLiteral(".."), 1, false, std::nullopt, false};
    bytes += line + QByteArray("\x00\xff garbage\n", 11) + commandJournalLine(unsafe)
        + commandJournalLine(JournalEntry{QStringLiteral("torn"), 1, false, std::nullopt, false}).left(30);
    {
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(bytes);
    }

    CommandJournal damaged(dir);
    const QStringList problems = damaged.open();
    QCOMPARE(problems.size(), 1);
    QVERIFY2(problems[0].contains(QStringLiteral("4 unreadable line(s)")), qPrintable(problems[0]));
    QVERIFY(damaged.isDurable());
    QVERIFY(damaged.entry(QStringLiteral("kept-1"))->intent);
    QVERIFY(damaged.entry(QStringLiteral("kept-2")));
    QVERIFY(!damaged.entry(QStringLiteral("lost")) && !damaged.entry(QStringLiteral("Lost")));
    QVERIFY(!damaged.entry(QStringLiteral("torn")));
    QCOMPARE(damaged.size(), 2);
    // The file was rewritten from what was kept, and new steps append to it.
    QVERIFY(damaged.recordReceived(QStringLiteral("new")));
    CommandJournal clean(dir);
    QCOMPARE(clean.open(), QStringList());
    QCOMPARE(clean.size(), 3);
}

void CommandJournalTest::boundedByCountAndAge()
{
    QTemporaryDir home;
    qint64 now = 1'800'000'000;
    CommandJournal::Limits limits;
    limits.maxEntries = 5;
    limits.maxAgeSeconds = 100;
    limits.now = [&now] { return now; };
    const QString dir = home.filePath(QStringLiteral("Commands"));
    CommandJournal journal(dir, limits);
    journal.open();
    for (int i = 0; i < 40; ++i) {
        const QString id = QStringLiteral("c%1").arg(i);
        QVERIFY(journal.recordReceived(id));
        QVERIFY(journal.recordIntent(id));
        QVERIFY(journal.recordOutcome(id, outcome(AckStatus::failed, id)));
        QVERIFY(journal.recordSettled(id));
    }
    QCOMPARE(journal.size(), 5);
    QVERIFY(!journal.entry(QStringLiteral("c34")));
    QVERIFY(journal.entry(QStringLiteral("c35")));
    // Compaction keeps the file near four lines per kept command, not 160 lines.
    QVERIFY2(readFile(dir + QStringLiteral("/journal")).count('\n') <= 5 * 4 + 4,
             qPrintable(QString::number(readFile(dir + QStringLiteral("/journal")).count('\n'))));

    now += 60;
    QVERIFY(journal.recordReceived(QStringLiteral("late")));
    now += 50;  // the first five are now 110 s old, "late" 50 s
    QVERIFY(journal.recordReceived(QStringLiteral("later")));
    QCOMPARE(journal.size(), 2);
    CommandJournal reread(dir, limits);
    reread.open();
    QCOMPARE(reread.size(), 2);
    QVERIFY(reread.entry(QStringLiteral("late")) && reread.entry(QStringLiteral("later")));
}

void CommandJournalTest::unsafeLocationsAreRefusedAndMemoryStillWorks()
{
    QTemporaryDir home;
    // The journal file is a symbolic link to a file of someone else's choosing.
    const QString dir = home.filePath(QStringLiteral("Commands"));
    QVERIFY(QDir().mkpath(dir));
    QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QString victim = home.filePath(QStringLiteral("victim"));
    {
        QFile file(victim);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("untouched\n");
    }
    QVERIFY(QFile::link(victim, dir + QStringLiteral("/journal")));
    CommandJournal linked(dir);
    const QStringList problems = linked.open();
    QCOMPARE(problems.size(), 1);
    QVERIFY(problems[0].startsWith(QStringLiteral("command journal kept in memory only")));
    QVERIFY(!linked.isDurable());
    QVERIFY(!linked.recordReceived(QStringLiteral("x")));  // not durable, but remembered
    QVERIFY(linked.entry(QStringLiteral("x")));
    QCOMPARE(readFile(victim), QByteArray("untouched\n"));

    // A directory open to others, and a directory that is a link, are refused too.
    const QString open = home.filePath(QStringLiteral("Open"));
    QVERIFY(QDir().mkpath(open));
    QVERIFY(::chmod(QFile::encodeName(open).constData(), 0755) == 0);
    CommandJournal shared(open);
    const QStringList sharedProblems = shared.open();
    QCOMPARE(sharedProblems.size(), 1);
    QVERIFY2(sharedProblems[0].contains(QStringLiteral("open to group or others")), qPrintable(sharedProblems[0]));
    QVERIFY(!QFile::exists(open + QStringLiteral("/journal")));
    const QString redirect = home.filePath(QStringLiteral("Redirect"));
    QVERIFY(QFile::link(dir, redirect));
    CommandJournal throughLink(redirect);
    QCOMPARE(throughLink.open().size(), 1);
    QVERIFY(!throughLink.isDurable());

    // A journal file with a second name (a hard link planted beside it) is refused and left as
    // it is; so is one open to others.
    const QString hardDir = home.filePath(QStringLiteral("Hard"));
    QVERIFY(QDir().mkpath(hardDir));
    QVERIFY(::chmod(QFile::encodeName(hardDir).constData(), 0700) == 0);
    const QString journalFile = hardDir + QStringLiteral("/journal");
    QVERIFY(QFile(journalFile).open(QIODevice::WriteOnly));
    QVERIFY(::chmod(QFile::encodeName(journalFile).constData(), 0600) == 0);
    QVERIFY(::link(QFile::encodeName(journalFile).constData(),
                   QFile::encodeName(hardDir + QStringLiteral("/second-name")).constData()) == 0);
    CommandJournal hardLinked(hardDir);
    const QStringList linkProblems = hardLinked.open();
    QCOMPARE(linkProblems.size(), 1);
    QVERIFY2(linkProblems[0].contains(QStringLiteral("2 hard links")), qPrintable(linkProblems[0]));
    QVERIFY(!hardLinked.isDurable());
    QVERIFY(::unlink(QFile::encodeName(hardDir + QStringLiteral("/second-name")).constData()) == 0);
    QVERIFY(::chmod(QFile::encodeName(journalFile).constData(), 0644) == 0);
    CommandJournal readable(hardDir);
    QCOMPARE(readable.open().size(), 1);
    QVERIFY(!readable.isDurable());
    QCOMPARE(modeOf(journalFile), mode_t(0644));

    // Without a directory: memory only, and every step succeeds.
    CommandJournal memory;
    QCOMPARE(memory.open(), QStringList());
    QVERIFY(memory.recordReceived(QStringLiteral("m")) && memory.recordIntent(QStringLiteral("m")));
    QVERIFY(memory.entry(QStringLiteral("m"))->intent);
}

void CommandJournalTest::safeIDsAndTheirPathSegment_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<bool>("safe");
    QTest::addColumn<QByteArray>("segment");
    QTest::newRow("uuid") << QStringLiteral("0f4c1f8e-3f0b-4a51-9c1e-2f3f1d0a9b11") << true
                          << QByteArray("0f4c1f8e-3f0b-4a51-9c1e-2f3f1d0a9b11");
    QTest::newRow("traversal") << QStringLiteral("../../agent-instances/report") << true
                               << QByteArray("..%2F..%2Fagent-instances%2Freport");
    QTest::newRow("query and fragment") << QStringLiteral("a?b=c#d") << true << QByteArray("a%3Fb%3Dc%23d");
    QTest::newRow("percent and space") << QStringLiteral("%2e %41") << true << QByteArray("%252e%20%2541");
    QTest::newRow("non-ASCII") << QStringLiteral("é😀") << true << QByteArray("%C3%A9%F0%9F%98%80");
    QTest::newRow("sub-delims") << QStringLiteral("!$&'()*+,;=:@~") << true
                                << QByteArray("%21%24%26%27%28%29%2A%2B%2C%3B%3D%3A%40~");
    QTest::newRow("three dots") << QStringLiteral("...") << true << QByteArray("...");
    QTest::newRow("256 characters") << QString(256, QLatin1Char('x')) << true << QByteArray(256, 'x');
    QTest::newRow("dot") << QStringLiteral(".") << false << QByteArray();
    QTest::newRow("dot dot") << QStringLiteral("..") << false << QByteArray();
    QTest::newRow("empty") << QString() << false << QByteArray();
    QTest::newRow("CR LF") << QStringLiteral("a\r\nX-Injected: 1") << false << QByteArray();
    QTest::newRow("NUL") << QString(QChar(0)) << false << QByteArray();
    QTest::newRow("DEL") << QStringLiteral("a\x7f") << false << QByteArray();
    QTest::newRow("C1 control") << QStringLiteral("a\u0085") << false << QByteArray();
    QTest::newRow("lone surrogate") << QString(QChar(0xd800)) << false << QByteArray();
    QTest::newRow("257 characters") << QString(257, QLatin1Char('x')) << false << QByteArray();
}

void CommandJournalTest::safeIDsAndTheirPathSegment()
{
    QFETCH(QString, id);
    QFETCH(bool, safe);
    QFETCH(QByteArray, segment);
    QCOMPARE(command_id::isSafe(id), safe);
    if (!safe)
        return;
    QCOMPARE(command_id::pathSegment(id), segment);
    // Cross-check: python3's quote with no safe characters encodes the same bytes.
    const ProcessResult python = runPython(QStringLiteral("import sys, urllib.parse\n"
                                                         "sys.stdout.write(urllib.parse.quote(sys.argv[1], safe=''))\n"),
                                           {id});
    QCOMPARE(python.exitCode, 0);
    QCOMPARE(python.standardOutput, segment);
    const QByteArray body = "{\"command\":{\"id\":" + QJsonDocument(QJsonArray{id}).toJson(QJsonDocument::Compact).mid(1).chopped(1) + "}}";
    QCOMPARE(command_id::readableID(body), std::optional<QString>(id));
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(CommandJournalTest)
#include "tst_command_journal.moc"
