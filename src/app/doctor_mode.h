#pragma once

#include "app/arguments.h"
#include "platform/ports.h"
#include "support/config.h"

#include <optional>

namespace mornix {

// "--doctor" ["--json"]: a health report of every moving part, one line per check ("ok" or
// "problem" and a short detail), or one JSON document with --json. Exit 0 when every check
// passed, 1 otherwise. It reads and checks and changes nothing (no file, no keychain write, no
// lock), prints no secret and no answer body, and is bounded: the network check within
// kServiceBound, the blocking local checks within kLocalBound each.
// nullopt when "--doctor" is not present.
std::optional<int> runDoctorIfRequested(const Arguments &arguments, const Ports &ports, const Config &config, int &argc,
                                        char **argv);

}  // namespace mornix
