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

using namespace Qt::StringLiterals;

namespace mornix {

namespace {

constexpr qint64 kNow = 1700000000123;

struct Fixture {
    QTemporaryDir dir;
    QString root;
    QString file;
    QString rootForCall;  // the directory the answer is given for
    QString action = u"later"_s;
    Fixture()
    {
        root = rootForCall = dir.path() + u"/Updates"_s;
        file = root + u"/update-choice.json"_s;
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
    UpdateChoiceResult save(const QString &action, const QString &version = u"1.2.3"_s) const
    {
        return saveUpdateChoice(version, action, root, kNow, ::getuid());
    }
    QStringList entries() const
    {
        return QDir(root).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System);
    }
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
    void answerRewritesAQualifyingFile_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("action");
        QTest::newRow("pending, later") << QByteArray(R"({"version":"1.2.3","action":"pending"})") << u"later"_s;
        QTest::newRow("pending, now") << QByteArray(R"({"version":"1.2.3","action":"pending","extra":[1,2]})")
                                      << u"now"_s;
        QTest::newRow("later answered again")
            << QByteArray(R"({"version":"1.2.3","action":"later","remindAt":5})") << u"later"_s;
        // Exactly 4096 bytes is still read.
        QByteArray padded = R"({"version":"1.2.3","action":"pending"})";
        padded.append(QByteArray(4096 - padded.size(), ' '));
        QTest::newRow("4096 bytes") << padded << u"now"_s;
    }

    void answerRewritesAQualifyingFile()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, action);
        Fixture f;
        f.write(content);
        const UpdateChoiceResult result = f.save(action);
        QCOMPARE(int(result.outcome), int(UpdateChoiceResult::Outcome::saved));

        const QJsonObject written = QJsonDocument::fromJson(f.read()).object();
        QCOMPARE(written.keys(), (QStringList{"action", "remindAt", "version"}));
        QCOMPARE(written.value("version").toString(), u"1.2.3"_s);
        QCOMPARE(written.value("action").toString(), action);
        // An integer in the text, not a float: the companion reads a signed 64-bit value.
        QVERIFY(f.read().contains("\"remindAt\":" + QByteArray::number(kNow + 21600000)));
        QCOMPARE(f.mode(f.file), mode_t(0600));
        QCOMPARE(f.entries(), QStringList{"update-choice.json"});  // no temporary left behind

        // A file in state "now" is not rewritten by a second answer; "later" can be answered again.
        const QByteArray after = f.read();
        const UpdateChoiceResult second = f.save(u"later"_s);
        if (action == "now"_L1) {
            QCOMPARE(int(second.outcome), int(UpdateChoiceResult::Outcome::notRecorded));
            QCOMPARE(f.read(), after);
        } else {
            QCOMPARE(int(second.outcome), int(UpdateChoiceResult::Outcome::saved));
        }
    }

    // Each case changes a qualifying set-up one way; the answer must then change nothing at all.
    void unsafeOrUnqualifiedFilesAreNeverRead()
    {
        const QByteArray pending = R"({"version":"1.2.3","action":"pending"})";
        const auto chmodFile = [](mode_t mode) {
            return [mode](Fixture &f) { ::chmod(QFile::encodeName(f.file), mode); };
        };
        const auto content = [](QByteArray bytes) { return [bytes](Fixture &f) { f.write(bytes); }; };
        const auto replaced = [](std::function<bool(const QString &)> make) {
            return [make](Fixture &f) { QVERIFY(QFile::remove(f.file) && make(f.file)); };
        };
        const std::pair<const char *, std::function<void(Fixture &)>> cases[] = {
            {"file 0644", chmodFile(0644)},
            {"file 0640", chmodFile(0640)},
            {"file of another user", [](Fixture &f) { QCOMPARE(::chown(QFile::encodeName(f.file), nobody(), -1), 0); }},
            {"file is a symbolic link",
             [](Fixture &f) {
                 QVERIFY(QFile::rename(f.file, f.dir.filePath(u"elsewhere.json"_s)));
                 QVERIFY(QFile::link(f.dir.filePath(u"elsewhere.json"_s), f.file));
             }},
            {"file is a FIFO",
             replaced([](const QString &path) { return ::mkfifo(QFile::encodeName(path), 0600) == 0; })},
            {"file is a directory", replaced([](const QString &path) { return QDir().mkdir(path); })},
            {"4097 bytes", content(pending + QByteArray(4097 - pending.size(), ' '))},
            {"another version", content(R"({"version":"1.2.4","action":"pending"})")},
            {"state now", content(R"({"version":"1.2.3","action":"now","remindAt":1})")},
            {"no action", content(R"({"version":"1.2.3"})")},
            {"action not a string", content(R"({"version":"1.2.3","action":1})")},
            {"not a JSON object", content(R"(["1.2.3","pending"])")},
            {"no file", [](Fixture &f) { QVERIFY(QFile::remove(f.file)); }},
            {"directory 0755", [](Fixture &f) { ::chmod(QFile::encodeName(f.root), 0755); }},
            {"directory of another user",
             [](Fixture &f) { QCOMPARE(::chown(QFile::encodeName(f.root), nobody(), -1), 0); }},
            {"directory is a symbolic link",
             [](Fixture &f) {
                 QVERIFY(QFile::link(f.root, f.dir.filePath(u"LinkedUpdates"_s)));
                 f.rootForCall = f.dir.filePath(u"LinkedUpdates"_s);
             }},
            {"no directory", [](Fixture &f) { f.rootForCall = f.dir.filePath(u"Missing"_s); }},
            {"opening the notification", [](Fixture &f) { f.action = u"default"_s; }},
        };
        for (const auto &[name, setup] : cases) {
            Fixture f;
            f.write(pending);
            setup(f);
            const QByteArray before = f.read();
            const mode_t modeBefore = f.mode(f.file);
            const QStringList entriesBefore = f.entries();
            const UpdateChoiceResult result = saveUpdateChoice(u"1.2.3"_s, f.action, f.rootForCall, kNow, ::getuid());
            QVERIFY2(result.outcome == UpdateChoiceResult::Outcome::notRecorded, name);
            QVERIFY2(f.read() == before && f.mode(f.file) == modeBefore && f.entries() == entriesBefore, name);
        }
    }

    void newFileIsPrivateWhateverTheUmask()
    {
        Fixture f;
        f.write(R"({"version":"1.2.3","action":"pending"})");
        const mode_t saved = ::umask(0);
        const UpdateChoiceResult result = f.save(u"later"_s);
        ::umask(saved);
        QCOMPARE(int(result.outcome), int(UpdateChoiceResult::Outcome::saved));
        QCOMPARE(f.mode(f.file), mode_t(0600));
        // A replacement, not an overwrite in place: a reader holding the old file keeps the old bytes.
        QFile old(f.file);
        QVERIFY(old.open(QIODevice::ReadOnly));
        const QByteArray held = old.readAll();
        QCOMPARE(int(f.save(u"now"_s).outcome), int(UpdateChoiceResult::Outcome::saved));
        old.seek(0);
        QCOMPARE(old.readAll(), held);
    }

    void writeFailureIsReportedAndLeavesTheFile()
    {
        // A file-size limit below the new content makes the write fail, for root as well.
        Fixture f;
        const QByteArray pending = R"({"version":"1.2.3","action":"pending"})";
        f.write(pending);
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit saved{};
        ::getrlimit(RLIMIT_FSIZE, &saved);
        rlimit small = saved;
        small.rlim_cur = 16;
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
        const UpdateChoiceResult result = f.save(u"later"_s);
        ::setrlimit(RLIMIT_FSIZE, &saved);
        QCOMPARE(int(result.outcome), int(UpdateChoiceResult::Outcome::failed));
        QVERIFY(!result.error.isEmpty());
        QCOMPARE(f.read(), pending);
        QCOMPARE(f.entries(), QStringList{"update-choice.json"});
    }
};

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(UpdateChoiceFileTest)
#include "tst_update_choice_file.moc"
