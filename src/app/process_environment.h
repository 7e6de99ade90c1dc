#pragma once

#include "support/runtime_environment.h"

namespace mornix {

// The process environment as this program uses it, read once by runEntry at start. Thread: main
// thread, before any other thread exists (the C library's environment is not thread-safe).
RuntimeEnvironment readProcessEnvironment();

// Settings for the system libraries that are given only through the environment, set before
// any of them is loaded or any thread starts: TSS2_LOG=all+NONE unless set (the TSS libraries
// log to standard error by default, which would corrupt the command-line modes' output; our own
// messages say what went wrong). Children started later inherit it with the rest.
void setLibraryEnvironment();

}  // namespace mornix
