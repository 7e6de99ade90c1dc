#include "app/runtime_bootstrap.h"
#include "support/runtime_context.h"
#include "app/runtime_lock.h"
#include "platform/linux/bundle/app_bundle.h"
#include "support/process_runner.h"
#include "support/recording_system_log.h"
#include "support/temporary_home.h"
#include "support/test_files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <utime.h>

namespace mornix {

namespace {

// A fake build of the bundle: "<parent>/VeltroMornix.app" with or without its executable.
QString makeBundle(const QString &parent, bool withExecutable, qint64 mtimeSecs = 0)
{
    const QString bundle = parent + QStringLiteral("/VeltroMornix.app");
    QDir().mkpath(bundle + QStringLiteral("/Contents/MacOS"));
    if (withExecutable) {
        QFile exe(bundle + QStringLiteral("/Contents/MacOS/VeltroMornix"));
        exe.open(QIODevice::WriteOnly);
        exe.write("#!/bin/sh\n");
    }
    if (mtimeSecs) {
        struct utimbuf times {
            static_cast<time_t>(mtimeSecs), static_cast<time_t>(mtimeSecs)
        };
        ::utime(QFile::encodeName(bundle).constData(), &times);
    }
    return bundle;
}

struct ProbeProcess {
    std::unique_ptr<QProcess> process = std::make_unique<QProcess>();
    QByteArray answer;
};

ProbeProcess startProbe(const QString &dir)
{
    ProbeProcess probe;
    probe.process->start(QStringLiteral(RUNTIME_LOCK_PROBE), {dir, QStringLiteral("runtime.lock")});
    probe.process->waitForStarted();
    probe.process->waitForReadyRead(10000);
    probe.answer = probe.process->readLine().trimmed();
    return probe;
}

}  // namespace

class RuntimeTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void crashedHolderNeverBlocksALaterStart();
    void unusableLockFilesAreLoggedNeverHeld();
    void bundledAppIsLocated();
    void relaunchOnlyWhenABundleIsFound();
    void rawExecutableRelaunchesItsSibling();
    void executionMode();
};

// Another process holds the lock until it dies, even by SIGKILL; this process then gets it.
void RuntimeTest::crashedHolderNeverBlocksALaterStart()
{
    QTemporaryDir dir;
    RecordingSystemLog log;
    ProbeProcess holder = startProbe(dir.path());
    QCOMPARE(holder.answer, QByteArray("locked"));
    ProbeProcess second = startProbe(dir.path());
    QCOMPARE(second.answer, QByteArray("busy"));
    second.process->closeWriteChannel();
    second.process->waitForFinished(10000);
    QCOMPARE(RuntimeLock::tryAcquireIn(dir.path(), QStringLiteral("runtime.lock"), log).outcome,
             RuntimeLock::Outcome::heldElsewhere);

    holder.process->kill();  // SIGKILL: no cleanup at all
    QVERIFY(holder.process->waitForFinished(10000));
    ProbeProcess later = startProbe(dir.path());
    QCOMPARE(later.answer, QByteArray("locked"));
    later.process->closeWriteChannel();
    QVERIFY(later.process->waitForFinished(10000));
    QVERIFY(RuntimeLock::acquireIn(dir.path(), QStringLiteral("runtime.lock"), log));
}

void RuntimeTest::unusableLockFilesAreLoggedNeverHeld()
{
    // Unusable lock files are told apart from held ones, with the reason in the system log (the
    // file rules themselves are those of every private lock file, tested with them).
    QTemporaryDir dir;
    RecordingSystemLog log;
    QFile target(dir.path() + QStringLiteral("/elsewhere"));
    QVERIFY(target.open(QIODevice::WriteOnly));
    target.close();
    QVERIFY(QFile::setPermissions(target.fileName(),
                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther));
    const QString lock = dir.path() + QStringLiteral("/runtime.lock");
    QVERIFY(QFile::link(target.fileName(), lock));
    RuntimeLock::Attempt attempt = RuntimeLock::tryAcquireIn(dir.path(), QStringLiteral("runtime.lock"), log);
    QVERIFY(!attempt.lock);
    QCOMPARE(attempt.outcome, RuntimeLock::Outcome::unusable);
    QVERIFY2(attempt.problem.endsWith(QLatin1String("runtime.lock is a symbolic link")), qPrintable(attempt.problem));
    QCOMPARE(log.messages().value(0), QStringLiteral("failed to open runtime lock: %1").arg(ELOOP));
    QCOMPARE(log.messages().value(1), QStringLiteral("runtime lock unusable: ") + attempt.problem);
    QCOMPARE(modeOf(target.fileName()), mode_t(0604));  // the link's target is never touched
    QVERIFY(QFile::remove(lock));

    // A linked lock directory is refused with the reason logged.
    QTemporaryDir other;
    const QString linkedDir = dir.path() + QStringLiteral("/VeltroMornix");
    QVERIFY(QFile::link(other.path(), linkedDir));
    attempt = RuntimeLock::tryAcquireIn(linkedDir, QStringLiteral("runtime.lock"), log);
    QCOMPARE(attempt.outcome, RuntimeLock::Outcome::unusable);
    QVERIFY2(attempt.problem.contains(QLatin1String("symbolic link")), qPrintable(attempt.problem));
    QVERIFY(log.messages().contains(QStringLiteral("failed to create runtime lock directory: ") + attempt.problem));

    // A usable lock: its directory narrowed to the owner, the file created 0600; a lock that
    // is merely held is just that.
    QVERIFY(QFile::setPermissions(dir.path(), QFile::permissions(dir.path()) | QFileDevice::ReadOther));
    auto held = RuntimeLock::acquireIn(dir.path(), QStringLiteral("runtime.lock"), log);
    QVERIFY(held);
    QCOMPARE(modeOf(dir.path()), mode_t(0700));
    QCOMPARE(modeOf(lock), mode_t(0600));
    QCOMPARE(RuntimeLock::tryAcquireIn(dir.path(), QStringLiteral("runtime.lock"), log).outcome,
             RuntimeLock::Outcome::heldElsewhere);
}

// A sibling bundle with an executable wins over newer builds; otherwise the newest build with an
// executable under the search roots, hidden directories never visited.
void RuntimeTest::bundledAppIsLocated()
{
    QTemporaryDir dir;
    RecordingSystemLog log;
    const QString roots = dir.path() + QStringLiteral("/derived");
    const QString second = dir.path() + QStringLiteral("/second");
    makeBundle(roots + QStringLiteral("/old/Products"), true, 1500000000);
    const QString newest = makeBundle(roots + QStringLiteral("/new/Products"), true, 1700000000);
    makeBundle(roots + QStringLiteral("/.hidden/Products"), true, 1800000000);
    makeBundle(roots + QStringLiteral("/broken/Products"), false, 1800000001);
    makeBundle(second + QStringLiteral("/x"), true, 1600000000);
    const AppBundle none{QString()};
    RuntimeBootstrap bootstrap(none, {}, log, nullptr, {roots, second});
    makeBundle(dir.path() + QStringLiteral("/build"), false);
    QCOMPARE(bootstrap.locateBundledApp(dir.path() + QStringLiteral("/build/VeltroMornix")),
             std::optional<QString>(newest));
    const QString sibling = makeBundle(dir.path() + QStringLiteral("/sibling"), true, 1000000000);
    QCOMPARE(bootstrap.locateBundledApp(dir.path() + QStringLiteral("/sibling/VeltroMornix")),
             std::optional<QString>(sibling));
}

// Nothing found, or a process inside a bundle: no relaunch. A failed open is logged, and the
// raw process still ends.
void RuntimeTest::relaunchOnlyWhenABundleIsFound()
{
    QTemporaryDir dir;
    RecordingSystemLog log;
    int opened = 0;
    const auto open = [&](const QString &, QString *) { return ++opened, true; };
    const AppBundle raw(dir.path() + QStringLiteral("/raw/VeltroMornix"));
    QVERIFY(!RuntimeBootstrap(raw, {}, log, open, {dir.path() + QStringLiteral("/missing-root")})
                 .relaunchBundledAppIfNeeded());
    // Inside a bundle nothing is searched, though a build waits under the search roots.
    const QString roots = dir.path() + QStringLiteral("/roots");
    makeBundle(roots + QStringLiteral("/Products"), true);
    const AppBundle inside(QStringLiteral(MORNIX_EXECUTABLE));
    QVERIFY(inside.bundleIdentifier());
    QVERIFY(!RuntimeBootstrap(inside, {}, log, open, {roots}).relaunchBundledAppIfNeeded());
    QCOMPARE(opened, 0);
    QVERIFY(RuntimeBootstrap(raw, {}, log, open, {roots}).relaunchBundledAppIfNeeded());  // what it would find
    QCOMPARE(opened, 1);

    makeBundle(dir.path(), true);
    const AppBundle withSibling(dir.path() + QStringLiteral("/VeltroMornix"));
    RuntimeBootstrap failing(withSibling, {}, log, [](const QString &, QString *error) {
        *error = QStringLiteral("boom");
        return false;
    });
    QVERIFY(failing.relaunchBundledAppIfNeeded());
    QCOMPARE(log.messages(), QStringList{QStringLiteral("failed to relaunch bundled app: boom")});
}

void RuntimeTest::rawExecutableRelaunchesItsSibling()
{
    TemporaryHome home;
    const QString dir = home.path() + QStringLiteral("/build");
    QDir().mkpath(dir);
    const QString raw = dir + QStringLiteral("/VeltroMornix");
    QVERIFY(QFile::copy(QStringLiteral(MORNIX_EXECUTABLE), raw));
    const QString bundle = makeBundle(dir, false);
    const QString marker = home.path() + QStringLiteral("/relaunched");
    QFile script(bundle + QStringLiteral("/Contents/MacOS/VeltroMornix"));
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write(QStringLiteral("#!/bin/sh\necho \"$@\" > '%1'\n").arg(marker).toUtf8());
    script.close();
    script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    QProcessEnvironment env = home.environment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    const ProcessResult result = runProcess(raw, {QStringLiteral("--desktop-managed")}, {}, env, 20000);
    QCOMPARE(result.exitCode, 0);
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(marker), 10000);
    // The raw process took no lock: it only handed over.
    QVERIFY(!QFileInfo::exists(home.dataHome() + QStringLiteral("/VeltroMornix/runtime.lock")));
}

void RuntimeTest::executionMode()
{
    QCOMPARE(executionModeFor(QStringLiteral("x86_64"), QStringLiteral("x86_64")), QStringLiteral("native"));
    QCOMPARE(executionModeFor(QStringLiteral("i386"), QStringLiteral("x86_64")), QStringLiteral("native"));
    QCOMPARE(executionModeFor(QStringLiteral("x86_64"), QStringLiteral("arm64")), QStringLiteral("translated"));
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(RuntimeTest)
#include "tst_runtime.moc"
