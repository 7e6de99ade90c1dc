#pragma once

namespace mornix {

// The program's entry: builds the real ports, runs a command-line mode when one applies,
// otherwise the normal start. Returns the process exit status.
int runEntry(int argc, char **argv);

}  // namespace mornix
