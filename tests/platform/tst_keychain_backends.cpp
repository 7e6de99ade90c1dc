// The keychain port and KeychainStore against both real backends (the file store and a real
// gnome-keyring on a private session bus), secret-tool as an independent client, and which
// backend the real executable keeps using as the Secret Service comes and goes between runs.
#include "identity/identity_error.h"
#include "identity/keychain_store.h"
#include "platform/linux/keychain/file_keychain.h"
#include "platform/linux/keychain/secret_service_client.h"
#include "platform/linux/keychain/secret_service_keychain.h"
#include "secret_service_fixture.h"
#include "support/agent_process.h"
#include "support/bundle_modules.h"
#include "support/credentials_builder.h"
#include "support/process_runner.h"
#include "support/signed_fixtures.h"
#include "support/temporary_home.h"
#include "support/test_files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <memory>
#include <sys/stat.h>

namespace mornix {

class KeychainBackendsTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void storeSemantics_data();
    void storeSemantics();
    void secretToolInterop();
    void fileStoreRefusesUnsafeItems();
    void addOnlyHoldsAcrossRacingProcesses_data();
    void addOnlyHoldsAcrossRacingProcesses();
    void secretServiceThatGoesAwayIsNeverReplaced();
    void fileStoreStaysWhenASecretServiceAppears();
    void unreadableMarkerCreatesNothing();
    void unusableModuleWithASecretServiceOnTheBus_data();
    void unusableModuleWithASecretServiceOnTheBus();

private:
    std::shared_ptr<Keychain> backend(const QString &name) const;
    void clearAll(const QString &name);

    TemporaryHome m_home;
    std::unique_ptr<SecretServiceFixture> m_secretService;
};

namespace {
const QString k43 = QString(43, QLatin1Char('Q'));

DeviceCredentials credentials(const QString &device)
{
    return CredentialsBuilder().device(device);
}

template <typename F>
IdentityError expectError(F &&f)
{
    try {
        f();
    } catch (const IdentityError &error) {
        return error;
    }
    return IdentityError(QStringLiteral("none"), 0, QStringLiteral("no error thrown"));
}

QString keychainDirectory(const TemporaryHome &home)
{
    return home.dataHome() + QStringLiteral("/VeltroMornix/keychain");
}

const std::string kKeyTag = "ai.veltro.mornix.zta.keychain.signing";
const QByteArray kGrant =
    "{\"accessToken\":\"bg1.abc\",\"refreshToken\":\"sg1." + k43.toLatin1() + "\",\"expiresAt\":1}";

QProcessEnvironment environment(const TemporaryHome &home, bool withBus)
{
    QProcessEnvironment env = headlessEnvironment(home.environment());
    env.remove(QStringLiteral("VELTRO_KEYCHAIN"));
    if (!withBus)
        env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    return env;
}

ProcessResult run(const TemporaryHome &home, bool withBus, const QString &mode, const QByteArray &input = {})
{
    return runProcess(QStringLiteral(MORNIX_EXECUTABLE), {mode}, input, environment(home, withBus), 60000);
}

// A mode of the agent in another bundle (a changed copy of the build's).
ProcessResult runBundle(const QString &bundle, const TemporaryHome &home, bool withBus, const QString &mode,
                        const QByteArray &input = {})
{
    return runProcess(bundle + QStringLiteral("/Contents/MacOS/VeltroMornix"), {mode}, input,
                      environment(home, withBus), 60000);
}

// The device's public key as the enrollment payload reports it (empty on failure).
QString publicKey(const TemporaryHome &home, bool withBus)
{
    const ProcessResult result = run(home, withBus, QStringLiteral("--zta-enrollment-payload"));
    if (result.exitCode != 0)
        return {};
    return QJsonDocument::fromJson(result.standardOutput)
        .object()
        .value(QStringLiteral("secure_enclave_public_key"))
        .toString();
}

QString markerPath(const TemporaryHome &home)
{
    return home.dataHome() + QStringLiteral("/VeltroMornix/keychain-backend");
}

QByteArray marker(const TemporaryHome &home)
{
    return QFileInfo::exists(markerPath(home)) ? readFile(markerPath(home)) : QByteArray("<none>");
}

QStringList fileStoreItems(const TemporaryHome &home)
{
    return QDir(home.dataHome() + QStringLiteral("/VeltroMornix/keychain"))
        .entryList({QStringLiteral("genp.*"), QStringLiteral("key.*")}, QDir::Files);
}

const secret_service::Client &secretService()
{
    static const secret_service::Client client(buildBundleModules());
    return client;
}

bool secretServiceHolds(const secret_service::Attributes &attributes)
{
    std::string secret;
    std::string error;
    return secretService().lookup(attributes, secret, error) == secret_service::Result::ok;
}

bool secretServiceHoldsKey()
{
    return secretServiceHolds({{"class", "key"}, {"tag", kKeyTag}});
}
}  // namespace

void KeychainBackendsTest::initTestCase()
{
    QVERIFY(m_home.isValid());
    m_secretService = std::make_unique<SecretServiceFixture>();
    QVERIFY2(m_secretService->isRunning(), qPrintable(m_secretService->error()));
}

std::shared_ptr<Keychain> KeychainBackendsTest::backend(const QString &name) const
{
    if (name == QLatin1String("file"))
        return std::make_shared<FileKeychain>();
    return std::make_shared<SecretServiceKeychain>(secret_service::Client(buildBundleModules()));
}

void KeychainBackendsTest::clearAll(const QString &name)
{
    const KeychainStore store(backend(name));
    store.clearCredentials();
    store.clearItem(KeychainStore::brokerGrantAccount);
    store.clearPendingClaim();
    backend(name)->deleteKey("test.tag");
}

void KeychainBackendsTest::init()
{
    clearAll(QStringLiteral("file"));
    clearAll(QStringLiteral("secret-service"));
    std::string error;
    secretService().remove({{"class", "key"}, {"tag", kKeyTag}}, error);
}

void KeychainBackendsTest::storeSemantics_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("file") << QStringLiteral("file");
    QTest::newRow("secret-service") << QStringLiteral("secret-service");
}

void KeychainBackendsTest::storeSemantics()
{
    QFETCH(QString, name);
    const KeychainStore store(backend(name));

    // Empty keychain: loads give nothing, clears succeed.
    QCOMPARE(store.loadCredentials(), std::nullopt);
    QCOMPARE(store.loadBrokerGrant(), std::nullopt);
    QCOMPARE(store.loadPendingClaim(), std::nullopt);
    store.clearCredentials();
    store.clearPendingClaim();

    // Create is add-only.
    store.createCredentials(credentials(QStringLiteral("one")));
    const IdentityError duplicate = expectError([&] { store.createCredentials(credentials(QStringLiteral("two"))); });
    QCOMPARE(duplicate.domain(), QStringLiteral("KeychainStore"));
    QCOMPARE(duplicate.code(), qint64(-25299));
    QCOMPARE(duplicate.localizedDescription(), QStringLiteral("Failed to create device credentials."));
    QCOMPARE(store.loadCredentials()->deviceID, QStringLiteral("one"));

    // Save updates, else adds.
    store.saveCredentials(credentials(QStringLiteral("three")));
    QCOMPARE(store.loadCredentials()->deviceID, QStringLiteral("three"));
    const PendingClaimState claim{QStringLiteral("c1"), QStringLiteral("https://localhost:8443"), QStringLiteral("Mac"),
                                  12.5};
    store.savePendingClaim(claim);
    QCOMPARE(store.loadPendingClaim(), claim);

    // Broker grant: update needs an item; invalid grants never reach the keychain.
    const BrokerGrant grant{QStringLiteral("bg1.first"), QStringLiteral("sg1.") + k43, 10};
    const IdentityError missing = expectError([&] { store.updateBrokerGrant(grant); });
    QCOMPARE(missing.domain(), QStringLiteral("BrokerGrant"));
    QCOMPARE(missing.code(), qint64(-25300));
    const IdentityError invalid = expectError([&] {
        store.createBrokerGrant(BrokerGrant{QStringLiteral("bg1."), grant.refreshToken, 1});
    });
    QCOMPARE(invalid.domain(), QStringLiteral("BrokerGrant"));
    QCOMPARE(invalid.code(), qint64(1));
    QCOMPARE(store.loadBrokerGrant(), std::nullopt);
    store.createBrokerGrant(grant);
    QCOMPARE(expectError([&] { store.createBrokerGrant(grant); }).code(), qint64(-25299));
    const BrokerGrant second{QStringLiteral("bg1.second"), grant.refreshToken, 20};
    store.updateBrokerGrant(second);
    QCOMPARE(store.loadBrokerGrant(), second);
    QCOMPARE(expectError([&] {
                 store.updateBrokerGrant(BrokerGrant{second.accessToken, second.refreshToken, 0});
             }).code(),
             qint64(1));
    QCOMPARE(store.loadBrokerGrant(), second);

    // Delete, then delete again.
    store.clearCredentials();
    QCOMPARE(store.loadCredentials(), std::nullopt);
    store.clearCredentials();

    // An undecodable item fails to load and stays as it is.
    const std::shared_ptr<Keychain> keychain = backend(name);
    QCOMPARE(keychain->addGenericPassword(KeychainStore::service, KeychainStore::credentialsAccount, "{not json"), 0);
    try {
        store.loadCredentials();
        QFAIL("decoded a corrupt blob");
    } catch (const DecodingError &error) {
        QCOMPARE(error.code(), qint64(4864));
    }
    QByteArray data;
    QCOMPARE(keychain->readGenericPassword(KeychainStore::service, KeychainStore::credentialsAccount, data), 0);
    QCOMPARE(data, QByteArray("{not json"));

    // Key items: add-only, binary-exact, apart from generic passwords.
    QByteArray key;
    QCOMPARE(keychain->readKey("test.tag", key), -25300);
    const QByteArray binary = QByteArray::fromHex("00ff10200a0d");
    QCOMPARE(keychain->addKey("test.tag", binary), 0);
    QCOMPARE(keychain->addKey("test.tag", "other"), -25299);
    QCOMPARE(keychain->readKey("test.tag", key), 0);
    QCOMPARE(key, binary);
    QCOMPARE(keychain->readGenericPassword(KeychainStore::service, QStringLiteral("test.tag"), data), -25300);
    QCOMPARE(keychain->deleteKey("test.tag"), 0);
    QCOMPARE(keychain->deleteKey("test.tag"), -25300);
}

void KeychainBackendsTest::secretToolInterop()
{
    // secret-tool writes, we read.
    const QByteArray json =
        R"({"claimID":"c9","apiBaseURL":"https://localhost:8443","deviceName":"Mac","createdAt":7})";
    ProcessResult stored = runProcess(QStringLiteral("secret-tool"),
                                      {"store", "--label=pending", "service", "ai.veltro.mornix", "account",
                                       "pending-claim", "class", "generic-password"},
                                      json);
    QCOMPARE(stored.exitCode, 0);
    const KeychainStore store(backend(QStringLiteral("secret-service")));
    QCOMPARE(store.loadPendingClaim()->claimID, QStringLiteral("c9"));

    // We write, secret-tool reads.
    store.saveCredentials(credentials(QStringLiteral("from-us")));
    const ProcessResult looked = runProcess(QStringLiteral("secret-tool"),
                                            {"lookup", "service", "ai.veltro.mornix", "account", "device-credentials"});
    QCOMPARE(looked.exitCode, 0);
    QCOMPARE(DeviceCredentials::decode(looked.standardOutput).deviceID, QStringLiteral("from-us"));
}

void KeychainBackendsTest::fileStoreRefusesUnsafeItems()
{
    const std::shared_ptr<Keychain> keychain = backend(QStringLiteral("file"));
    const KeychainStore store(keychain);
    // Private from creation whatever the umask, and a replacement leaves no temporary behind.
    ::umask(022);
    store.saveCredentials(credentials(QStringLiteral("first")));
    store.saveCredentials(credentials(QStringLiteral("safe")));
    QCOMPARE(modeOf(keychainDirectory(m_home)), mode_t(0700));
    const QStringList files = QDir(keychainDirectory(m_home)).entryList(QDir::Files | QDir::Hidden);
    QVERIFY(!files.isEmpty());
    for (const QString &file : files) {
        QCOMPARE(modeOf(keychainDirectory(m_home) + QLatin1Char('/') + file), mode_t(0600));
        QVERIFY2(!file.contains(QLatin1String(".tmp-")), qPrintable(file));
    }
    const QString item =
        keychainDirectory(m_home) + QLatin1Char('/')
        + FileKeychain::genericPasswordFileName(KeychainStore::service, KeychainStore::credentialsAccount);

    // Open to others: refused for read, update and delete; the file is left as it is.
    QVERIFY(QFile::setPermissions(item, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup));
    QByteArray data;
    QCOMPARE(keychain->readGenericPassword(KeychainStore::service, KeychainStore::credentialsAccount, data), -25295);
    QCOMPARE(expectError([&] { store.loadCredentials(); }).localizedDescription(),
             QStringLiteral("Failed to read Keychain item (-25295)."));
    QCOMPARE(expectError([&] { store.saveCredentials(credentials(QStringLiteral("x"))); }).code(), qint64(-25295));
    QCOMPARE(expectError([&] { store.clearCredentials(); }).code(), qint64(-25295));
    QVERIFY(QFile::exists(item));
    QVERIFY(QFile::setPermissions(item, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    QCOMPARE(store.loadCredentials()->deviceID, QStringLiteral("safe"));

    // Replaced by a symbolic link: refused, and neither the link nor its target changes.
    const QString target = m_home.path() + QStringLiteral("/elsewhere.json");
    QVERIFY(writeFile(target, credentials(QStringLiteral("planted")).encoded()));
    QVERIFY(QFile::remove(item));
    QVERIFY(QFile::link(target, item));
    QCOMPARE(keychain->readGenericPassword(KeychainStore::service, KeychainStore::credentialsAccount, data), -25295);
    QCOMPARE(expectError([&] { store.saveCredentials(credentials(QStringLiteral("y"))); }).code(), qint64(-25295));
    QCOMPARE(expectError([&] { store.createCredentials(credentials(QStringLiteral("y"))); }).code(), qint64(-25295));
    QCOMPARE(expectError([&] { store.clearCredentials(); }).code(), qint64(-25295));
    QVERIFY(QFileInfo(item).isSymLink());
    QCOMPARE(DeviceCredentials::decode(readFile(target)).deviceID, QStringLiteral("planted"));
    QFile::remove(item);

    // A keychain directory open to others makes the whole store unavailable.
    QVERIFY(QFile::setPermissions(keychainDirectory(m_home), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                                 | QFileDevice::ExeOwner | QFileDevice::ReadOther
                                                                 | QFileDevice::ExeOther));
    QCOMPARE(keychain->readGenericPassword(KeychainStore::service, KeychainStore::credentialsAccount, data), -25291);
    QVERIFY(QFile::setPermissions(keychainDirectory(m_home),
                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
}

void KeychainBackendsTest::addOnlyHoldsAcrossRacingProcesses_data()
{
    storeSemantics_data();
}

void KeychainBackendsTest::addOnlyHoldsAcrossRacingProcesses()
{
    QFETCH(QString, name);
    // Eight real processes create the broker grant at once: exactly one may succeed.
    QProcessEnvironment env = m_home.environment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"));
    env.insert(QStringLiteral("VELTRO_KEYCHAIN"), name);
    std::vector<std::unique_ptr<QProcess>> processes;
    for (int i = 0; i < 8; ++i) {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(env);
        process->start(QStringLiteral(MORNIX_EXECUTABLE), {QStringLiteral("--broker-grant-create-stdin")});
        QVERIFY(process->waitForStarted());
        processes.push_back(std::move(process));
    }
    for (int i = 0; i < 8; ++i) {
        processes[i]->write("{\"accessToken\":\"bg1.racer" + QByteArray::number(i) + "\",\"refreshToken\":\"sg1."
                            + k43.toLatin1() + "\",\"expiresAt\":5}");
        processes[i]->closeWriteChannel();
    }
    int successes = 0;
    QString winner;
    for (int i = 0; i < 8; ++i) {
        QVERIFY(processes[i]->waitForFinished(30000));
        if (processes[i]->exitCode() == 0) {
            ++successes;
            winner = QStringLiteral("bg1.racer") + QString::number(i);
        }
    }
    QCOMPARE(successes, 1);
    QCOMPARE(KeychainStore(backend(name)).loadBrokerGrant()->accessToken, winner);
}

// The Secret Service that held the items is gone: nothing is made elsewhere, and they are back
// with it.
void KeychainBackendsTest::secretServiceThatGoesAwayIsNeverReplaced()
{
    TemporaryHome home;
    const QString key = publicKey(home, true);
    QVERIFY(key.startsWith(QLatin1String("-----BEGIN PUBLIC KEY-----")));
    QVERIFY(secretServiceHoldsKey());
    QCOMPARE(marker(home), QByteArray("secret-service\n"));
    QCOMPARE(modeOf(markerPath(home)), mode_t(0600));
    QCOMPARE(run(home, true, QStringLiteral("--broker-grant-create-stdin"), kGrant).exitCode, 0);

    // The Secret Service is gone: the items are out of reach, and nothing is made elsewhere.
    const ProcessResult payload = run(home, false, QStringLiteral("--zta-enrollment-payload"));
    QCOMPARE(payload.exitCode, 1);
    QCOMPARE(payload.standardOutput, QByteArray());
    const ProcessResult status = run(home, false, QStringLiteral("--desktop-control-status"));
    QCOMPARE(status.exitCode, 1);  // cannot read the store: not "not enrolled"
    QCOMPARE(status.standardOutput, QByteArray());
    QCOMPARE(run(home, false, QStringLiteral("--broker-grant-read")).exitCode, 1);
    QCOMPARE(run(home, false, QStringLiteral("--broker-grant-update-stdin"), kGrant).exitCode, 1);
    QCOMPARE(fileStoreItems(home), QStringList());
    QCOMPARE(marker(home), QByteArray("secret-service\n"));

    // The running agent stays up, signed out, and says why.
    QProcessEnvironment noBus = environment(home, false);
    AgentProcess agent(noBus);
    QVERIFY(agent.start({QStringLiteral("--desktop-managed")}));
    QVERIFY(agent.waitForLog(QStringLiteral("stored credentials unavailable: Failed to read Keychain item (-25291).")));
    QVERIFY(agent.isRunning());
    QCOMPARE(fileStoreItems(home), QStringList());

    // Back again: the same key and the grant.
    QCOMPARE(publicKey(home, true), key);
    QCOMPARE(QJsonDocument::fromJson(run(home, true, QStringLiteral("--broker-grant-read")).standardOutput),
             QJsonDocument::fromJson(kGrant));
}

// Items in the file store stay there when a Secret Service appears.
void KeychainBackendsTest::fileStoreStaysWhenASecretServiceAppears()
{
    TemporaryHome home;
    const QString key = publicKey(home, false);
    QVERIFY(!key.isEmpty());
    QCOMPARE(marker(home), QByteArray("file\n"));
    QCOMPARE(fileStoreItems(home).size(), 1);
    QCOMPARE(run(home, false, QStringLiteral("--broker-grant-create-stdin"), kGrant).exitCode, 0);

    // A Secret Service is there now: still the file store, no second key anywhere.
    QCOMPARE(publicKey(home, true), key);
    QCOMPARE(QJsonDocument::fromJson(run(home, true, QStringLiteral("--broker-grant-read")).standardOutput),
             QJsonDocument::fromJson(kGrant));
    QVERIFY(!secretServiceHoldsKey());
    QVERIFY(!secretServiceHolds({{"class", "generic-password"}, {"service", "ai.veltro.mornix"}}));

    // Items an earlier version left in the file store, without a marker, stay where they are.
    QVERIFY(QFile::remove(markerPath(home)));
    QCOMPARE(publicKey(home, true), key);
    QVERIFY(!secretServiceHoldsKey());
    QCOMPARE(marker(home), QByteArray("file\n"));
}

void KeychainBackendsTest::unreadableMarkerCreatesNothing()
{
    TemporaryHome home;
    QVERIFY(QDir().mkpath(home.dataHome() + QStringLiteral("/VeltroMornix")));
    // A backend name this program does not know, a marker open to others, a FIFO.
    for (const auto &[content, mode] : {std::pair<QByteArray, mode_t>{"tpm\n", 0600}, {"file\n", 0606}}) {
        QVERIFY(writeFile(markerPath(home), content));
        QCOMPARE(::chmod(QFile::encodeName(markerPath(home)).constData(), mode), 0);
        QVERIFY2(publicKey(home, true).isEmpty(), content.constData());
    }
    QVERIFY(QFile::remove(markerPath(home)));
    QCOMPARE(::mkfifo(QFile::encodeName(markerPath(home)).constData(), 0600), 0);
    QVERIFY(publicKey(home, true).isEmpty());  // and it does not hang on the FIFO
    QVERIFY(!secretServiceHoldsKey());
    QCOMPARE(fileStoreItems(home), QStringList());
}

void KeychainBackendsTest::unusableModuleWithASecretServiceOnTheBus_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<bool>("softwareKeyWithoutBus");
    // A broken seal or a foreign signer fails the TPM module too: no software key then either.
    QTest::newRow("bundle seal broken") << QStringLiteral("corrupt")
                                        << QStringLiteral("the bundle's code signature is not valid: ") << false;
    QTest::newRow("Secret Service module modified")
        << QStringLiteral("tamper") << QStringLiteral("modified after the bundle was signed: ") << true;
    QTest::newRow("bundle re-signed by team Q6L2SF6YDW")
        << QStringLiteral("resign") << QStringLiteral("the bundle is signed by team \"Q6L2SF6YDW\"") << false;
    QTest::newRow("bundle re-signed as another identifier")
        << QStringLiteral("identifier") << QStringLiteral("the bundle is signed as \"com.example.mornix\"") << false;
}

// The real agent of a bundle whose Secret Service module cannot be used, with gnome-keyring on
// the bus: a new user's key and grant go nowhere, the modes fail, and the agent's log names the
// module and why. The file store is used only once no Secret Service is on the bus.
void KeychainBackendsTest::unusableModuleWithASecretServiceOnTheBus()
{
    QFETCH(QString, fault);
    QFETCH(QString, reason);
    QFETCH(bool, softwareKeyWithoutBus);
    TemporaryHome home;
    const QString bundle = home.path() + QStringLiteral("/VeltroMornix.app");
    QCOMPARE(QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-a"), QStringLiteral(MORNIX_BUNDLE_DIR), bundle}),
             0);
    if (fault == QLatin1String("corrupt"))
        QVERIFY(fixtures::corruptSignature(bundle));
    else if (fault == QLatin1String("tamper"))
        QVERIFY(fixtures::tamper(bundle + QLatin1Char('/') + QLatin1String(secret_service::kModulePath)));
    else if (fault == QLatin1String("resign"))
        QVERIFY(fixtures::sign(bundle, fixtures::kAnthropicTeam));
    else
        QVERIFY(fixtures::sign(bundle, fixtures::kOwnTeam, QStringLiteral("com.example.mornix")));

    const ProcessResult payload = runBundle(bundle, home, true, QStringLiteral("--zta-enrollment-payload"));
    QCOMPARE(payload.exitCode, 1);
    QCOMPARE(payload.standardOutput, QByteArray());
    QCOMPARE(runBundle(bundle, home, true, QStringLiteral("--broker-grant-create-stdin"), kGrant).exitCode, 1);
    QCOMPARE(fileStoreItems(home), QStringList());
    QCOMPARE(marker(home), QByteArray("<none>"));
    QVERIFY(!secretServiceHoldsKey());
    QVERIFY(!secretServiceHolds({{"class", "generic-password"}, {"service", "ai.veltro.mornix"}}));

    // The agent runs signed out and its operational log says which module failed and why.
    const QProcessEnvironment env = environment(home, true);
    QProcess agent;
    agent.setProcessEnvironment(env);
    agent.start(bundle + QStringLiteral("/Contents/MacOS/VeltroMornix"), {QStringLiteral("--desktop-managed")});
    QVERIFY(agent.waitForStarted());
    const AgentProcess log(env);
    QVERIFY2(log.waitForLog(QStringLiteral("the Secret Service module cannot be used: ") + reason),
             qPrintable(log.logText()));
    QVERIFY(log.waitForLog(QStringLiteral("stored credentials unavailable: ")));
    QCOMPARE(agent.state(), QProcess::Running);
    agent.terminate();
    QVERIFY(agent.waitForFinished(10000));
    QCOMPARE(fileStoreItems(home), QStringList());

    // No Secret Service on the bus: the file store is this user's keychain, as far as the TPM
    // module lets a key be made.
    const ProcessResult alone = runBundle(bundle, home, false, QStringLiteral("--zta-enrollment-payload"));
    QCOMPARE(alone.exitCode, softwareKeyWithoutBus ? 0 : 1);
    QCOMPARE(fileStoreItems(home).size(), softwareKeyWithoutBus ? 1 : 0);
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(KeychainBackendsTest)
#include "tst_keychain_backends.moc"
