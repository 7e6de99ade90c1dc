// The choice file rules: what is rewritten, what is never read, and how the new file is made.
#include "updates/update_choice_file.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace mornix {

namespace {

constexpr qint64 kNow = 1700000000123;

struct Fixture {
    QTemporaryDir dir;
    QString root;
    QString file;
    Fixture()
    {
        root = dir.path() + QStringLiteral("/Updates");
        file = root + QStringLiteral("/update-choice.json");
        QDir().mkpath(root);
        ::chmod(QFile::encodeName(root).constData(), 0700);
    }
    void write(const QByteArray &bytes, mode_t mode = 0600) const
    {
        QFile f(file);
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write(bytes);
        f.close();
        ::chmod(QFile::encodeName(file).constData(), mode);
    }
    QByteArray read() const
    {
        // Never open a FIFO planted by a test: that would wait for a writer.
        struct stat st {};
        if (::stat(QFile::encodeName(file).constData(), &st) != 0 || !S_ISREG(st.st_mode))
            return QByteArrayLiteral("(not a regular file)");
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    mode_t mode(const QString &path) const
    {
        struct stat st {};
        ::lstat(QFile::encodeName(path).constData(), &st);
        return st.st_mode & 07777;
    }
    UpdateChoiceResult save(const QString &action, const QString &version = QStringLiteral("1.2.3")) const
    {
        return saveUpdateChoice(version, action, root, kNow, ::getuid());
    }
    QStringList entries() const { return QDir(root).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System); }
};

uid_t nobody()
{
    const passwd *entry = ::getpwnam("nobody");
    return entry ? entry->pw_uid : uid_t(65534);
}

}  // namespace

class UpdateChoiceFileTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void answerRewritesAQualifyingFile_data();
    void answerRewritesAQualifyingFile();
    void unsafeOrUnqualifiedFilesAreNeverRead_data();
    void unsafeOrUnqualifiedFilesAreNeverRead();
    void newFileIsPrivateWhateverTheUmask();
    void writeFailureIsReportedAndLeavesTheFile();
};

void UpdateChoiceFileTest::answerRewritesAQualifyingFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("action");
    QTest::newRow("pending, later") << QByteArray(R"({"version":"1.2.3","action":"pending"})") << "later";
    QTest::newRow("pending, now") << QByteArray(R"({"version":"1.2.3","action":"pending","extra":[1,2]})") << "now";
    QTest::newRow("later answered again") << QByteArray(R"({"version":"1.2.3","action":"later","remindAt":5})") << "later";
    // Exactly 4096 bytes is still read.
    QByteArray padded = R"({"version":"1.2.3","action":"pending"})";
    padded.append(QByteArray(4096 - padded.size(), ' '));
    QTest::newRow("4096 bytes") << padded << "now";
}

void UpdateChoiceFileTest::answerRewritesAQualifyingFile()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, action);
    Fixture f;
    f.write(content);
    const UpdateChoiceResult result = f.save(action);
    QCOMPARE(int(result.outcome), int(UpdateChoiceResult::Outcome::saved));

    const QJsonObject written = QJsonDocument::fromJson(f.read()).object();
    QCOMPARE(written.keys(), (QStringList{"action", "remindAt", "version"}));
    QCOMPARE(written.value("version").toString(), QStringLiteral("1.2.3"));
    QCOMPARE(written.value("action").toString(), action);
    // An integer in the text, not a float: the companion reads a signed 64-bit value.
    QVERIFY(f.read().contains("\"remindAt\":" + QByteArray::number(kNow + 21600000)));
    QCOMPARE(f.mode(f.file), mode_t(0600));
    QCOMPARE(f.entries(), QStringList{"update-choice.json"});   // no temporary left behind

    // A file in state "now" is not rewritten by a second answer; "later" can be answered again.
    const QByteArray after = f.read();
    const UpdateChoiceResult second = f.save(QStringLiteral("later"));
    if (action == QLatin1String("now")) {
        QCOMPARE(int(second.outcome), int(UpdateChoiceResult::Outcome::notRecorded));
        QCOMPARE(f.read(), after);
    } else {
        QCOMPARE(int(second.outcome), int(UpdateChoiceResult::Outcome::saved));
    }
}

void UpdateChoiceFileTest::unsafeOrUnqualifiedFilesAreNeverRead_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("action");
    const QString later = QStringLiteral("later");
    QTest::newRow("file 0644") << "file-0644" << later;
    QTest::newRow("file 0640") << "file-0640" << later;
    QTest::newRow("file of another user") << "file-nobody" << later;
    QTest::newRow("file is a symbolic link") << "file-link" << later;
    QTest::newRow("file is a FIFO") << "file-fifo" << later;
    QTest::newRow("file is a directory") << "file-dir" << later;
    QTest::newRow("4097 bytes") << "file-4097" << later;
    QTest::newRow("another version") << "other-version" << later;
    QTest::newRow("state now") << "state-now" << later;
    QTest::newRow("no action") << "no-action" << later;
    QTest::newRow("action not a string") << "action-number" << later;
    QTest::newRow("not a JSON object") << "array" << later;
    QTest::newRow("no file") << "no-file" << later;
    QTest::newRow("directory 0755") << "dir-0755" << later;
    QTest::newRow("directory of another user") << "dir-nobody" << later;
    QTest::newRow("directory is a symbolic link") << "dir-link" << later;
    QTest::newRow("no directory") << "no-dir" << later;
    QTest::newRow("opening the notification") << "pending" << "default";
}

void UpdateChoiceFileTest::unsafeOrUnqualifiedFilesAreNeverRead()
{
    QFETCH(QString, setup);
    QFETCH(QString, action);
    Fixture f;
    const QByteArray pending = R"({"version":"1.2.3","action":"pending"})";
    const QByteArray encodedRoot = QFile::encodeName(f.root);
    const QByteArray encodedFile = QFile::encodeName(f.file);
    QString rootForCall = f.root;
    f.write(pending);
    if (setup == "file-0644")
        ::chmod(encodedFile.constData(), 0644);
    else if (setup == "file-0640")
        ::chmod(encodedFile.constData(), 0640);
    else if (setup == "file-nobody")
        QCOMPARE(::chown(encodedFile.constData(), nobody(), gid_t(-1)), 0);
    else if (setup == "file-link") {
        const QString target = f.dir.path() + QStringLiteral("/elsewhere.json");
        QFile::rename(f.file, target);
        QVERIFY(QFile::link(target, f.file));
    } else if (setup == "file-fifo") {
        QFile::remove(f.file);
        QCOMPARE(::mkfifo(encodedFile.constData(), 0600), 0);
    } else if (setup == "file-dir") {
        QFile::remove(f.file);
        QVERIFY(QDir().mkdir(f.file));
    } else if (setup == "file-4097") {
        f.write(pending + QByteArray(4097 - pending.size(), ' '));
    } else if (setup == "other-version")
        f.write(R"({"version":"1.2.4","action":"pending"})");
    else if (setup == "state-now")
        f.write(R"({"version":"1.2.3","action":"now","remindAt":1})");
    else if (setup == "no-action")
        f.write(R"({"version":"1.2.3"})");
    else if (setup == "action-number")
        f.write(R"({"version":"1.2.3","action":1})");
    else if (setup == "array")
        f.write(R"(["1.2.3","pending"])");
    else if (setup == "no-file")
        QFile::remove(f.file);
    else if (setup == "dir-0755")
        ::chmod(encodedRoot.constData(), 0755);
    else if (setup == "dir-nobody")
        QCOMPARE(::chown(encodedRoot.constData(), nobody(), gid_t(-1)), 0);
    else if (setup == "dir-link") {
        rootForCall = f.dir.path() + QStringLiteral("/LinkedUpdates");
        QVERIFY(QFile::link(f.root, rootForCall));
    } else if (setup == "no-dir")
        rootForCall = f.dir.path() + QStringLiteral("/Missing");

    const QByteArray before = f.read();
    const mode_t modeBefore = f.mode(f.file);
    const QStringList entriesBefore = f.entries();
    const UpdateChoiceResult result = saveUpdateChoice(QStringLiteral("1.2.3"), action, rootForCall, kNow, ::getuid());
    QCOMPARE(int(result.outcome), int(UpdateChoiceResult::Outcome::notRecorded));
    QCOMPARE(f.read(), before);
    QCOMPARE(f.mode(f.file), modeBefore);
    QCOMPARE(f.entries(), entriesBefore);
}

void UpdateChoiceFileTest::newFileIsPrivateWhateverTheUmask()
{
    Fixture f;
    f.write(R"({"version":"1.2.3","action":"pending"})");
    const mode_t saved = ::umask(0);
    const UpdateChoiceResult result = f.save(QStringLiteral("later"));
    ::umask(saved);
    QCOMPARE(int(result.outcome), int(UpdateChoiceResult::Outcome::saved));
    QCOMPARE(f.mode(f.file), mode_t(0600));
    // A replacement, not an overwrite in place: a reader holding the old file keeps the old bytes.
    QFile old(f.file);
    QVERIFY(old.open(QIODevice::ReadOnly));
    const QByteArray held = old.readAll();
    QCOMPARE(int(f.save(QStringLiteral("now")).outcome), int(UpdateChoiceResult::Outcome::saved));
    old.seek(0);
    QCOMPARE(old.readAll(), held);
}

void UpdateChoiceFileTest::writeFailureIsReportedAndLeavesTheFile()
{
    // A file-size limit below the new content makes the write fail, for root as well.
    Fixture f;
    const QByteArray pending = R"({"version":"1.2.3","action":"pending"})";
    f.write(pending);
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit saved {};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 16;
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const UpdateChoiceResult result = f.save(QStringLiteral("later"));
    ::setrlimit(RLIMIT_FSIZE, &saved);
    QCOMPARE(int(result.outcome), int(UpdateChoiceResult::Outcome::failed));
    QVERIFY(!result.error.isEmpty());
    QCOMPARE(f.read(), pending);
    QCOMPARE(f.entries(), QStringList{"update-choice.json"});
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(UpdateChoiceFileTest)
#include "tst_update_choice_file.moc"
