#pragma once

#include "app/doctor_keychain.h"
#include "app/doctor_report.h"
#include "discovery/agent_instance.h"
#include "identity/credential_records.h"
#include "platform/ports.h"
#include "support/config.h"

#include <QList>

#include <memory>
#include <optional>

namespace mornix {

class PlatformModules;

// The local checks of --doctor. Each reads and examines, and changes nothing: no file or
// directory is created, no mode changed, no keychain item written, no lock taken. Every
// function is blocking and may run on any thread unless it says otherwise.
namespace doctor {

// The build label and whether the running bundle's own signature and seal verify.
DoctorCheck checkBuild(const Bundle &bundle, CodeSigning &codeSigning, const QString &argument0);

// One check per sealed module of the bundle: whether it loads. Main thread: the desktop module
// holds Qt widgets, whose initialisers must run there.
QList<DoctorCheck> checkModules(const std::shared_ptr<PlatformModules> &modules);

// The keychain, enrollment and device-key checks, and the credentials read (for the service
// check; never printed).
struct IdentityFindings {
    QList<DoctorCheck> checks;
    std::optional<DeviceCredentials> credentials;
};
IdentityFindings checkIdentity(const DoctorKeychain &keychain, std::shared_ptr<HardwareKey> hardwareKey,
                               std::shared_ptr<HardwareIdentity> hardwareIdentity,
                               std::shared_ptr<PostureProbes> postureProbes);

// The command journal in `directory`: private and writable (examined on O_NOFOLLOW descriptors,
// never written), its records and the outcomes still waiting for the service.
DoctorCheck checkJournal(const QString &directory);

// The process holding the runtime lock `lockPath` (F_GETLK on a read-only descriptor), or none.
DoctorCheck checkRunningAgent(const QString &lockPath);

// A tray host and a notification server on the session bus (each call bounded to a second).
DoctorCheck checkDesktop();

// The verified agent clients running now, by product.
struct ClientFindings {
    DoctorCheck check;
    QList<AgentInstanceReport> reports;
};
ClientFindings checkClients(const Ports &ports);

}  // namespace doctor

}  // namespace mornix
