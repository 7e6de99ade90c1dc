#pragma once

#include "state.h"

#include <httplib.h>

#include <string>
#include <vector>

namespace mornix {

namespace devservice {

// Releases of the companion desktop application for the updater: an appcast (RSS with
// sparkle enclosures) at GET /appcast.xml and the archives at GET /releases/VERSION.EXT (EXT:
// tar, tar.gz, tar.xz or zip, from the published file's name, or another one for tests), each
// signed with the service's release key (Ed25519, generated once into the state directory as
// release-ed25519.pem, 0600). For tests a release can be published with a bad signature, be
// served truncated or slowly, be listed without a signature or with another length; the feed
// can redirect to plain http; and the feed or every archive can be answered with an endless
// 404 or an endless trickle.
void installReleaseRoutes(httplib::Server &server, State &state, const std::string &publicOrigin);

// `admin release ...`: key | publish | list | clear | redirect-http on|off | fault. Prints like the
// other admin commands (JSON with --json). Throws std::runtime_error on a usage or state error.
void runReleaseAdmin(State &state, const std::vector<std::string> &args, bool json);

// The Base64 of the raw 32-byte public key (an SUPublicEDKey value).
std::string releasePublicKeyBase64(State &state);

}  // namespace devservice

}  // namespace mornix
