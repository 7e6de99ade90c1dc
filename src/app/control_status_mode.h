#pragma once

#include "platform/bundle_reader.h"
#include "platform/keychain.h"
#include "platform/workspace.h"

#include <memory>

namespace mornix {

// A running copy of this program that predates the bridge protocol: bundle identifier
// "ai.veltro.mornix", another process, with a bundle whose Info.plist cannot be read or lacks an
// integer "VeltroDesktopBridgeProtocol" of at least 1.
bool isOlderCopy(const RunningApplication &application, const BundleReader &bundles, qint64 ownPid);

// "--desktop-control-status": requires-restart, enrolled (with org and project) or not enrolled;
// 1 without output when the credential store cannot be read. Thread: main thread.
int runDesktopControlStatus(const Workspace &workspace, const BundleReader &bundles,
                            std::shared_ptr<Keychain> keychain);

}  // namespace mornix
