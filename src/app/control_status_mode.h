#pragma once

#include "platform/keychain.h"
#include "platform/running_applications.h"

#include <memory>

// A running copy of this program that predates the bridge protocol: bundle identifier
// "ai.veltro.mornix", another process, with a bundle whose Info.plist cannot be read or lacks an
// integer "VeltroDesktopBridgeProtocol" of at least 1.
bool isOlderCopy(const RunningApplications::Application &application, const RunningApplications &applications,
                 qint64 ownPid);

// "--desktop-control-status": requires-restart, enrolled (with org and project) or not enrolled;
// 1 without output when the credential store cannot be read. Thread: main thread.
int runDesktopControlStatus(const RunningApplications &applications, std::shared_ptr<Keychain> keychain);
