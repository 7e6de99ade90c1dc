#include "app/device_key_modes.h"

#include "identity/device_enrollment_agent.h"

#include <QFile>

#include <cstdio>

namespace mornix {

std::optional<int> runDeviceKeyModeIfRequested(const Arguments &arguments, const Ports &ports, const Config &config)
{
    const QStringList &values = arguments.values();
    if (values.size() < 2 || !values.at(1).startsWith(QLatin1String("--zta-")))
        return std::nullopt;
    const DeviceEnrollmentAgent agent(
        IdentityPorts{ports.keychain, ports.hardwareKey, ports.hardwareIdentity, ports.postureProbes},
        config.environment.mdmEnrollmentSecret);
    std::fflush(stdout);
    std::fflush(stderr);
    QFile out;
    QFile err;
    out.open(1, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::DontCloseHandle);
    err.open(2, QIODevice::WriteOnly | QIODevice::Unbuffered, QFileDevice::DontCloseHandle);
    return agent.runCLIIfRequested(values, out, err);
}

}  // namespace mornix
