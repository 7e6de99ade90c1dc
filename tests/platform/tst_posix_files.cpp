// The helpers for the program's own files, on real files, FIFOs, links and resource limits.
#include "platform/posix_files.h"
#include "support/lock_holder.h"
#include "support/test_files.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mornix {

namespace {

class Umask {
public:
    explicit Umask(mode_t mask)
        : m_saved(::umask(mask))
    {
    }
    ~Umask() { ::umask(m_saved); }

private:
    mode_t m_saved;
};

// The open was refused, and the description gives `reason`.
bool refusedFor(const posix::OpenResult &result, const char *reason)
{
    if (!result.ok() && result.description.contains(QLatin1String(reason)))
        return true;
    qWarning("not refused for \"%s\": %s", reason, qPrintable(result.description));
    return false;
}

}  // namespace

class PosixFilesTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void directoriesArePrivateFromCreation();
    void existingDirectoriesAndLinks();
    void directoryErrorsKeepTheOSReason();
    void filesAreCheckedOnTheirDescriptor();
    void fifosNeverBlock();
    void appendedLinesAreNeverGlued();
    void replacingNeverFollowsALink();
    void failedReplacementsNameTheStepAndKeepTheEntry_data();
    void failedReplacementsNameTheStepAndKeepTheEntry();
    void readingStopsAtTheLimit_data();
    void readingStopsAtTheLimit();
    void lockFilesExcludeEveryOtherHolder();
    void blockingLockWaitsForTheHolder();
    void unusableLockFilesAreNeverReportedAsHeld();
    void dataDirectoryIsPrivateUnderTheUsersDataLocation();
};

void PosixFilesTest::directoriesArePrivateFromCreation()
{
    QTemporaryDir root;
    // Whatever the umask, every directory made here is 0700 from the start.
    for (const mode_t mask : {mode_t(0), mode_t(022), mode_t(077)}) {
        const Umask umask(mask);
        const QString path = root.filePath(QStringLiteral("u%1/data/VeltroMornix").arg(mask));
        const posix::OpenResult dir = posix::openPrivateDirectory(path);
        QVERIFY2(dir.ok(), qPrintable(dir.description));
        QCOMPARE(modeOf(path), mode_t(0700));
        QCOMPARE(modeOf(root.filePath(QStringLiteral("u%1/data").arg(mask))), mode_t(0700));

        // A chain below it: each level 0700, opened through the one above.
        const posix::OpenResult logs =
            posix::openPrivateDirectoryChain(path, {QStringLiteral("Logs"), QStringLiteral("x")});
        QVERIFY2(logs.ok(), qPrintable(logs.description));
        QCOMPARE(modeOf(path + QStringLiteral("/Logs")), mode_t(0700));
        QCOMPARE(modeOf(path + QStringLiteral("/Logs/x")), mode_t(0700));
    }
}

void PosixFilesTest::existingDirectoriesAndLinks()
{
    QTemporaryDir root;
    const QString open = root.filePath(QStringLiteral("open"));
    QVERIFY(QDir().mkdir(open));
    ::chmod(QFile::encodeName(open).constData(), 0755);
    QVERIFY(refusedFor(posix::openPrivateDirectory(open, posix::ModeRule::requirePrivate), "open to group or others"));
    QCOMPARE(modeOf(open), mode_t(0755));
    QVERIFY(posix::openPrivateDirectory(open, posix::ModeRule::notWritableByOthers).ok());
    QVERIFY(posix::openPrivateDirectory(open, posix::ModeRule::makePrivate).ok());
    QCOMPARE(modeOf(open), mode_t(0700));

    // A link in place of the directory is refused, never followed: its target keeps its mode.
    const QString target = root.filePath(QStringLiteral("target"));
    QVERIFY(QDir().mkdir(target));
    ::chmod(QFile::encodeName(target).constData(), 0755);
    const QString link = root.filePath(QStringLiteral("link"));
    QVERIFY(QFile::link(target, link));
    QVERIFY(refusedFor(posix::openPrivateDirectory(link, posix::ModeRule::makePrivate), "symbolic link"));
    QCOMPARE(modeOf(target), mode_t(0755));
    const posix::OpenResult chained =
        posix::openPrivateDirectoryChain(root.path(), {QStringLiteral("link"), QStringLiteral("Logs")});
    QVERIFY(!chained.ok());
    QVERIFY(!QFileInfo::exists(target + QStringLiteral("/Logs")));

    // A dangling link: nothing is created at its target.
    const QString dangling = root.filePath(QStringLiteral("dangling"));
    QVERIFY(QFile::link(root.filePath(QStringLiteral("nowhere")), dangling));
    QVERIFY(!posix::openPrivateDirectory(dangling).ok());
    QVERIFY(!QFileInfo::exists(root.filePath(QStringLiteral("nowhere"))));

    if (::getuid() == 0) {
        const QString foreign = root.filePath(QStringLiteral("foreign"));
        QVERIFY(QDir().mkdir(foreign));
        QCOMPARE(::chown(QFile::encodeName(foreign).constData(), 65534, 65534), 0);
        QVERIFY(refusedFor(posix::openPrivateDirectory(foreign), "another user"));
    }
}

void PosixFilesTest::directoryErrorsKeepTheOSReason()
{
    QTemporaryDir root;
    const QString file = root.filePath(QStringLiteral("file"));
    QVERIFY(writeFile(file, "x"));
    const posix::OpenResult below = posix::openPrivateDirectory(file + QStringLiteral("/sub/dir"));
    QCOMPARE(below.error, ENOTDIR);
    QVERIFY2(below.description.contains(posix::errorText(ENOTDIR)), qPrintable(below.description));
    QVERIFY(below.description.contains(file));
    const posix::OpenResult relative = posix::openPrivateDirectory(QStringLiteral("relative/dir"));
    QVERIFY(!relative.ok());
    QVERIFY(!QFileInfo::exists(QStringLiteral("relative")));
}

void PosixFilesTest::filesAreCheckedOnTheirDescriptor()
{
    QTemporaryDir root;
    using posix::ModeRule;
    const QString created = root.filePath(QStringLiteral("created"));
    {
        const Umask umask(0);
        QVERIFY(posix::openOwnFile(created, O_WRONLY | O_CREAT, ModeRule::requirePrivate).ok());
    }
    QCOMPARE(modeOf(created), mode_t(0600));

    const QString shared = root.filePath(QStringLiteral("shared"));
    QVERIFY(writeFile(shared, "x"));
    ::chmod(QFile::encodeName(shared).constData(), 0644);
    QVERIFY(!posix::openOwnFile(shared, O_RDONLY, ModeRule::requirePrivate).ok());
    QVERIFY(posix::openOwnFile(shared, O_RDONLY, ModeRule::notWritableByOthers).ok());
    QCOMPARE(modeOf(shared), mode_t(0644));
    QVERIFY(posix::openOwnFile(shared, O_RDONLY, ModeRule::makePrivate).ok());
    QCOMPARE(modeOf(shared), mode_t(0600));

    // A second hard link, a directory, a link (dangling or not): refused, nothing created.
    const QString second = root.filePath(QStringLiteral("second"));
    QCOMPARE(::link(QFile::encodeName(shared).constData(), QFile::encodeName(second).constData()), 0);
    QVERIFY(refusedFor(posix::openOwnFile(shared, O_RDONLY, ModeRule::requirePrivate), "2 hard links"));
    QVERIFY(!posix::openOwnFile(root.path(), O_RDONLY, ModeRule::notWritableByOthers).ok());
    const QString symlink = root.filePath(QStringLiteral("symlink"));
    QVERIFY(QFile::link(root.filePath(QStringLiteral("absent")), symlink));
    QVERIFY(
        refusedFor(posix::openOwnFile(symlink, O_WRONLY | O_CREAT, ModeRule::requirePrivate), "is a symbolic link"));
    QVERIFY(!QFileInfo::exists(root.filePath(QStringLiteral("absent"))));

    const posix::OpenResult missing =
        posix::openOwnFile(root.filePath(QStringLiteral("missing")), O_RDONLY, ModeRule::requirePrivate);
    QCOMPARE(missing.error, ENOENT);
    QVERIFY(missing.description.contains(posix::errorText(ENOENT)));

    if (::getuid() == 0) {
        QCOMPARE(::chown(QFile::encodeName(created).constData(), 65534, 65534), 0);
        QVERIFY(refusedFor(posix::openOwnFile(created, O_RDWR, ModeRule::makePrivate), "another user"));
    }
}

void PosixFilesTest::fifosNeverBlock()
{
    QTemporaryDir root;
    const QString fifo = root.filePath(QStringLiteral("fifo"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    // Without O_NONBLOCK each of these opens would wait for a peer forever.
    QElapsedTimer timer;
    timer.start();
    for (const int flags : {O_RDONLY, O_WRONLY, O_WRONLY | O_APPEND | O_CREAT, O_RDWR})
        QVERIFY(refusedFor(posix::openOwnFile(fifo, flags, posix::ModeRule::makePrivate), "is a FIFO"));
    // With a reader waiting on the other end the open succeeds, and the check refuses it.
    const int reader = ::open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK);
    QVERIFY(reader >= 0);
    QVERIFY(!posix::openOwnFile(fifo, O_WRONLY | O_APPEND, posix::ModeRule::makePrivate).ok());
    ::close(reader);
    QVERIFY(timer.elapsed() < 5000);
}

void PosixFilesTest::appendedLinesAreNeverGlued()
{
    QTemporaryDir root;
    const QString path = root.filePath(QStringLiteral("log.md"));
    QVERIFY(writeFile(path, "# header\n- partial entry without its newline"));
    posix::OpenResult file = posix::openOwnFile(path, O_RDWR | O_APPEND, posix::ModeRule::makePrivate);
    QVERIFY(file.ok());
    QCOMPARE(posix::appendLine(file.fd.get(), "- second\n"), QString());
    QCOMPARE(readFile(path), QByteArray("# header\n- partial entry without its newline\n- second\n"));

    // A write cut short by the file-size limit: the entry is not continued later, and the next
    // entry starts a line of its own.
    const auto previous = ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit saved {};
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const qint64 size = QFileInfo(path).size();
    struct rlimit limit = saved;
    limit.rlim_cur = static_cast<rlim_t>(size + 10);
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    const QString cut = posix::appendLine(file.fd.get(), "- a long entry that does not fit below the limit\n");
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &saved), 0);
    ::signal(SIGXFSZ, previous);
    QVERIFY2(cut.startsWith(QLatin1String("short write (10 of 49 bytes")), qPrintable(cut));
    QCOMPARE(posix::appendLine(file.fd.get(), "- third\n"), QString());

    const QList<QByteArray> lines = readFile(path).split('\n');
    QCOMPARE(lines.size(), 6);  // ... the fragment, "- third", and the empty piece after the last newline
    QCOMPARE(lines.at(3), QByteArray("- a long e"));
    QCOMPARE(lines.at(4), QByteArray("- third"));
    QCOMPARE(lines.at(5), QByteArray());
}

void PosixFilesTest::replacingNeverFollowsALink()
{
    QTemporaryDir root;
    const QString target = root.filePath(QStringLiteral("target"));
    QVERIFY(writeFile(target, "keep"));
    const QString entry = root.filePath(QStringLiteral("entry"));
    QVERIFY(QFile::link(target, entry));
    const int dir = ::open(QFile::encodeName(root.path()).constData(), O_RDONLY | O_DIRECTORY);
    QVERIFY(dir >= 0);
    const posix::UniqueFd owned(dir);
    QCOMPARE(posix::replaceFileAt(dir, QStringLiteral("entry"), "new", 0600), QString());
    QCOMPARE(readFile(target), QByteArray("keep"));
    QVERIFY(!QFileInfo(entry).isSymLink());
    QCOMPARE(readFile(entry), QByteArray("new"));
    QCOMPARE(modeOf(entry), mode_t(0600));
    QCOMPARE(QDir(root.path()).entryList(QDir::Files | QDir::Hidden | QDir::System).size(), 2);  // no temporary left
}

void PosixFilesTest::failedReplacementsNameTheStepAndKeepTheEntry_data()
{
    using Step = posix::ReplaceResult::Step;
    QTest::addColumn<QString>("temporaryName");  // empty: a fresh name
    QTest::addColumn<QString>("setup");
    QTest::addColumn<int>("step");
    QTest::addColumn<int>("error");
    // A stale temporary under the fixed name is removed first, a link there never followed.
    QTest::newRow("stale temporary link") << "entry.new"
                                          << "link at temporary" << int(Step::done) << 0;
    QTest::newRow("directory at the temporary") << "entry.new"
                                                << "directory at temporary" << int(Step::create) << EEXIST;
    QTest::newRow("file size limit") << ""
                                     << "size limit" << int(Step::write) << EFBIG;
    QTest::newRow("directory at the entry") << ""
                                            << "directory at entry" << int(Step::rename) << EISDIR;
}

void PosixFilesTest::failedReplacementsNameTheStepAndKeepTheEntry()
{
    QFETCH(QString, temporaryName);
    QFETCH(QString, setup);
    QFETCH(int, step);
    QFETCH(int, error);
    QTemporaryDir root;
    const QString entry = root.filePath(QStringLiteral("entry"));
    const QString outside = root.filePath(QStringLiteral("outside"));
    QVERIFY(writeFile(outside, "outside"));
    if (setup == QLatin1String("directory at entry")) {
        QVERIFY(QDir().mkpath(entry + QStringLiteral("/kept")));
    } else {
        QVERIFY(writeFile(entry, "old"));
    }
    if (setup == QLatin1String("link at temporary"))
        QVERIFY(QFile::link(outside, root.filePath(temporaryName)));
    if (setup == QLatin1String("directory at temporary"))
        QVERIFY(QDir().mkpath(root.filePath(temporaryName) + QStringLiteral("/kept")));
    const QStringList before = QDir(root.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);

    const posix::OpenResult dir = posix::openOwnDirectory(root.path(), posix::ModeRule::notWritableByOthers);
    QVERIFY2(dir.ok(), qPrintable(dir.description));
    posix::ReplaceOptions options;
    options.temporaryName = temporaryName;
    options.directorySync = posix::DirectorySync::required;
    // More bytes than the file-size limit allows: the write fails (SIGXFSZ ignored), for root too.
    const QByteArray data = setup == QLatin1String("size limit") ? QByteArray(64, 'n') : QByteArray("new");
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    if (setup == QLatin1String("size limit")) {
        rlimit small = saved;
        small.rlim_cur = 16;
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    }
    const posix::ReplaceResult result = posix::replaceFile(dir.fd.get(), QStringLiteral("entry"), data, options);
    ::setrlimit(RLIMIT_FSIZE, &saved);

    QCOMPARE(int(result.step), step);
    QCOMPARE(result.error, error);
    QCOMPARE(readFile(outside), QByteArray("outside"));
    if (result.ok()) {
        QCOMPARE(readFile(entry), data);
        QCOMPARE(modeOf(entry), mode_t(0600));
        QVERIFY(!QFileInfo::exists(root.filePath(temporaryName))
                && !QFileInfo(root.filePath(temporaryName)).isSymLink());
        return;
    }
    QVERIFY2(result.description.contains(posix::errorText(error)), qPrintable(result.description));
    // Nothing changed: the old entry stays and no temporary is left behind.
    if (setup != QLatin1String("directory at entry"))
        QCOMPARE(readFile(entry), QByteArray("old"));
    QCOMPARE(QDir(root.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), before);
}

void PosixFilesTest::readingStopsAtTheLimit_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("withinLimit");
    QTest::newRow("empty") << 0 << true;
    QTest::newRow("one below") << 9999 << true;
    QTest::newRow("at the limit") << 10000 << true;
    QTest::newRow("one beyond") << 10001 << false;
    QTest::newRow("far beyond") << 100000 << false;
}

void PosixFilesTest::readingStopsAtTheLimit()
{
    QFETCH(int, size);
    QFETCH(bool, withinLimit);
    constexpr qint64 limit = 10000;  // not a multiple of any read size
    QTemporaryDir root;
    const QString path = root.filePath(QStringLiteral("data"));
    QByteArray content(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        content[i] = char('a' + i % 26);
    QVERIFY(writeFile(path, content));
    ::chmod(QFile::encodeName(path).constData(), 0600);

    const posix::ReadResult whole = posix::readOwnFileAt(AT_FDCWD, path, limit);
    QCOMPARE(whole.ok(), withinLimit);
    if (withinLimit)
        QCOMPARE(*whole.bytes, content);
    else
        QCOMPARE(whole.error, EFBIG);

    const posix::OpenResult file = posix::openOwnFile(path, O_RDONLY, posix::ModeRule::requirePrivate);
    QVERIFY(file.ok());
    QByteArray prefix;
    bool truncated = false;
    QVERIFY(posix::readAtMost(file.fd.get(), limit, &prefix, &truncated));
    QCOMPARE(truncated, !withinLimit);
    QCOMPARE(prefix, content.left(limit));
}

void PosixFilesTest::lockFilesExcludeEveryOtherHolder()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("open-file.lock"));

    // Open-file locks: another process, and a second open in this same process, both exclude.
    {
        LockHolder holder(path);
        QVERIFY(holder.waitUntilHeld());
        const posix::LockAttempt busy = posix::LockFile::acquire(path, posix::LockKind::OpenFile, posix::LockWait::Try);
        QVERIFY(!busy.ok());
        QVERIFY(busy.heldElsewhere);
        QVERIFY(holder.release());
    }
    posix::LockAttempt first = posix::LockFile::acquire(path, posix::LockKind::OpenFile, posix::LockWait::Try);
    QVERIFY2(first.ok(), qPrintable(first.description));
    QVERIFY(posix::LockFile::acquire(path, posix::LockKind::OpenFile, posix::LockWait::Try).heldElsewhere);
    first.lock.reset();
    QVERIFY(posix::LockFile::acquire(path, posix::LockKind::OpenFile, posix::LockWait::Try).ok());

    // Process (record) locks: held by an independent lockf user, it is busy; a second attempt
    // in the holding process is answered without opening the file, so the held lock survives
    // it; and the independent user sees it held.
    const QString record = dir.filePath(QStringLiteral("record.lock"));
    {
        QProcess holder;
        holder.start(QStringLiteral("python3"),
                     {QStringLiteral("-c"),
                      QStringLiteral("import fcntl,os,sys\nfd=os.open(sys.argv[1],os.O_RDWR|os.O_CREAT,0o600)\n"
                                     "fcntl.lockf(fd,fcntl.LOCK_EX|fcntl.LOCK_NB)\nprint('held',flush=True)\n"
                                     "sys.stdin.read()\n"),
                      record});
        QVERIFY(holder.waitForReadyRead(10000));
        QCOMPARE(holder.readLine().trimmed(), QByteArray("held"));
        QVERIFY(posix::LockFile::acquire(record, posix::LockKind::Process, posix::LockWait::Try).heldElsewhere);
        holder.closeWriteChannel();
        QVERIFY(holder.waitForFinished(10000));
    }
    posix::LockAttempt held = posix::LockFile::acquire(record, posix::LockKind::Process, posix::LockWait::Try);
    QVERIFY2(held.ok(), qPrintable(held.description));
    QVERIFY(posix::LockFile::acquire(record, posix::LockKind::Process, posix::LockWait::Try).heldElsewhere);
    const auto probe = [&record] {
        QProcess python;
        python.start(QStringLiteral("python3"),
                     {QStringLiteral("-c"),
                      QStringLiteral("import fcntl,os,sys\nfd=os.open(sys.argv[1],os.O_RDWR)\n"
                                     "try:\n fcntl.lockf(fd,fcntl.LOCK_EX|fcntl.LOCK_NB); print('free')\n"
                                     "except OSError: print('held')\n"),
                      record});
        python.waitForFinished(10000);
        return python.readAllStandardOutput().trimmed();
    };
    QCOMPARE(probe(), QByteArray("held"));
    held.lock.reset();
    QCOMPARE(probe(), QByteArray("free"));
    QVERIFY(posix::LockFile::acquire(record, posix::LockKind::Process, posix::LockWait::Try).ok());
}

void PosixFilesTest::blockingLockWaitsForTheHolder()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("wait.lock"));
    LockHolder holder(path);
    QVERIFY(holder.waitUntilHeld());

    std::atomic<int> outcome{0};  // 0 waiting, 1 acquired, 2 failed
    std::thread waiter([&path, &outcome] {
        const posix::LockAttempt attempt =
            posix::LockFile::acquire(path, posix::LockKind::OpenFile, posix::LockWait::Block);
        outcome = attempt.ok() ? 1 : 2;
    });
    // While the other process holds it, the attempt neither fails nor gets it.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const int whileHeld = outcome.load();
    QVERIFY(holder.release());
    waiter.join();
    QCOMPARE(whileHeld, 0);
    QCOMPARE(outcome.load(), 1);
}

void PosixFilesTest::unusableLockFilesAreNeverReportedAsHeld()
{
    QTemporaryDir dir;
    // Created where missing: the directory 0700 and the file 0600, whatever the umask.
    {
        Umask open(0);
        const QString fresh = dir.filePath(QStringLiteral("new/locks"));
        const posix::LockAttempt created = posix::LockFile::acquireIn(fresh, QStringLiteral("a.lock"),
                                                                      posix::LockKind::OpenFile, posix::LockWait::Try);
        QVERIFY2(created.ok(), qPrintable(created.description));
        QCOMPARE(modeOf(fresh), mode_t(0700));
        QCOMPARE(modeOf(fresh + QStringLiteral("/a.lock")), mode_t(0600));
    }

    // A link (not followed), a FIFO (without blocking), a directory and a file open to others:
    // unusable with the reason, for both kinds of lock.
    const QString link = dir.filePath(QStringLiteral("link.lock"));
    QVERIFY(QFile::link(dir.filePath(QStringLiteral("target")), link));
    const QString fifo = dir.filePath(QStringLiteral("fifo.lock"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString directory = dir.filePath(QStringLiteral("dir.lock"));
    QVERIFY(QDir().mkdir(directory));
    const QString shared = dir.filePath(QStringLiteral("shared.lock"));
    QVERIFY(writeFile(shared, QByteArray()));
    QCOMPARE(::chmod(QFile::encodeName(shared).constData(), 0644), 0);

    const QList<QPair<QString, QString>> cases{
        {link, QStringLiteral("is a symbolic link")},
        {fifo, QStringLiteral("is a FIFO")},
        {directory, QStringLiteral("is a directory")},
        {shared, QStringLiteral("is open to group or others")},
    };
    for (const posix::LockKind kind : {posix::LockKind::OpenFile, posix::LockKind::Process}) {
        for (const auto &[path, reason] : cases) {
            const posix::LockAttempt attempt = posix::LockFile::acquire(path, kind, posix::LockWait::Block);
            QVERIFY2(!attempt.ok() && !attempt.heldElsewhere, qPrintable(path));
            QVERIFY2(attempt.description.contains(reason), qPrintable(attempt.description));
        }
    }
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("target"))));
    QCOMPARE(modeOf(shared), mode_t(0644));  // refused, not tightened behind the owner's back
}

void PosixFilesTest::dataDirectoryIsPrivateUnderTheUsersDataLocation()
{
    QTemporaryDir home;
    const QByteArray saved = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.path()));
    const QString expected = home.path() + QStringLiteral("/VeltroMornix");
    QCOMPARE(posix::dataDirectoryPath(), expected);
    QVERIFY(!QFileInfo::exists(expected));  // computing the path creates nothing

    // An earlier version may have left it open to others: narrowed on use.
    QVERIFY(QDir().mkdir(expected));
    QCOMPARE(::chmod(QFile::encodeName(expected).constData(), 0755), 0);
    QString problem;
    QCOMPARE(posix::preparedDataDirectory(&problem), expected);
    QCOMPARE(modeOf(expected), mode_t(0700));

    // A link in its place is refused with the reason.
    QVERIFY(QDir(expected).removeRecursively());
    QVERIFY(QFile::link(home.path(), expected));
    QCOMPARE(posix::preparedDataDirectory(&problem), QString());
    QVERIFY2(problem.contains(QStringLiteral("symbolic link")), qPrintable(problem));

    if (saved.isNull())
        qunsetenv("XDG_DATA_HOME");
    else
        qputenv("XDG_DATA_HOME", saved);
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(PosixFilesTest)
#include "tst_posix_files.moc"
