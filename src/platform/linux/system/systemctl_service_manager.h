#pragma once

#include "platform/service_manager.h"

namespace mornix {

// ServiceManager through systemd's user manager: "systemctl --user start NAME.service", found on
// PATH, started detached with its output sent to the null device; nothing waits for it.
// Thread: any.
class SystemctlServiceManager final : public ServiceManager {
public:
    bool start(const QString &name) override;
};

}  // namespace mornix
