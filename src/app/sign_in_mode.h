#pragma once

#include "app/arguments.h"
#include "platform/ports.h"
#include "support/config.h"

#include <optional>

namespace mornix {

// --sign-in google|github: the registration flow from a terminal, without a window. The
// authorization URL goes to standard output (and to a browser when one can be opened), each
// status text to standard error as the flow sets it. Exit 0 after "registered …", else 1.
// Holds the enrollment lock like the desktop enrollment and posts "credentials-updated" on
// success. nullopt when the switch is absent.
std::optional<int> runSignInModeIfRequested(const Arguments &arguments, Ports &ports, const Config &config, int &argc,
                                            char **argv);

// --help: a short usage of every switch on standard output; exit 0. nullopt when absent.
std::optional<int> runHelpIfRequested(const Arguments &arguments);

}  // namespace mornix
