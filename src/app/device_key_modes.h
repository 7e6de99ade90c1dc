#pragma once

#include "app/arguments.h"
#include "platform/ports.h"
#include "support/config.h"

#include <optional>

namespace mornix {

// Switch 12: hands the whole argument list to DeviceEnrollmentAgent::runCLIIfRequested;
// nullopt when none of its "--zta-*" modes is at index 1. Thread: main thread.
std::optional<int> runDeviceKeyModeIfRequested(const Arguments &arguments, const Ports &ports, const Config &config);

}  // namespace mornix
