// The command journal on locations it must not use and on failing file systems: a link, a file
// with a second name, a FIFO, another user's directory or file are refused and never followed or
// changed; a directory or file merely open to others is made private through its descriptor. A
// refused or failing journal keeps every step in memory, says why, and is taken up again by
// reopen() once the fault is gone, with what was kept meanwhile written back.
#include "commands/command_journal.h"
#include "support/test_files.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace mornix {

namespace {

constexpr uid_t kNobody = 65534;

JournalOutcome executedOutcome(const QString &id)
{
    return JournalOutcome{AckStatus::executed, u"Agent instance termination confirmed."_s,
                          QJsonObject{{u"all_stopped"_s, true}}, u"ack-"_s + id + u"-dev-executed-0123456789abcdef"_s,
                          u"dev"_s};
}

QByteArray native(const QString &path)
{
    return QFile::encodeName(path);
}

uid_t ownerOf(const QString &path)
{
    struct stat st {};
    return ::lstat(native(path), &st) == 0 ? st.st_uid : uid_t(-1);
}

// Records the three steps of one carried-out command.
void recordCarriedOut(CommandJournal &journal, const QString &id)
{
    journal.recordReceived(id);
    journal.recordIntent(id);
    journal.recordOutcome(id, executedOutcome(id));
}

}  // namespace

class CommandJournalTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void unusableLocationsAreRefusedOthersMadePrivate_data()
    {
        QTest::addColumn<QString>("layout");
        QTest::addColumn<bool>("durable");
        QTest::addColumn<QString>("problem");
        QTest::newRow("journal file is a link") << u"file-link"_s << false << u"is a symbolic link"_s;
        QTest::newRow("directory is a link") << u"directory-link"_s << false << u"symbolic link"_s;
        QTest::newRow("journal file with a second name") << u"hard-link"_s << false << u"2 hard links"_s;
        QTest::newRow("FIFO in place of the journal file") << u"fifo"_s << false << u"is a FIFO"_s;
        QTest::newRow("directory of another user") << u"foreign-directory"_s << false << u"owned by another user"_s;
        QTest::newRow("journal file of another user") << u"foreign-file"_s << false << u"owned by another user"_s;
        QTest::newRow("directory 0755") << u"open-directory"_s << true << QString();
        QTest::newRow("journal file 0644") << u"open-file"_s << true << QString();
    }

    void unusableLocationsAreRefusedOthersMadePrivate()
    {
        QFETCH(QString, layout);
        QFETCH(bool, durable);
        QFETCH(QString, problem);
        QTemporaryDir home;
        const QString dir = home.filePath(u"Commands"_s);
        const QString file = dir + u"/journal"_s;
        const QString victim = home.filePath(u"victim"_s);
        QVERIFY(writeFile(victim, "untouched\n"));
        QVERIFY(QDir().mkpath(dir) && ::chmod(native(dir), 0700) == 0);
        if (layout == u"file-link"_s) {
            QVERIFY(QFile::link(victim, file));
        } else if (layout == u"directory-link"_s) {
            QVERIFY(QDir(dir).removeRecursively() && QDir().mkpath(home.filePath(u"elsewhere"_s)));
            QVERIFY(QFile::link(home.filePath(u"elsewhere"_s), dir));
        } else if (layout == u"hard-link"_s) {
            QVERIFY(writeFile(file, {}) && ::chmod(native(file), 0600) == 0);
            QVERIFY(::link(native(file), native(dir + u"/second-name"_s)) == 0);
        } else if (layout == u"fifo"_s) {
            QVERIFY(::mkfifo(native(file), 0600) == 0);
        } else if (layout == u"foreign-directory"_s || layout == u"foreign-file"_s) {
            const QString foreign = layout == u"foreign-directory"_s ? dir : file;
            if (foreign == file)
                QVERIFY(writeFile(file, {}) && ::chmod(native(file), 0600) == 0);
            if (::chown(native(foreign), kNobody, kNobody) != 0)
                QSKIP("giving a file to another user needs root (CI runs the tests as root)");
        } else if (layout == u"open-directory"_s) {
            QVERIFY(::chmod(native(dir), 0755) == 0);
        } else if (layout == u"open-file"_s) {
            QVERIFY(writeFile(file, {}) && ::chmod(native(file), 0644) == 0);
        }
        const mode_t dirModeBefore = modeOf(dir);

        CommandJournal journal(dir);
        const QStringList problems = journal.open();
        if (durable) {
            // Said once, with the mode it had.
            QVERIFY2(problems.size() == 1 && problems[0].contains(u"open to group or others"_s)
                         && problems[0].endsWith(u"; made private"_s),
                     qPrintable(problems.join(u'|')));
            QVERIFY(journal.isDurable() && !journal.isDegraded());
            QCOMPARE(modeOf(dir), mode_t(0700));
            QCOMPARE(modeOf(file), mode_t(0600));
            QVERIFY(journal.recordReceived(u"x"_s));
            QVERIFY(readFile(file).contains("\"id\":\"x\""));
            return;
        }
        QVERIFY2(problems.size() == 1 && problems[0].startsWith(u"command journal kept in memory only: "_s)
                     && problems[0].contains(problem),
                 qPrintable(problems.join(u'|')));
        QVERIFY(!journal.isDurable() && journal.isDegraded());
        QVERIFY2(journal.degradedReason().contains(problem), qPrintable(journal.degradedReason()));
        // Not durable, but remembered: a command is still carried out at most once.
        recordCarriedOut(journal, u"x"_s);
        QVERIFY(!journal.recordSettled(u"x"_s));
        QVERIFY(journal.entry(u"x"_s)->intent && journal.entry(u"x"_s)->intentHere);
        QCOMPARE(*journal.entry(u"x"_s)->outcome, executedOutcome(u"x"_s));
        QVERIFY(!journal.reopen());  // the fault is still there
        // Nothing there was followed, written or changed.
        QCOMPARE(readFile(victim), QByteArray("untouched\n"));
        QCOMPARE(modeOf(dir), dirModeBefore);
        if (layout == u"fifo"_s) {
            struct stat st {};
            QVERIFY(::lstat(native(file), &st) == 0 && S_ISFIFO(st.st_mode));
        }
        if (layout == u"hard-link"_s || layout == u"foreign-file"_s)
            QCOMPARE(readFile(file), QByteArray());
        if (layout == u"directory-link"_s)
            QVERIFY(!QFile::exists(home.filePath(u"elsewhere/journal"_s)));
    }

    // Once the fault is gone, reopen() takes the file up again: what the file held and what was
    // kept in memory meanwhile are both there, for this instance and the next.
    void recoversOnceTheFaultIsGone_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("directory of another user") << u"foreign-directory"_s;
        QTest::newRow("FIFO in place of the journal file") << u"fifo"_s;
    }

    void recoversOnceTheFaultIsGone()
    {
        QFETCH(QString, fault);
        QTemporaryDir home;
        const QString dir = home.filePath(u"Commands"_s);
        const QString file = dir + u"/journal"_s;
        {
            CommandJournal before(dir);
            QCOMPARE(before.open(), QStringList());
            recordCarriedOut(before, u"earlier"_s);
        }
        if (fault == u"fifo"_s) {
            QVERIFY(QFile::rename(file, file + u".saved"_s) && ::mkfifo(native(file), 0600) == 0);
        } else if (::chown(native(dir), kNobody, kNobody) != 0) {
            QSKIP("giving a file to another user needs root (CI runs the tests as root)");
        }

        CommandJournal journal(dir);
        QCOMPARE(journal.open().size(), 1);
        QVERIFY(journal.isDegraded());
        recordCarriedOut(journal, u"meanwhile"_s);
        journal.recordReceived(u"refused"_s);
        journal.recordRefused(u"refused"_s);
        QVERIFY(!journal.reopen());

        if (fault == u"fifo"_s)
            QVERIFY(QFile::remove(file) && QFile::rename(file + u".saved"_s, file));
        else
            QVERIFY(::chown(native(dir), ::getuid(), ::getgid()) == 0);
        QVERIFY(journal.reopen());
        QVERIFY(journal.isDurable() && !journal.isDegraded() && journal.degradedReason().isEmpty());
        QVERIFY(journal.entry(u"earlier"_s)->outcome);  // read from the file
        QVERIFY(journal.entry(u"meanwhile"_s)->intentHere);
        QVERIFY(journal.recordSettled(u"meanwhile"_s));

        CommandJournal next(dir);
        QCOMPARE(next.open(), QStringList());
        QCOMPARE(next.size(), 3);
        QCOMPARE(*next.entry(u"earlier"_s)->outcome, executedOutcome(u"earlier"_s));
        const auto meanwhile = next.entry(u"meanwhile"_s);
        QVERIFY(meanwhile->intent && meanwhile->settled && !meanwhile->intentHere);
        QCOMPARE(*meanwhile->outcome, executedOutcome(u"meanwhile"_s));
        QVERIFY(next.entry(u"refused"_s)->refused && !next.entry(u"refused"_s)->intent);
        QCOMPARE(ownerOf(file), ::getuid());
    }

    // A full file system: the write that fails degrades the journal (steps stay in memory);
    // with space again the file is rewritten whole, the torn line gone.
    void fullFileSystemDegradesAndRecovers()
    {
        QTemporaryDir home;
        const QString dir = home.filePath(u"Commands"_s);
        QVERIFY(QDir().mkpath(dir));
        if (::mount("tmpfs", native(dir), "tmpfs", 0, "size=64k,mode=0700") != 0)
            QSKIP("mounting a small tmpfs is not permitted here (CI runs the tests as root)");
        const auto unmount = qScopeGuard([&] { ::umount2(native(dir), MNT_DETACH); });
        CommandJournal journal(dir);
        QCOMPARE(journal.open(), QStringList());
        recordCarriedOut(journal, u"before"_s);

        // Fill every block.
        const QString filler = dir + u"/filler"_s;
        {
            const int fd = ::open(native(filler), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            QVERIFY(fd >= 0);
            const QByteArray block(4096, 'f');
            while (::write(fd, block.constData(), block.size()) > 0) {
            }
            QCOMPARE(errno, ENOSPC);
            ::close(fd);
        }
        // The file's last page may still take a few lines; the write that needs a new one fails.
        int written = 0;
        while (written < 500 && journal.recordReceived(u"fill-%1"_s.arg(written)))
            ++written;
        QVERIFY(journal.isDegraded());
        QVERIFY2(journal.degradedReason().contains(u"No space left on device"_s), qPrintable(journal.degradedReason()));
        recordCarriedOut(journal, u"full"_s);
        QVERIFY(journal.entry(u"full"_s)->outcome);
        QVERIFY(!journal.reopen());  // still full: the rewrite fails too

        QVERIFY(QFile::remove(filler));
        QVERIFY(journal.reopen());
        QVERIFY(journal.isDurable());
        CommandJournal next(dir);
        QCOMPARE(next.open(), QStringList());  // no damage left behind
        QCOMPARE(next.size(), written + 3);    // "before", the ids written, the one that failed, "full"
        QVERIFY(next.entry(u"fill-%1"_s.arg(written)));
        QCOMPARE(*next.entry(u"full"_s)->outcome, executedOutcome(u"full"_s));
        QVERIFY(next.entry(u"before"_s)->intent);
    }

    void memoryOnlyByDesignIsNeverDegraded()
    {
        CommandJournal memory;
        QCOMPARE(memory.open(), QStringList());
        QVERIFY(memory.recordReceived(u"m"_s) && memory.recordIntent(u"m"_s) && memory.reopen());
        QVERIFY(memory.entry(u"m"_s)->intent);
        QVERIFY(!memory.isDurable() && !memory.isDegraded());
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(CommandJournalTest)
#include "tst_command_journal.moc"
