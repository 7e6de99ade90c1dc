// The bundle's modules (Secret Service, TPM, X display): loaded once, checked against the seal;
// an unusable one fails its own facility only, saying why. Also the display check that decides
// whether a start may load its windows.
#include "platform/keychain.h"
#include "platform/linux/display_probe.h"
#include "platform/linux/file_keychain.h"
#include "platform/linux/platform_modules.h"
#include "platform/linux/secret_service_client.h"
#include "platform/linux/tpm_hardware_key.h"
#include "platform/linux/tpm_session.h"
#include "platform/linux/x_display_module.h"
#include "secret_service_fixture.h"
#include "support/bundle_modules.h"
#include "support/config.h"
#include "support/temporary_home.h"

#include <QFile>
#include <QProcess>
#include <QTest>
#include <QThread>

#include <latch>

namespace mornix {

namespace {

std::shared_ptr<PlatformModules> modulesOf(const QString &bundle)
{
    return std::make_shared<PlatformModules>(bundle, Config::defaults().codeSigningAnchorsPEM);
}

// A copy of the build's signed bundle (its seal stays valid wherever it lies).
QString copyBundle(const TemporaryHome &home)
{
    const QString copy = home.path() + QStringLiteral("/VeltroMornix.app");
    if (QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-a"), QStringLiteral(MORNIX_BUNDLE_DIR), copy}) != 0)
        return {};
    return copy;
}

}  // namespace

class PlatformModulesTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void eachModuleLoadsOnceAndApart();
    void modulesThatCannotBeUsedFailTheirFacilityOnly();
    void platformsAndDisplays_data();
    void platformsAndDisplays();

private:
    TemporaryHome m_keyringHome;  // gnome-keyring's keyrings
    std::unique_ptr<SecretServiceFixture> m_keyring;
};

void PlatformModulesTest::initTestCase()
{
    QVERIFY(m_keyringHome.isValid());
    m_keyring = std::make_unique<SecretServiceFixture>();
    QVERIFY2(m_keyring->isRunning(), qPrintable(m_keyring->error()));
}

void PlatformModulesTest::eachModuleLoadsOnceAndApart()
{
    // The keychain and the TPM key run on worker threads: first uses may race.
    const auto modules = modulesOf(QStringLiteral(MORNIX_BUNDLE_DIR));
    constexpr int kThreads = 8;
    std::latch start(kThreads);
    std::vector<const void *> tables(kThreads, nullptr);
    std::vector<QString> problems(kThreads);
    std::vector<std::unique_ptr<QThread>> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back(QThread::create([&, i] {
            start.arrive_and_wait();
            tables[i] = modules->table(tpm::kModulePath, tpm::kModuleEntry, tpm::kModuleInterfaceVersion, "the TPM module",
                                       &problems[i]);
        }));
        threads.back()->start();
    }
    for (const auto &thread : threads)
        QVERIFY(thread->wait(30000));
    for (int i = 0; i < kThreads; ++i) {
        QVERIFY2(tables[i], qPrintable(problems[i]));
        QCOMPARE(tables[i], tables[0]);
    }

    // The next module is its own, not the one loaded before it (the dynamic linker must not
    // take it for that one).
    QString problem;
    const auto *x = static_cast<const x_display::Functions *>(modules->table(
        x_display::kModulePath, x_display::kModuleEntry, x_display::kModuleInterfaceVersion, "the X display module", &problem));
    QVERIFY2(x, qPrintable(problem));
    QVERIFY(static_cast<const void *>(x) != tables[0]);
    QVERIFY(!x->answers(":64999"));

    // The entry refuses an interface it was not built for.
    QVERIFY(!modulesOf(QStringLiteral(MORNIX_BUNDLE_DIR))
                 ->table(tpm::kModulePath, tpm::kModuleEntry, tpm::kModuleInterfaceVersion + 1, "the TPM module", &problem));
    QCOMPARE(problem, QStringLiteral("the TPM module was built for another version of VeltroMornix"));
}

void PlatformModulesTest::modulesThatCannotBeUsedFailTheirFacilityOnly()
{
    TemporaryHome home;
    const QString bundle = copyBundle(home);
    QVERIFY(!bundle.isEmpty());
    QVERIFY(QFile::remove(bundle + QLatin1Char('/') + QLatin1String(secret_service::kModulePath)));
    QFile tpmModule(bundle + QLatin1Char('/') + QLatin1String(tpm::kModulePath));
    QVERIFY(tpmModule.open(QIODevice::Append));
    QCOMPARE(tpmModule.write("x", 1), qint64(1));
    tpmModule.close();
    const auto modules = modulesOf(bundle);

    // A Secret Service is running, but without its module it counts as absent.
    const secret_service::Client client(modules);
    QVERIFY(!client.available());
    QVERIFY(!client.running());
    std::string secret;
    std::string error;
    QCOMPARE(client.lookup({{"class", "key"}}, secret, error), secret_service::Result::unavailable);
    QCOMPARE(QString::fromStdString(error),
             QStringLiteral("the Secret Service module cannot be used: missing or not a regular file: ") + bundle
                 + QLatin1Char('/') + QLatin1String(secret_service::kModulePath));

    // No usable TPM: creation says so the way a machine without one does, so the caller makes a
    // software key; nothing is stored.
    const auto keychain = std::make_shared<FileKeychain>(home.path() + QStringLiteral("/keychain"));
    TpmHardwareKey hardwareKey(keychain, modules, QStringLiteral("swtpm:host=127.0.0.1,port=9"));
    const HardwareKey::CreateResult created = hardwareKey.create("ai.veltro.mornix.test.key");
    QVERIFY(created.hasError);
    QCOMPARE(created.errorCode, keychain_status::missingEntitlement);
    QVERIFY2(created.errorDescription.contains(QStringLiteral("the TPM module cannot be used: modified after the bundle was signed")),
             qPrintable(created.errorDescription));
    QByteArray stored;
    QCOMPARE(keychain->readKey("ai.veltro.mornix.test.key", stored), keychain_status::itemNotFound);

    // The X display module of the same bundle is intact and still used.
    qunsetenv("WAYLAND_DISPLAY");
    qunsetenv("QT_QPA_PLATFORM");
    qputenv("DISPLAY", ":64999");
    DisplayCheck check = checkDisplay(*modules);
    QVERIFY(!check.reachable);
    QCOMPARE(check.problem, QStringLiteral("cannot connect to the X display \":64999\""));

    // Without it, an X display does not answer, and the problem says why.
    TemporaryHome empty;
    const auto none = modulesOf(empty.path());
    check = checkDisplay(*none);
    QVERIFY(!check.reachable);
    QVERIFY2(check.problem.startsWith(QStringLiteral("cannot connect to the X display \":64999\" (the X display module "
                                                     "cannot be used: missing or not a regular file: ")),
             qPrintable(check.problem));
}

void PlatformModulesTest::platformsAndDisplays_data()
{
    QTest::addColumn<QByteArray>("platform");
    QTest::addColumn<QByteArray>("display");
    QTest::addColumn<bool>("reachable");
    QTest::addColumn<bool>("configured");
    QTest::addColumn<QString>("problem");
    QTest::newRow("offscreen") << QByteArray("offscreen") << QByteArray() << true << true << QString();
    QTest::newRow("offscreen with options") << QByteArray("offscreen:fontengine=freetype") << QByteArray() << true << true << QString();
    QTest::newRow("minimal before a fallback") << QByteArray("minimal;xcb") << QByteArray() << true << true << QString();
    QTest::newRow("nothing named") << QByteArray() << QByteArray() << false << false
                                   << QStringLiteral("no display (DISPLAY and WAYLAND_DISPLAY are not set)");
    QTest::newRow("xcb without a display") << QByteArray("xcb") << QByteArray() << false << true
                                           << QStringLiteral("DISPLAY is not set");
    QTest::newRow("an X display that does not answer") << QByteArray() << QByteArray(":64999") << false << true
                                                       << QStringLiteral("cannot connect to the X display \":64999\"");
}

// A platform named in QT_QPA_PLATFORM is trusted as named (options and fallbacks too); a named
// X display must answer.
void PlatformModulesTest::platformsAndDisplays()
{
    QFETCH(QByteArray, platform);
    QFETCH(QByteArray, display);
    QFETCH(bool, reachable);
    QFETCH(bool, configured);
    QFETCH(QString, problem);
    qunsetenv("WAYLAND_DISPLAY");
    if (platform.isEmpty())
        qunsetenv("QT_QPA_PLATFORM");
    else
        qputenv("QT_QPA_PLATFORM", platform);
    if (display.isEmpty())
        qunsetenv("DISPLAY");
    else
        qputenv("DISPLAY", display);
    const DisplayCheck check = checkDisplay(*buildBundleModules());
    QCOMPARE(check.reachable, reachable);
    QCOMPARE(check.configured, configured);
    QCOMPARE(check.problem, problem);
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(PlatformModulesTest)
#include "tst_platform_modules.moc"
