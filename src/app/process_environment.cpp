#include "app/process_environment.h"

#include "app/notification_launch.h"

#include <QtGlobal>

namespace mornix {

RuntimeEnvironment readProcessEnvironment()
{
    RuntimeEnvironment environment;
    if (qEnvironmentVariableIsSet("VELTRO_MDM_ENROLLMENT_SECRET"))
        environment.mdmEnrollmentSecret = qEnvironmentVariable("VELTRO_MDM_ENROLLMENT_SECRET");
    environment.keychainBackend = qgetenv("VELTRO_KEYCHAIN");
    environment.tpmTcti = qEnvironmentVariable("VELTRO_TPM_TCTI");
    environment.browser = qEnvironmentVariable("BROWSER");
    environment.notificationLaunch = qgetenv(kNotificationLaunchVariable) == "1";
    environment.display = qgetenv("DISPLAY");
    environment.waylandDisplay = qgetenv("WAYLAND_DISPLAY");
    environment.qpaPlatform = qgetenv("QT_QPA_PLATFORM");
    environment.runtimeDirectory = qgetenv("XDG_RUNTIME_DIR");
    environment.sessionBusAddress = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    return environment;
}

void setLibraryEnvironment()
{
    if (qEnvironmentVariableIsEmpty("TSS2_LOG"))
        qputenv("TSS2_LOG", "all+NONE");
}

}  // namespace mornix
