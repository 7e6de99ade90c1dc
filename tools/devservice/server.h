#pragma once

#include <string>

namespace mornix {

namespace devservice {

struct ServeOptions {
    std::string stateDirectory;
    std::string host = "localhost";
    int port = 8443;
    std::string certificatePath;
    std::string keyPath;
    // A command handed out without an outcome acknowledgement is handed out again after this.
    int redeliveryMs = 60000;
};

// Runs the HTTPS service until SIGINT or SIGTERM. Prints "listening on https://HOST:PORT" as
// its first line on standard output once it accepts connections. Returns the exit status.
int runServer(const ServeOptions &options);

}  // namespace devservice

}  // namespace mornix
