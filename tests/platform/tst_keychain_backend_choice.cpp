// The keychain backend stays where this user's items are, whichever keychain comes and goes
// between runs: the real executable against a real gnome-keyring on a private session bus, and
// the same commands with no session bus at all.
#include "platform/linux/secret_service_client.h"
#include "secret_service_fixture.h"
#include "support/agent_process.h"
#include "support/bundle_modules.h"
#include "support/process_runner.h"
#include "support/temporary_home.h"
#include "support/test_files.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <sys/stat.h>

namespace mornix {

namespace {

const std::string kKeyTag = "ai.veltro.mornix.zta.keychain.signing";
const QByteArray kGrant = "{\"accessToken\":\"bg1.abc\",\"refreshToken\":\"sg1.QQQQQQQQQQQQQQQQQQQQQQQQQQQQQQQQQQQQQQQQQQQ\","
                          "\"expiresAt\":1}";

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

// The device's public key as the enrollment payload reports it (empty on failure).
QString publicKey(const TemporaryHome &home, bool withBus)
{
    const ProcessResult result = run(home, withBus, QStringLiteral("--zta-enrollment-payload"));
    if (result.exitCode != 0)
        return {};
    return QJsonDocument::fromJson(result.standardOutput).object().value(QStringLiteral("secure_enclave_public_key")).toString();
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

void clearSecretService()
{
    std::string error;
    secretService().remove({{"class", "key"}, {"tag", kKeyTag}}, error);
    secretService().remove({{"class", "generic-password"}, {"service", "ai.veltro.mornix"}}, error);
}

}  // namespace

class KeychainBackendChoiceTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init() { clearSecretService(); }
    void secretServiceThatGoesAwayIsNeverReplaced();
    void fileStoreStaysWhenASecretServiceAppears();
    void unreadableMarkerCreatesNothing();

private:
    TemporaryHome m_keyringHome;  // where gnome-keyring keeps its keyrings
    std::unique_ptr<SecretServiceFixture> m_keyring;
};

void KeychainBackendChoiceTest::initTestCase()
{
    QVERIFY(m_keyringHome.isValid());
    m_keyring = std::make_unique<SecretServiceFixture>();
    QVERIFY2(m_keyring->isRunning(), qPrintable(m_keyring->error()));
}

void KeychainBackendChoiceTest::secretServiceThatGoesAwayIsNeverReplaced()
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

void KeychainBackendChoiceTest::fileStoreStaysWhenASecretServiceAppears()
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

void KeychainBackendChoiceTest::unreadableMarkerCreatesNothing()
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

}  // namespace mornix

using namespace mornix;

QTEST_GUILESS_MAIN(KeychainBackendChoiceTest)
#include "tst_keychain_backend_choice.moc"
