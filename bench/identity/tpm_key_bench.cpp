// The device key in a TPM next to the software key: creating the key, loading it as a new
// process does, and one signature. The TPM is a software TPM (swtpm) on 127.0.0.1, so the
// figures show the TSS stack and command round trips, not a hardware TPM's (slower) crypto.
#include "identity/device_enrollment_agent.h"
#include "platform/linux/tpm/absent_hardware_key.h"
#include "platform/linux/keychain/file_keychain.h"
#include "platform/linux/tpm/tpm_hardware_key.h"
#include "support/bundle_modules.h"
#include "support/swtpm_process.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

namespace mornix {

namespace {

class FixedIdentity : public HardwareIdentity {
public:
    std::optional<QString> platformValue(const QString &) const override { return QStringLiteral("C02BENCH"); }
    std::optional<QString> localizedHostName() const override { return QStringLiteral("Bench"); }
};

class FixedPosture : public PostureProbes {
public:
    QString systemIntegrityStatus() override { return QStringLiteral("SecureBoot enabled"); }
    QString diskEncryptionStatus() override { return QStringLiteral("unencrypted"); }
};

struct Fixture {
    QTemporaryDir dir;
    SwtpmProcess tpm;
    std::shared_ptr<FileKeychain> tpmKeychain = std::make_shared<FileKeychain>(dir.path() + QStringLiteral("/tpm"));
    std::shared_ptr<FileKeychain> softwareKeychain = std::make_shared<FileKeychain>(dir.path() + QStringLiteral("/sw"));
};

Fixture &fixture()
{
    static Fixture f;
    return f;
}

// A new agent, as a freshly started process has: no key loaded yet.
DeviceEnrollmentAgent agent(bool tpm)
{
    Fixture &f = fixture();
    std::shared_ptr<HardwareKey> hardware;
    if (tpm)
        hardware = std::make_shared<TpmHardwareKey>(f.tpmKeychain, buildBundleModules(), f.tpm.tcti());
    else
        hardware = std::make_shared<AbsentHardwareKey>();
    return DeviceEnrollmentAgent(IdentityPorts{tpm ? f.tpmKeychain : f.softwareKeychain, hardware,
                                               std::make_shared<FixedIdentity>(), std::make_shared<FixedPosture>()});
}

bool ready(benchmark::State &state, bool tpm)
{
    if (tpm && !fixture().tpm.isRunning()) {
        state.SkipWithError(("swtpm is not running: " + fixture().tpm.errorText()).toStdString().c_str());
        return false;
    }
    return true;
}

void BM_CreateKey(benchmark::State &state, bool tpm)
{
    if (!ready(state, tpm))
        return;
    const DeviceEnrollmentAgent device = agent(tpm);
    for (auto _ : state) {
        state.PauseTiming();
        device.clearSigningKey();
        state.ResumeTiming();
        const DevicePrivateKey key = device.loadOrCreatePrivateKey();
        if (DeviceEnrollmentAgent::isSecureEnclaveKey(key) != tpm)
            state.SkipWithError("wrong key kind");
    }
}

void BM_LoadKey(benchmark::State &state, bool tpm)
{
    if (!ready(state, tpm))
        return;
    agent(tpm).loadOrCreatePrivateKey();
    for (auto _ : state) {
        const DeviceEnrollmentAgent device = agent(tpm);
        benchmark::DoNotOptimize(device.loadOrCreatePrivateKey().publicKeyX963());
    }
}

void BM_Sign(benchmark::State &state, bool tpm)
{
    if (!ready(state, tpm))
        return;
    const DeviceEnrollmentAgent device = agent(tpm);
    const DevicePrivateKey key = device.loadOrCreatePrivateKey();
    const QByteArray message("REGISTER\nchallenge\nnonce\n1767225600\nrequest-nonce\n"
                             "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef");
    for (auto _ : state)
        benchmark::DoNotOptimize(DeviceEnrollmentAgent::sign(message, key));
}

BENCHMARK_CAPTURE(BM_CreateKey, tpm, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_CreateKey, software, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LoadKey, tpm, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LoadKey, software, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Sign, tpm, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Sign, software, false)->Unit(benchmark::kMillisecond);

}  // namespace

}  // namespace mornix

using namespace mornix;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
