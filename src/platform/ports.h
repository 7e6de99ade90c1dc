#pragma once

#include "platform/bundle.h"
#include "platform/code_signing.h"
#include "platform/process_table.h"
#include "platform/system_log.h"
#include "platform/workspace.h"

#include <memory>

// Every operating-system facility the agent uses, as one bundle of ports. The composition root
// builds the real ones once (platform/linux/linux_ports.h); tests build their own with fakes
// from tests/support. Collaborators take the individual ports they need by constructor.
struct Ports {
    std::shared_ptr<SystemLog> systemLog;
    std::shared_ptr<Bundle> bundle;
    std::shared_ptr<ProcessTable> processTable;
    std::shared_ptr<Workspace> workspace;
    std::shared_ptr<CodeSigning> codeSigning;
};
