// The bundle's modules (Secret Service, TPM, X display): loaded once, checked against the seal and
// the signer before anything of them runs; an unusable one is reported (system log, fault report)
// and fails its own facility only, loudly. Also the display check that decides whether a start
// may load its windows.
#include "identity/device_enrollment_agent.h"
#include "platform/keychain.h"
#include "platform/linux/desktop/display_probe.h"
#include "platform/linux/keychain/file_keychain.h"
#include "platform/linux/modules/platform_modules.h"
#include "platform/linux/keychain/secret_service_client.h"
#include "platform/linux/keychain/secret_service_presence.h"
#include "platform/linux/keychain/selecting_keychain.h"
#include "platform/linux/tpm/tpm_hardware_key.h"
#include "platform/linux/tpm/tpm_session.h"
#include "platform/linux/desktop/x_display_module.h"
#include "platform/posix_files.h"
#include "secret_service_fixture.h"
#include "support/bundle_modules.h"
#include "support/config.h"
#include "support/recording_system_log.h"
#include "support/signed_fixtures.h"
#include "support/temporary_home.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <latch>

#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>

namespace mornix {

namespace {

const ModuleSigner kOwnSigner{fixtures::kOwnTeam, QStringLiteral("ai.veltro.mornix")};

std::shared_ptr<PlatformModules> modulesOf(const QString &bundle, std::shared_ptr<SystemLog> log = nullptr)
{
    return std::make_shared<PlatformModules>(bundle, Config::defaults().codeSigningAnchorsPEM, kOwnSigner,
                                             std::move(log));
}

const ModuleSpec kProbe{"Contents/PlugIns/libmornix_probe.so", "mornix_probe_module", 1, "the probe module"};

enum class Change { none, unsign, tamper, addAfterSigning };

// A small bundle DIR/VeltroMornix.app holding the probe module, signed by a dev team (identifier
// empty: its CFBundleIdentifier, ai.veltro.mornix), then changed. Empty on failure.
QString makeProbeBundle(const QString &directory, const QString &team, const QString &identifier, Change change)
{
    const QString bundle =
        fixtures::makeBundle(directory, QStringLiteral("VeltroMornix"), QStringLiteral("ai.veltro.mornix"), {});
    const QString module = bundle + QLatin1Char('/') + QLatin1String(kProbe.relativePath);
    if (bundle.isEmpty() || !QDir().mkpath(QFileInfo(module).path()))
        return {};
    if (change != Change::addAfterSigning && !QFile::copy(QStringLiteral(MORNIX_PROBE_MODULE), module))
        return {};
    if (!fixtures::sign(bundle, team, identifier))
        return {};
    bool changed = true;
    switch (change) {
    case Change::none: break;
    case Change::unsign:
        changed = QFile::remove(bundle + QStringLiteral("/Contents/_CodeSignature/CodeSignature"));
        break;
    case Change::tamper: changed = fixtures::tamper(module); break;
    case Change::addAfterSigning: changed = QFile::copy(QStringLiteral(MORNIX_PROBE_MODULE), module); break;
    }
    return changed ? bundle : QString();
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

}  // namespace mornix

Q_DECLARE_METATYPE(mornix::Change)
Q_DECLARE_METATYPE(mornix::PlatformModules::State)

namespace mornix {

class PlatformModulesTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void sealAndSignerDecideBeforeTheModuleRuns_data();
    void sealAndSignerDecideBeforeTheModuleRuns();
    void secretServiceOnTheBusWithoutItsModule_data();
    void secretServiceOnTheBusWithoutItsModule();
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

void PlatformModulesTest::sealAndSignerDecideBeforeTheModuleRuns_data()
{
    using State = PlatformModules::State;
    QTest::addColumn<QString>("team");
    QTest::addColumn<QString>("identifier");
    QTest::addColumn<Change>("change");
    QTest::addColumn<QString>("buildTeam");
    QTest::addColumn<State>("state");
    QTest::addColumn<QString>("reason");
    const QString own = fixtures::kOwnTeam;
    const auto otherTeam = [&own](const QString &team) {
        return QStringLiteral("the bundle is signed by team \"%1\", not by this build's team \"%2\"").arg(team, own);
    };
    QTest::newRow("our team and identifier") << own << QString() << Change::none << own << State::loaded << QString();
    QTest::newRow("re-signed by team Q6L2SF6YDW") << fixtures::kAnthropicTeam << QString() << Change::none << own
                                                  << State::wrongSigner << otherTeam(fixtures::kAnthropicTeam);
    QTest::newRow("re-signed by team 2DC432GLL2") << fixtures::kOpenAITeam << QString() << Change::none << own
                                                  << State::wrongSigner << otherTeam(fixtures::kOpenAITeam);
    QTest::newRow("our team, another identifier")
        << own << QStringLiteral("com.anthropic.claude") << Change::none << own << State::wrongSigner
        << QStringLiteral(
               "the bundle is signed as \"com.anthropic.claude\", not as this build's identifier \"ai.veltro.mornix\"");
    QTest::newRow("a build that names no team") << own << QString() << Change::none << QString() << State::wrongSigner
                                                << QStringLiteral("this build names no code-signing team");
    QTest::newRow("signature removed") << own << QString() << Change::unsign << own << State::notSealed
                                       << QStringLiteral("the bundle is not signed (no ");
    QTest::newRow("module modified after signing") << own << QString() << Change::tamper << own << State::notSealed
                                                   << QStringLiteral("modified after the bundle was signed: ");
    QTest::newRow("module added after signing")
        << own << QString() << Change::addAfterSigning << own << State::notSealed
        << QStringLiteral("the bundle's code signature does not cover ");
}

// Only our own team's signature over our identifier, sealing the module as it is, lets it load;
// anything else is refused before its initialiser runs, and said once, naming the module.
void PlatformModulesTest::sealAndSignerDecideBeforeTheModuleRuns()
{
    QFETCH(QString, team);
    QFETCH(QString, identifier);
    QFETCH(Change, change);
    QFETCH(QString, buildTeam);
    QFETCH(PlatformModules::State, state);
    QFETCH(QString, reason);
    TemporaryHome home;
    const QString bundle = makeProbeBundle(home.path(), team, identifier, change);
    QVERIFY(!bundle.isEmpty());
    const QString marker = home.path() + QStringLiteral("/initialised");
    qputenv("MORNIX_PROBE_MARKER", QFile::encodeName(marker));
    const auto log = std::make_shared<RecordingSystemLog>();
    PlatformModules modules(bundle, Config::defaults().codeSigningAnchorsPEM,
                            ModuleSigner{buildTeam, kOwnSigner.identifier}, log);

    QString problem;
    const void *table = modules.table(kProbe, &problem);
    const bool loaded = state == PlatformModules::State::loaded;
    QCOMPARE(table != nullptr, loaded);
    QCOMPARE(QFileInfo::exists(marker), loaded);  // the initialiser ran, or nothing of the module did
    const PlatformModules::Status status = modules.status(kProbe);
    QCOMPARE(status.state, state);
    QCOMPARE(status.name, QStringLiteral("the probe module"));
    QCOMPARE(status.relativePath, QLatin1String(kProbe.relativePath));
    QCOMPARE(status.reason, problem);
    QStringList reported;
    modules.setFaultReport([&reported](const QString &line) { reported << line; });
    if (loaded) {
        QCOMPARE(problem, QString());
        QCOMPARE(log->messages(), QStringList());
        QCOMPARE(reported, QStringList());
        return;
    }
    QVERIFY2(problem.startsWith(QStringLiteral("the probe module cannot be used: ") + reason), qPrintable(problem));
    // Said once, in the system log and to the operational log's receiver (installed later).
    QCOMPARE(modules.table(kProbe, &problem), nullptr);
    QCOMPARE(log->messages(), QStringList{problem});
    QCOMPARE(reported, QStringList{problem});
    modules.setFaultReport({});
    QCOMPARE(reported.size(), 1);
}

void PlatformModulesTest::secretServiceOnTheBusWithoutItsModule_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("reason");
    QTest::newRow("module missing") << QStringLiteral("remove") << QStringLiteral("missing or not a regular file: ");
    QTest::newRow("bundle seal broken") << QStringLiteral("corrupt")
                                        << QStringLiteral("the bundle's code signature is not valid: ");
    QTest::newRow("bundle re-signed by team 2DC432GLL2")
        << QStringLiteral("resign") << QStringLiteral("the bundle is signed by team \"2DC432GLL2\"");
}

// A Secret Service is on the bus but its module cannot be used: the keychain is unavailable,
// every call says so, nothing goes to the file store or anywhere else.
void PlatformModulesTest::secretServiceOnTheBusWithoutItsModule()
{
    QFETCH(QString, fault);
    QFETCH(QString, reason);
    TemporaryHome home;
    const QString bundle = copyBundle(home);
    QVERIFY(!bundle.isEmpty());
    if (fault == QLatin1String("remove"))
        QVERIFY(QFile::remove(bundle + QLatin1Char('/') + QLatin1String(secret_service::kModulePath)));
    else if (fault == QLatin1String("corrupt"))
        QVERIFY(fixtures::corruptSignature(bundle));
    else
        QVERIFY(fixtures::sign(bundle, fixtures::kOpenAITeam));
    QVERIFY(secret_service::sessionBusOffersSecretService());
    const auto log = std::make_shared<RecordingSystemLog>();
    const auto modules = modulesOf(bundle, log);

    SelectingKeychain keychain{secret_service::Client(modules)};
    QByteArray data;
    QCOMPARE(keychain.addKey("ai.veltro.mornix.test.key", "key bytes"), keychain_status::notAvailable);
    QCOMPARE(keychain.addGenericPassword(QStringLiteral("ai.veltro.mornix.test"), QStringLiteral("grant"), "secret"),
             keychain_status::notAvailable);
    QCOMPARE(keychain.updateGenericPassword(QStringLiteral("ai.veltro.mornix.test"), QStringLiteral("grant"), "secret"),
             keychain_status::notAvailable);
    QCOMPARE(keychain.readGenericPassword(QStringLiteral("ai.veltro.mornix.test"), QStringLiteral("grant"), data),
             keychain_status::notAvailable);
    QCOMPARE(keychain.readKey("ai.veltro.mornix.test.key", data), keychain_status::notAvailable);
    QCOMPARE(keychain.deleteKey("ai.veltro.mornix.test.key"), keychain_status::notAvailable);

    const QStringList messages = log->messages();
    QCOMPARE(messages.size(), 1);
    QVERIFY2(messages.first().startsWith(QStringLiteral("the Secret Service module cannot be used: ") + reason),
             qPrintable(messages.first()));
    // Nothing written: no file store, no marker, nothing in the Secret Service.
    const QString dataDirectory = home.dataHome() + QStringLiteral("/VeltroMornix");
    QCOMPARE(QDir(dataDirectory + QStringLiteral("/keychain")).entryList(QDir::Files | QDir::Hidden), QStringList());
    QVERIFY(!QFileInfo::exists(dataDirectory + QLatin1Char('/') + QLatin1String(SelectingKeychain::markerFileName)));
    std::string secret;
    std::string error;
    QCOMPARE(secret_service::Client(buildBundleModules())
                 .lookup({{"class", "key"}, {"tag", "ai.veltro.mornix.test.key"}}, secret, error),
             secret_service::Result::notFound);

    // The file store only by an explicit choice.
    SelectingKeychain forced{secret_service::Client(modules), SelectingKeychain::Backend::file};
    QCOMPARE(forced.addKey("ai.veltro.mornix.test.key", "key bytes"), keychain_status::success);
    QCOMPARE(forced.deleteKey("ai.veltro.mornix.test.key"), keychain_status::success);
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
            tables[i] = modules->table(tpm::kModulePath, tpm::kModuleEntry, tpm::kModuleInterfaceVersion,
                                       "the TPM module", &problems[i]);
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
    const auto *x = static_cast<const x_display::Functions *>(
        modules->table(x_display::kModulePath, x_display::kModuleEntry, x_display::kModuleInterfaceVersion,
                       "the X display module", &problem));
    QVERIFY2(x, qPrintable(problem));
    QVERIFY(static_cast<const void *>(x) != tables[0]);
    QVERIFY(!x->answers(":64999"));

    // The entry refuses an interface it was not built for.
    QVERIFY(!modulesOf(QStringLiteral(MORNIX_BUNDLE_DIR))
                 ->table(tpm::kModulePath, tpm::kModuleEntry, tpm::kModuleInterfaceVersion + 1, "the TPM module",
                         &problem));
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

    // A TPM module that fails its seal is not a machine without a TPM: creation is refused (not
    // "no entitlement"), and no software key is made in its place.
    const auto keychain = std::make_shared<FileKeychain>(home.path() + QStringLiteral("/keychain"));
    const auto hardwareKey =
        std::make_shared<TpmHardwareKey>(keychain, modules, QStringLiteral("swtpm:host=127.0.0.1,port=9"));
    const HardwareKey::CreateResult created = hardwareKey->create("ai.veltro.mornix.test.key");
    QVERIFY(created.hasError);
    QCOMPARE(created.errorCode, keychain_status::notAvailable);
    QVERIFY2(created.errorDescription.contains(
                 QStringLiteral("the TPM module cannot be used: modified after the bundle was signed")),
             qPrintable(created.errorDescription));
    QByteArray stored;
    QCOMPARE(keychain->readKey("ai.veltro.mornix.test.key", stored), keychain_status::itemNotFound);
    const DeviceEnrollmentAgent agent(IdentityPorts{keychain, hardwareKey, nullptr, nullptr});
    bool refused = false;
    try {
        agent.loadOrCreatePrivateKey();
    } catch (const std::exception &) {
        refused = true;
    }
    QVERIFY(refused);
    QCOMPARE(QDir(home.path() + QStringLiteral("/keychain")).entryList(QDir::Files), QStringList());

    // The X display module of the same bundle is intact and still used.
    const DisplayEnvironment x{":64999", {}, {}, {}};
    DisplayCheck check = checkDisplay(*modules, x);
    QVERIFY(!check.reachable);
    QCOMPARE(check.problem, QStringLiteral("cannot connect to the X display \":64999\""));

    // Without it, an X display does not answer, and the problem says why.
    TemporaryHome empty;
    const auto none = modulesOf(empty.path());
    check = checkDisplay(*none, x);
    QVERIFY(!check.reachable);
    QVERIFY2(check.problem.startsWith(QStringLiteral("cannot connect to the X display \":64999\" (the X display module "
                                                     "cannot be used: missing or not a regular file: ")),
             qPrintable(check.problem));
}

void PlatformModulesTest::platformsAndDisplays_data()
{
    QTest::addColumn<QByteArray>("platform");
    QTest::addColumn<QByteArray>("display");
    QTest::addColumn<QByteArray>("wayland");     // "%R" stands for a runtime directory
    QTest::addColumn<bool>("runtimeDirectory");  // set, with a compositor socket "wayland-test"
    QTest::addColumn<bool>("reachable");
    QTest::addColumn<bool>("configured");
    QTest::addColumn<QString>("problem");
    const QByteArray none;
    QTest::newRow("offscreen") << QByteArray("offscreen") << none << none << false << true << true << QString();
    QTest::newRow("offscreen with options")
        << QByteArray("offscreen:fontengine=freetype") << none << none << false << true << true << QString();
    QTest::newRow("minimal before a fallback")
        << QByteArray("minimal;xcb") << none << none << false << true << true << QString();
    QTest::newRow("nothing named") << none << none << none << true << false << false
                                   << QStringLiteral("no display (DISPLAY and WAYLAND_DISPLAY are not set)");
    QTest::newRow("xcb without a display")
        << QByteArray("xcb") << none << none << false << false << true << QStringLiteral("DISPLAY is not set");
    QTest::newRow("an X display that does not answer") << none << QByteArray(":64999") << none << false << false << true
                                                       << QStringLiteral("cannot connect to the X display \":64999\"");
    QTest::newRow("a compositor in the runtime directory")
        << none << none << QByteArray("wayland-test") << true << true << true << QString();
    QTest::newRow("a compositor by its full path")
        << none << none << QByteArray("%R/wayland-test") << false << true << true << QString();
    QTest::newRow("a relative socket without a runtime directory")
        << none << none << QByteArray("wayland-test") << false << false << true
        << QStringLiteral("cannot connect to the Wayland display \"wayland-test\": XDG_RUNTIME_DIR is not set");
    QTest::newRow("wayland named, nobody listening")
        << QByteArray("wayland") << QByteArray(":64999") << QByteArray("wayland-gone") << true << false << true
        << QStringLiteral("cannot connect to the Wayland display \"wayland-gone\": No such file or directory");
    QTest::newRow("Wayland first, then X")
        << none << QByteArray(":64999") << QByteArray("wayland-gone") << true << false << true
        << QStringLiteral("cannot connect to the Wayland display \"wayland-gone\": No such file or directory; "
                          "cannot connect to the X display \":64999\"");
}

// A platform named in QT_QPA_PLATFORM is trusted as named (options and fallbacks too); a named
// display must answer: Wayland's socket (relative to XDG_RUNTIME_DIR or absolute), then X.
void PlatformModulesTest::platformsAndDisplays()
{
    QFETCH(QByteArray, platform);
    QFETCH(QByteArray, display);
    QFETCH(QByteArray, wayland);
    QFETCH(bool, runtimeDirectory);
    QFETCH(bool, reachable);
    QFETCH(bool, configured);
    QFETCH(QString, problem);
    // A listening socket stands for the compositor: the check only connects.
    QTemporaryDir runtime;
    QVERIFY(runtime.isValid());
    const QByteArray runtimePath = QFile::encodeName(runtime.path());
    const QByteArray socketPath = runtimePath + "/wayland-test";
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    QVERIFY(socketPath.size() < qsizetype(sizeof address.sun_path));
    std::memcpy(address.sun_path, socketPath.constData(), size_t(socketPath.size()));
    const posix::UniqueFd compositor(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    QVERIFY(compositor.isValid());
    QCOMPARE(::bind(compositor.get(), reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    QCOMPARE(::listen(compositor.get(), 4), 0);
    wayland.replace("%R", runtimePath);

    const DisplayEnvironment names{display, wayland, platform, runtimeDirectory ? runtimePath : QByteArray()};
    const DisplayCheck check = checkDisplay(*buildBundleModules(), names);
    QCOMPARE(check.reachable, reachable);
    QCOMPARE(check.configured, configured);
    QCOMPARE(check.problem, problem);
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(PlatformModulesTest)
#include "tst_platform_modules.moc"
