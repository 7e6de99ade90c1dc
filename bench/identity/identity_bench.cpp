// Costs of the device-identity operations: canonical JSON and payload hashing, signing and
// public-key export, and credential-store round trips on the file store (and on the Secret
// Service when the session bus offers one; run under dbus-run-session with gnome-keyring).
#include "identity/device_enrollment_agent.h"
#include "identity/keychain_store.h"
#include "platform/linux/keychain/file_keychain.h"
#include "platform/linux/tpm/absent_hardware_key.h"
#include "platform/linux/modules/platform_modules.h"
#include "platform/linux/keychain/secret_service_client.h"
#include "platform/linux/keychain/secret_service_keychain.h"
#include "support/canonical_json.h"
#include "support/config.h"

#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace mornix {

namespace {

class FixedIdentity : public HardwareIdentity {
public:
    std::optional<QString> platformValue(const QString &) const override { return QStringLiteral("C02BENCH"); }
    std::optional<QString> localizedHostName() const override { return QStringLiteral("Bench Mac"); }
};

class FixedPosture : public PostureProbes {
public:
    QString systemIntegrityStatus() override { return QStringLiteral("SecureBoot enabled"); }
    QString diskEncryptionStatus() override { return QStringLiteral("FileVault is Off."); }
};

struct Setup {
    QTemporaryDir dir;
    std::shared_ptr<FileKeychain> keychain = std::make_shared<FileKeychain>(dir.path() + QStringLiteral("/kc"));
    DeviceEnrollmentAgent agent{IdentityPorts{keychain, std::make_shared<AbsentHardwareKey>(),
                                              std::make_shared<FixedIdentity>(), std::make_shared<FixedPosture>()}};
};

Setup &setup()
{
    static Setup s;
    return s;
}

void BM_PayloadHash(benchmark::State &state)
{
    const QJsonObject payload = setup().agent.buildEnrollmentPayload().jsonObject();
    for (auto _ : state)
        benchmark::DoNotOptimize(payloadHash(payload));
}
BENCHMARK(BM_PayloadHash);

void BM_LoadKeyAndSign(benchmark::State &state)
{
    const QByteArray message(200, 'm');
    for (auto _ : state) {
        const DevicePrivateKey key = setup().agent.loadOrCreatePrivateKey();
        benchmark::DoNotOptimize(DeviceEnrollmentAgent::sign(message, key));
    }
}
BENCHMARK(BM_LoadKeyAndSign);

void BM_PublicKeyPEM(benchmark::State &state)
{
    const DevicePrivateKey key = setup().agent.loadOrCreatePrivateKey();
    for (auto _ : state)
        benchmark::DoNotOptimize(DeviceEnrollmentAgent::publicKeyPEM(key));
}
BENCHMARK(BM_PublicKeyPEM);

void BM_SignedRegistrationRequest(benchmark::State &state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(
            setup().agent.buildSignedRegistrationRequest(QStringLiteral("c"), QStringLiteral("n")));
}
BENCHMARK(BM_SignedRegistrationRequest);

DeviceCredentials credentials()
{
    DeviceCredentials c;
    c.apiBaseURL = QStringLiteral("https://localhost:8443");
    c.bearerToken = QString(900, QLatin1Char('t'));
    c.orgID = c.projectID = QStringLiteral("3f0c4d0e-1d2a-4b7e-9a51-0c1e2d3f4a5b");
    c.deviceID = QStringLiteral("device");
    c.deviceSecret = QString(64, QLatin1Char('s'));
    return c;
}

void storeRoundTrip(benchmark::State &state, std::shared_ptr<Keychain> keychain)
{
    const KeychainStore store(std::move(keychain));
    const DeviceCredentials c = credentials();
    for (auto _ : state) {
        store.saveCredentials(c);
        benchmark::DoNotOptimize(store.loadCredentials());
    }
    store.clearCredentials();
}

void BM_FileStoreSaveLoad(benchmark::State &state)
{
    storeRoundTrip(state, setup().keychain);
}
BENCHMARK(BM_FileStoreSaveLoad);

void BM_SecretServiceSaveLoad(benchmark::State &state)
{
    // libsecret from the build's bundle, as the agent loads it.
    const secret_service::Client client(
        PlatformModules::forBuild(QStringLiteral(MORNIX_BUNDLE_DIR), Config::defaults(), nullptr));
    if (!client.running()) {
        state.SkipWithError("no Secret Service on the session bus");
        return;
    }
    storeRoundTrip(state, std::make_shared<SecretServiceKeychain>(client));
}
BENCHMARK(BM_SecretServiceSaveLoad)->Unit(benchmark::kMillisecond);

}  // namespace

}  // namespace mornix

using namespace mornix;

BENCHMARK_MAIN();
