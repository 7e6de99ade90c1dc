#pragma once

#include "app/arguments.h"
#include "platform/keychain.h"

#include <memory>

namespace mornix {

// "--broker-grant-read": prints the stored, valid grant as raw JSON; 1 when absent, invalid or
// unreadable.
int runBrokerGrantRead(std::shared_ptr<Keychain> keychain);
// "--broker-grant-create-stdin" / "--broker-grant-update-stdin": one grant JSON on standard
// input (at most 32768 bytes); create when the create switch is present, else update.
// Prints nothing. Thread: main thread.
int runBrokerGrantWrite(const Arguments &arguments, std::shared_ptr<Keychain> keychain);

}  // namespace mornix
