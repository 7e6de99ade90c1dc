#pragma once

#include "platform/bundle.h"
#include "platform/bundle_reader.h"
#include "platform/code_signing.h"
#include "platform/device_terms.h"
#include "platform/distributed_notifications.h"
#include "platform/login_item.h"
#include "platform/hardware_identity.h"
#include "platform/hardware_key.h"
#include "platform/keychain.h"
#include "platform/posture_probes.h"
#include "platform/process_table.h"
#include "platform/service_manager.h"
#include "platform/socket_owners.h"
#include "platform/system_log.h"
#include "platform/user_defaults.h"
#include "platform/user_notifications.h"
#include "platform/workspace.h"

#include <memory>

namespace mornix {

// Every operating-system facility the agent uses, as one bundle of ports. The composition root
// builds the real ones once (platform/linux/linux_ports.h); tests build their own with fakes
// from tests/support. Collaborators take the individual ports they need by constructor.
struct Ports {
    std::shared_ptr<SystemLog> systemLog;
    std::shared_ptr<Bundle> bundle;
    std::shared_ptr<DistributedNotifications> distributedNotifications;
    std::shared_ptr<LoginItem> loginItem;
    std::shared_ptr<Keychain> keychain;
    std::shared_ptr<HardwareKey> hardwareKey;
    std::shared_ptr<HardwareIdentity> hardwareIdentity;
    std::shared_ptr<PostureProbes> postureProbes;
    std::shared_ptr<BundleReader> bundleReader;
    std::shared_ptr<ProcessTable> processTable;
    std::shared_ptr<Workspace> workspace;
    std::shared_ptr<CodeSigning> codeSigning;
    std::shared_ptr<UserNotifications> userNotifications;
    std::shared_ptr<ServiceManager> serviceManager;
    std::shared_ptr<SocketOwners> socketOwners;
    std::shared_ptr<DeviceTerms> deviceTerms;  // words for the interface only
    std::shared_ptr<UserDefaults> userDefaults;
};

}  // namespace mornix
