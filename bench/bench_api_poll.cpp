// One signed command poll round trip to the local reference service over TLS: URL composition,
// request signature, the pinned session's exchange (on a kept-alive connection) and decoding.
// A command is queued for every poll so the service answers at once instead of holding the
// poll. Reported: the median over 100 polls.
#include "api/api_client.h"
#include "identity/device_enrollment_agent.h"
#include "platform/linux/device/dmi_hardware_identity.h"
#include "platform/linux/tpm/absent_hardware_key.h"
#include "platform/linux/device/sysfs_posture_probes.h"
#include "platform/linux/keychain/selecting_keychain.h"
#include "support/bundle_modules.h"
#include "support/credentials_builder.h"
#include "support/dev_service.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <QTemporaryDir>

#include <QCoroTask>

#include <benchmark/benchmark.h>

#include <cstdio>

namespace mornix {

namespace {

constexpr int kPolls = 100;

struct Fixture {
    QTemporaryDir home;
    DevService service{DevService::Port::ephemeral};
    std::unique_ptr<APIClient> client;
    DeviceCredentials credentials;

    bool start()
    {
        qputenv("HOME", home.path().toUtf8());
        qputenv("XDG_DATA_HOME", home.filePath(QStringLiteral("data")).toUtf8());
        if (!service.start())
            return false;
        const QString baseURL = service.baseURL();

        auto agent = std::make_shared<DeviceEnrollmentAgent>(
            IdentityPorts{std::make_shared<SelectingKeychain>(secret_service::Client(buildBundleModules()),
                                                              SelectingKeychain::Backend::file),
                          std::make_shared<AbsentHardwareKey>(), std::make_shared<DmiHardwareIdentity>(),
                          std::make_shared<SysfsPostureProbes>()});
        client = std::make_unique<APIClient>(makePinnedSession(baseURL, Config::defaults(), nullptr),
                                             APIClient::Collaborators{agent, {}});
        const QString token = service.issueToken().value(QStringLiteral("access_token")).toString();
        const DeviceRegistrationResponse registration = QCoro::waitFor(
            client->registerDevice(baseURL, token, agent->hardwareSerialNumber(), agent->hardwareUUID()));
        credentials = CredentialsBuilder().apiBaseURL(baseURL).registered(
            registration.device_bearer_token, registration.device, registration.device_secret);
        for (int i = 0; i < kPolls + 1; ++i)
            service.admin({QStringLiteral("command"), QStringLiteral("send"), QStringLiteral("--device"),
                           credentials.deviceID, QStringLiteral("--app"), QStringLiteral("claude")});
        // Warm-up: the connection is made and checked once.
        return QCoro::waitFor(client->pollNextCommand(credentials)).has_value();
    }
};

Fixture *fixture = nullptr;

void BM_SignedPollRoundTrip(benchmark::State &state)
{
    for (auto _ : state) {
        const std::optional<KillCommand> command =
            QCoro::waitFor(fixture->client->pollNextCommand(fixture->credentials));
        if (!command)
            state.SkipWithError("the service had no command waiting");
    }
}
BENCHMARK(BM_SignedPollRoundTrip)
    ->Iterations(1)
    ->Repetitions(kPolls)
    ->ReportAggregatesOnly(true)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

}  // namespace mornix

using namespace mornix;

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    Fixture instance;
    try {
        if (!instance.start()) {
            std::fprintf(stderr, "could not prepare the local service\n");
            return 1;
        }
    } catch (const std::exception &error) {
        std::fprintf(stderr, "could not prepare the local service: %s\n", error.what());
        return 1;
    }
    fixture = &instance;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
