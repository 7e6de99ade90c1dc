#pragma once

#include <string>
#include <vector>

namespace mornix {

namespace devservice {

// `admin [--state DIR] [--json] …`: works on the state directory, also while a server runs.
// Writes readable text (or one JSON document with --json) to standard output; failures
// write a message to standard error. Returns the exit status.
int runAdmin(std::vector<std::string> arguments, const std::string &defaultStateDirectory);

}  // namespace devservice

}  // namespace mornix
