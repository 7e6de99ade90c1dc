// The broker-grant and control-status modes of the real executable, against the file store and a
// real Secret Service (gnome-keyring on a private session bus).
#include "identity/credential_records.h"
#include "identity/keychain_store.h"
#include "platform/linux/keychain/file_keychain.h"
#include "platform/linux/keychain/secret_service_keychain.h"
#include "secret_service_fixture.h"
#include "support/bundle_modules.h"
#include "support/credentials_builder.h"
#include "support/info_plist_writer.h"
#include "support/process_runner.h"
#include "support/signed_fixtures.h"
#include "support/temporary_home.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

namespace mornix {

class BridgeModesTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    // Every test runs once per store.
    void initTestCase_data()
    {
        QTest::addColumn<QString>("backend");
        QTest::newRow("file") << QStringLiteral("file");
        QTest::newRow("secret-service") << QStringLiteral("secret-service");
    }
    void init();
    void brokerGrantLifecycle();
    void controlStatus();
    void olderCopyRequiresRestart();

private:
    ProcessResult run(const QString &backend, const QStringList &args, const QByteArray &input = {},
                      const QString &executable = QStringLiteral(MORNIX_EXECUTABLE));
    std::shared_ptr<Keychain> keychain(const QString &backend) const;

    TemporaryHome m_home;
    std::unique_ptr<SecretServiceFixture> m_secretService;
};

namespace {
const QByteArray k43(43, 'R');

QByteArray grantJSON(const QByteArray &access, qint64 expiresAt = 99)
{
    return "{\"accessToken\":\"" + access + "\",\"refreshToken\":\"sg1." + k43
           + "\",\"expiresAt\":" + QByteArray::number(expiresAt) + "}";
}

// Our bundle's Info.plist, with VeltroDesktopBridgeProtocol when protocol is valid.
bool writeBundlePlist(const QString &contents, const QVariant &protocol = {},
                      const QString &executable = QStringLiteral("oldcopy"))
{
    fixtures::InfoEntries entries{{QStringLiteral("CFBundleIdentifier"), QStringLiteral("ai.veltro.mornix")},
                                  {QStringLiteral("CFBundleExecutable"), executable}};
    if (protocol.isValid())
        entries.append({QStringLiteral("VeltroDesktopBridgeProtocol"), protocol});
    return fixtures::writeInfoPlist(contents + QStringLiteral("/Info.plist"), entries);
}
}  // namespace

void BridgeModesTest::initTestCase()
{
    QVERIFY(m_home.isValid());
    m_secretService = std::make_unique<SecretServiceFixture>();
    QVERIFY2(m_secretService->isRunning(), qPrintable(m_secretService->error()));
}

void BridgeModesTest::init()
{
    for (const QString &backend : {QStringLiteral("file"), QStringLiteral("secret-service")}) {
        const KeychainStore store(keychain(backend));
        store.clearCredentials();
        store.clearItem(KeychainStore::brokerGrantAccount);
    }
}

std::shared_ptr<Keychain> BridgeModesTest::keychain(const QString &backend) const
{
    if (backend == QLatin1String("file"))
        return std::make_shared<FileKeychain>();
    return std::make_shared<SecretServiceKeychain>(secret_service::Client(buildBundleModules()));
}

ProcessResult BridgeModesTest::run(const QString &backend, const QStringList &args, const QByteArray &input,
                                   const QString &executable)
{
    QProcessEnvironment env = m_home.environment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS"));
    if (!backend.isEmpty())
        env.insert(QStringLiteral("VELTRO_KEYCHAIN"), backend);
    else
        env.remove(QStringLiteral("VELTRO_KEYCHAIN"));
    return runProcess(executable, args, input, env, 30000);
}

void BridgeModesTest::brokerGrantLifecycle()
{
    QFETCH_GLOBAL(QString, backend);
    ProcessResult r = run(backend, {"--broker-grant-read"});
    QCOMPARE(r.exitCode, 1);
    QVERIFY(r.standardOutput.isEmpty());

    r = run(backend, {"--broker-grant-update-stdin"}, grantJSON("bg1.first"));
    QCOMPARE(r.exitCode, 1);  // nothing to update
    r = run(backend, {"--broker-grant-create-stdin"}, grantJSON("bg1.first"));
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.standardOutput.isEmpty() && r.standardError.isEmpty());
    r = run(backend, {"--broker-grant-create-stdin"}, grantJSON("bg1.again"));
    QCOMPARE(r.exitCode, 1);  // add only

    r = run(backend, {"--broker-grant-read", "--desktop-bridge-version"});  // read comes first
    QCOMPARE(r.exitCode, 0);
    QVERIFY(!r.standardOutput.endsWith('\n'));
    QCOMPARE(BrokerGrant::decode(r.standardOutput), (BrokerGrant{"bg1.first", "sg1." + QString::fromLatin1(k43), 99}));

    // Both switches: create wins (and fails, the grant exists); update alone replaces it.
    r = run(backend, {"--broker-grant-update-stdin", "--broker-grant-create-stdin"}, grantJSON("bg1.both"));
    QCOMPARE(r.exitCode, 1);
    r = run(backend, {"--broker-grant-update-stdin"}, grantJSON("bg1.second", 4102444800));
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(KeychainStore(keychain(backend)).loadBrokerGrant()->accessToken, QStringLiteral("bg1.second"));

    // A stored grant that is not valid is not printed.
    QCOMPARE(keychain(backend)->updateGenericPassword(KeychainStore::service, KeychainStore::brokerGrantAccount,
                                                      grantJSON("bg1.bad+char")),
             0);
    r = run(backend, {"--broker-grant-read"});
    QCOMPARE(r.exitCode, 1);
    QVERIFY(r.standardOutput.isEmpty());
}

void BridgeModesTest::controlStatus()
{
    QFETCH_GLOBAL(QString, backend);
    ProcessResult r = run(backend, {"--desktop-control-status"});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.standardOutput, QByteArray("{\"protocol_version\":1,\"enrolled\":false}\n"));

    const DeviceCredentials c = CredentialsBuilder().build();
    KeychainStore(keychain(backend)).createCredentials(c);
    r = run(backend, {"--desktop-control-status"});
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.standardOutput.endsWith("}\n") && r.standardOutput.count('\n') == 1);
    const QJsonObject status = QJsonDocument::fromJson(r.standardOutput).object();
    QCOMPARE(status.value(QStringLiteral("protocol_version")).toInt(), 1);
    QCOMPARE(status.value(QStringLiteral("enrolled")).toBool(), true);
    QCOMPARE(status.value(QStringLiteral("org_id")).toString(), c.orgID);
    QCOMPARE(status.value(QStringLiteral("project_id")).toString(), c.projectID);

    // Credentials that cannot be decoded: status 1, no output, the item stays.
    QCOMPARE(keychain(backend)->updateGenericPassword(KeychainStore::service, KeychainStore::credentialsAccount,
                                                      "{\"x\":1}"),
             0);
    r = run(backend, {"--desktop-control-status"});
    QCOMPARE(r.exitCode, 1);
    QVERIFY(r.standardOutput.isEmpty());
    QCOMPARE(KeychainStore(keychain(backend)).loadItemData(KeychainStore::credentialsAccount),
             std::optional<QByteArray>("{\"x\":1}"));
}

void BridgeModesTest::olderCopyRequiresRestart()
{
    QFETCH_GLOBAL(QString, backend);
    QTemporaryDir dir;
    const QString contents = dir.path() + "/Old Veltro.app/Contents";
    QVERIFY(QDir().mkpath(contents + "/MacOS"));
    QVERIFY(QFile::copy("/bin/sleep", contents + "/MacOS/oldcopy"));
    QVERIFY(writeBundlePlist(contents));
    QProcess old;
    old.start(contents + "/MacOS/oldcopy", {"60"});
    QVERIFY(old.waitForStarted());

    // A running copy of our bundle without the protocol key, or with anything but the integer 1,
    // is older.
    for (const QVariant &protocol : {QVariant(), QVariant(QStringLiteral("1")), QVariant(0)}) {
        QVERIFY(writeBundlePlist(contents, protocol));
        const ProcessResult r = run(backend, {"--desktop-control-status"});
        QCOMPARE(r.exitCode, 0);
        QCOMPARE(r.standardOutput,
                 QByteArray("{\"protocol_version\":1,\"enrolled\":false,\"requires_restart\":true}\n"));
    }
    QVERIFY(writeBundlePlist(contents, 1));
    QCOMPARE(run(backend, {"--desktop-control-status"}).standardOutput,
             QByteArray("{\"protocol_version\":1,\"enrolled\":false}\n"));
    old.kill();
    old.waitForFinished();

    // The process itself is never an older copy, even from a bundle without the protocol key
    // (its executable is the bundle's main one, so it is a running application of the bundle).
    const QString self = dir.path() + "/Self.app/Contents";
    QVERIFY(QDir().mkpath(self + "/MacOS"));
    QVERIFY(QFile::copy(QStringLiteral(MORNIX_EXECUTABLE), self + "/MacOS/VeltroMornix"));
    // With its modules: the Secret Service is reached through one.
    QVERIFY(QDir().mkpath(self + "/PlugIns"));
    const QDir plugIns(QStringLiteral(MORNIX_BUNDLE_DIR "/Contents/PlugIns"));
    for (const QString &module : plugIns.entryList(QDir::Files))
        QVERIFY(QFile::copy(plugIns.filePath(module), self + "/PlugIns/" + module));
    QVERIFY(writeBundlePlist(self, {}, QStringLiteral("VeltroMornix")));
    // Sealed by our own team: modules load only from such a bundle.
    QVERIFY(fixtures::sign(dir.path() + "/Self.app", fixtures::kOwnTeam));
    const ProcessResult r = run(backend, {"--desktop-control-status"}, {}, self + "/MacOS/VeltroMornix");
    QCOMPARE(r.standardOutput, QByteArray("{\"protocol_version\":1,\"enrolled\":false}\n"));
}

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(BridgeModesTest)
#include "tst_bridge_modes.moc"
