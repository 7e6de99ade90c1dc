// veltro-devservice: the local reference implementation of the Veltro service.
//   serve [--state DIR] [--listen HOST:PORT] [--cert PEM --key PEM] [--redelivery-ms MS]
//   admin [--state DIR] [--json] …   (see admin.cpp)
#include "admin.h"
#include "server.h"
#include "state.h"
#include "util.h"

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#ifndef MORNIX_DEV_PKI_DIR
#error "MORNIX_DEV_PKI_DIR must name the dev PKI directory"
#endif

namespace mornix {

namespace {

const char *const kUsage =
    "usage: veltro-devservice serve [--state DIR] [--listen HOST:PORT] [--cert PEM --key PEM]\n"
    "                               [--redelivery-ms MS]  (default 60000)\n"
    "       veltro-devservice admin [--state DIR] [--json] COMMAND (run 'admin help' for the list)\n";

int usage()
{
    std::fputs(kUsage, stderr);
    return 1;
}

// HOST:PORT, [IPv6]:PORT; port 0 lets the system choose.
bool parseListen(const std::string &text, devservice::ServeOptions &options)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    std::string host = text.substr(0, colon);
    if (host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    const auto port = devservice::parseInteger(text.substr(colon + 1));
    if (host.empty() || !port || *port < 0 || *port > 65535)
        return false;
    options.host = host;
    options.port = static_cast<int>(*port);
    return true;
}

int serve(const std::vector<std::string> &args)
{
    devservice::ServeOptions options;
    options.certificatePath = std::string(MORNIX_DEV_PKI_DIR) + "/localhost.pem";
    options.keyPath = std::string(MORNIX_DEV_PKI_DIR) + "/localhost.key";
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (i + 1 >= args.size())
            return usage();
        const std::string &value = args[++i];
        if (arg == "--state") {
            options.stateDirectory = value;
        } else if (arg == "--listen") {
            if (!parseListen(value, options)) {
                std::fprintf(stderr, "veltro-devservice: --listen wants HOST:PORT, got %s\n", value.c_str());
                return 1;
            }
        } else if (arg == "--cert") {
            options.certificatePath = value;
        } else if (arg == "--key") {
            options.keyPath = value;
        } else if (arg == "--redelivery-ms") {
            const auto ms = devservice::parseInteger(value);
            if (!ms || *ms < 0 || *ms > 86'400'000)
                return usage();
            options.redeliveryMs = static_cast<int>(*ms);
        } else {
            return usage();
        }
    }
    if (options.stateDirectory.empty())
        options.stateDirectory = devservice::defaultStateDirectory();
    return devservice::runServer(options);
}

}  // namespace

}  // namespace mornix

using namespace mornix;

int main(int argc, char **argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty())
        return usage();
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    try {
        if (args[0] == "serve")
            return serve(rest);
        if (args[0] == "admin") {
            std::string fallback;
            try {
                fallback = devservice::defaultStateDirectory();
            } catch (const std::exception &) {
            }
            return devservice::runAdmin(rest, fallback);
        }
    } catch (const std::exception &error) {
        std::fprintf(stderr, "veltro-devservice: %s\n", error.what());
        return 1;
    }
    return usage();
}
