// The XDG autostart entry on a real file system: links are replaced or removed, never followed,
// and whatever sits at the path never blocks a status read.
#include "platform/linux/xdg_login_item.h"
#include "support/test_files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mornix {

class LoginItemTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void registerAndUnregister();
    void execLineEscaping();
    void linksAreReplacedOrRemovedNeverFollowed();
    void statusNeverBlocks();
};

void LoginItemTest::registerAndUnregister()
{
    QTemporaryDir config;
    XdgLoginItem item(QStringLiteral("/opt/Veltro $HOME/VeltroMornix"), config.path());
    QCOMPARE(item.status(), LoginItem::Status::notRegistered);
    QString error;
    QVERIFY2(item.registerItem(&error), qPrintable(error));
    QCOMPARE(item.status(), LoginItem::Status::enabled);
    const QByteArray entry = readFile(item.entryPath());
    QVERIFY(entry.startsWith("[Desktop Entry]\n"));
    // Quoting rule (\$), then the string rule doubles that backslash.
    QVERIFY(entry.contains("\nExec=\"/opt/Veltro \\\\$HOME/VeltroMornix\"\n"));
    QCOMPARE(modeOf(item.entryPath()), mode_t(0600));
    QVERIFY(item.registerItem(&error));  // again: replaced, still one entry
    QCOMPARE(QDir(config.path() + QStringLiteral("/autostart")).entryList(QDir::Files | QDir::Hidden).size(), 1);

    QVERIFY(writeFile(item.entryPath(), "[Desktop Entry]\nHidden=true\n"));
    QCOMPARE(item.status(), LoginItem::Status::notRegistered);
    QVERIFY(writeFile(item.entryPath(), "[Desktop Entry]\nExec=x\nX-GNOME-Autostart-enabled = false\n"));
    QCOMPARE(item.status(), LoginItem::Status::notRegistered);
    // Only the main group counts.
    QVERIFY(writeFile(item.entryPath(), "[Desktop Entry]\nExec=x\n[Desktop Action quiet]\nHidden=true\n"));
    QCOMPARE(item.status(), LoginItem::Status::enabled);
    QVERIFY(item.unregisterItem(&error));
    QVERIFY(!QFileInfo::exists(item.entryPath()));
    QVERIFY(item.unregisterItem(&error));  // nothing there: fine
}

// Backslashes, quotes, percent signs and control characters in the program path.
void LoginItemTest::execLineEscaping()
{
    QTemporaryDir config;
    XdgLoginItem item(QStringLiteral("/opt/a\\b \"q\" `c` 100%/VeltroMornix"), config.path());
    QString error;
    QVERIFY2(item.registerItem(&error), qPrintable(error));
    // Path a\b "q" `c` 100%: quoting gives a\\b \"q\" \`c\` 100%, the string rule doubles each
    // backslash and the field-code rule doubles the percent sign.
    QVERIFY2(readFile(item.entryPath()).contains("\nExec=\"/opt/a\\\\\\\\b \\\\\"q\\\\\" \\\\`c\\\\` 100%%/VeltroMornix\"\n"),
             readFile(item.entryPath()).constData());

    XdgLoginItem broken(QStringLiteral("/opt/line\nbreak/VeltroMornix"), config.path() + QStringLiteral("/other"));
    QVERIFY(!broken.registerItem(&error));
    QVERIFY(!error.isEmpty());
    QCOMPARE(broken.status(), LoginItem::Status::notRegistered);
}

void LoginItemTest::linksAreReplacedOrRemovedNeverFollowed()
{
    QTemporaryDir config;
    XdgLoginItem item(QStringLiteral("/opt/x/VeltroMornix"), config.path());
    QVERIFY(QDir().mkpath(config.path() + QStringLiteral("/autostart")));
    const QString target = config.path() + QStringLiteral("/precious");
    QVERIFY(writeFile(target, "keep me"));
    QVERIFY(QFile::link(target, item.entryPath()));
    QString error;
    QVERIFY2(item.registerItem(&error), qPrintable(error));
    QCOMPARE(readFile(target), QByteArray("keep me"));
    QVERIFY(!QFileInfo(item.entryPath()).isSymLink());
    QCOMPARE(item.status(), LoginItem::Status::enabled);

    // A dangling link: its target is never created.
    QVERIFY(QFile::remove(item.entryPath()));
    const QString absent = config.path() + QStringLiteral("/absent");
    QVERIFY(QFile::link(absent, item.entryPath()));
    QVERIFY(item.registerItem(&error));
    QVERIFY(!QFileInfo::exists(absent));

    // Unregistering a linked entry removes the link only.
    QVERIFY(QFile::remove(item.entryPath()));
    QVERIFY(QFile::link(target, item.entryPath()));
    QVERIFY(item.unregisterItem(&error));
    QVERIFY(!QFileInfo(item.entryPath()).isSymLink() && !QFileInfo::exists(item.entryPath()));
    QCOMPARE(readFile(target), QByteArray("keep me"));
    QVERIFY(QFile::link(absent, item.entryPath()));
    QVERIFY(item.unregisterItem(&error));
    QVERIFY(!QFileInfo(item.entryPath()).isSymLink());
}

void LoginItemTest::statusNeverBlocks()
{
    QTemporaryDir config;
    XdgLoginItem item(QStringLiteral("/opt/x/VeltroMornix"), config.path());
    QVERIFY(QDir().mkpath(config.path() + QStringLiteral("/autostart")));
    QCOMPARE(::mkfifo(QFile::encodeName(item.entryPath()).constData(), 0600), 0);
    std::atomic<int> status{-1};
    QThread *reader = QThread::create([&] { status = static_cast<int>(item.status()); });
    reader->start();
    const bool finished = QTest::qWaitFor([&] { return status.load() >= 0; }, 5000);
    if (!finished) {
        // Give the blocked open its writer so the thread can end, then fail.
        const int writer = ::open(QFile::encodeName(item.entryPath()).constData(), O_WRONLY | O_NONBLOCK);
        reader->wait(5000);
        ::close(writer);
    }
    reader->wait();
    delete reader;
    QVERIFY2(finished, "the status read blocked on a FIFO");
    QCOMPARE(status.load(), static_cast<int>(LoginItem::Status::notRegistered));
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(LoginItemTest)
#include "tst_login_item.moc"
