#include "server.h"

#include "command_waker.h"
#include "faults.h"
#include "http_util.h"
#include "releases.h"
#include "routes.h"
#include "state.h"

#include <httplib.h>

#include <netinet/tcp.h>
#include <sys/socket.h>

#include <csignal>
#include <ctime>
#include <cstdio>
#include <memory>
#include <pthread.h>
#include <thread>
#include <vector>

namespace mornix {

namespace devservice {

namespace {

// Worker threads per listening socket. A connection holds a worker while it is open (also
// between keep-alive requests), so the pool is sized well above the waiting-poll limit.
constexpr size_t kWorkerThreads = kMaxWaitingPolls + 32;
constexpr size_t kMaxBodyBytes = 1024 * 1024;

// IMF-fixdate: "Sun, 06 Nov 1994 08:49:37 GMT".
std::string httpDate(std::time_t now)
{
    std::tm utc{};
    gmtime_r(&now, &utc);
    static const char *const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char text[40];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[utc.tm_wday], utc.tm_mday,
                  months[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
    return text;
}

std::unique_ptr<httplib::SSLServer> makeServer(State &state, const ServeOptions &options)
{
    auto server = std::make_unique<httplib::SSLServer>(options.certificatePath.c_str(), options.keyPath.c_str());
    if (!server->is_valid())
        return nullptr;
    server->new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
    // The library's default adds SO_REUSEPORT, which would let a second service share the
    // port and split the traffic; a port in use must be an error instead.
    server->set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        // Accepted connections inherit this: answers leave at once instead of waiting for the
        // client's delayed acknowledgement (Nagle), which costs ~40 ms per exchange.
        setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    });
    server->set_payload_max_length(kMaxBodyBytes);
    // Production front ends keep an idle connection for a minute or more (nginx 75 s, AWS load
    // balancers 60 s); at 5 s every inventory report, 15 s apart, paid a new TLS handshake here.
    server->set_keep_alive_timeout(30);
    // The library closes a connection after 5 requests by default; a production front end keeps
    // it for far more (nginx: 1000), and a client that polls, acknowledges and reports on one
    // connection should not pay a new TLS handshake every few exchanges here either.
    server->set_keep_alive_max_count(1000);
    server->set_read_timeout(10);
    server->set_write_timeout(10);
    server->set_pre_routing_handler([&state](const httplib::Request &req, httplib::Response &res) {
        if (req.method == "POST")  // faulted once the body was read (withFaults)
            return httplib::Server::HandlerResponse::Unhandled;
        try {
            return applyFault(state, req, res);
        } catch (const std::exception &error) {
            std::fprintf(stderr, "veltro-devservice: fault lookup failed: %s\n", error.what());
            return httplib::Server::HandlerResponse::Unhandled;
        }
    });
    // Every error answer has a JSON body; answers that already carry one are left alone.
    server->set_error_handler(
        httplib::Server::HandlerWithResponse([](const httplib::Request &, httplib::Response &res) {
            if (!res.body.empty())
                return httplib::Server::HandlerResponse::Unhandled;
            const bool notFound = res.status == 404;
            sendError(res, HttpError{res.status, notFound ? "not_found" : "bad_request",
                                     notFound ? "no such endpoint" : "request refused"});
            return httplib::Server::HandlerResponse::Handled;
        }));
    server->set_exception_handler([](const httplib::Request &req, httplib::Response &res, std::exception_ptr error) {
        std::string what = "unknown error";
        try {
            std::rethrow_exception(error);
        } catch (const std::exception &e) {
            what = e.what();
        } catch (...) {
        }
        std::fprintf(stderr, "veltro-devservice: %s %s failed: %s\n", req.method.c_str(), req.path.c_str(),
                     what.c_str());
        sendError(res, HttpError{500, "internal_error", "internal error: " + what});
    });
    // Every answer carries the origin server's Date (RFC 9110 §6.6.1): clients measure their
    // clock offset from it.
    server->set_post_routing_handler([](const httplib::Request &, httplib::Response &res) {
        if (!res.has_header("Date"))
            res.set_header("Date", httpDate(std::time(nullptr)));
    });
    server->set_logger([](const httplib::Request &req, const httplib::Response &res) {
        // The target as sent, not the decoded path: what the client actually asked for.
        std::fprintf(stderr, "%s %s %d\n", req.method.c_str(), req.target.c_str(), res.status);
    });
    return server;
}

std::string urlHost(const std::string &host)
{
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

}  // namespace

int runServer(const ServeOptions &options)
{
    // Signals are taken by one thread with sigwait; every other thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    State state(options.stateDirectory);
    CommandWaker waker(state.databasePath(), std::chrono::milliseconds(5));

    // "localhost" serves both loopback families on one port.
    std::vector<std::string> hosts{options.host == "localhost" ? "127.0.0.1" : options.host};
    if (options.host == "localhost")
        hosts.push_back("::1");

    std::vector<std::unique_ptr<httplib::SSLServer>> servers;
    int port = options.port;
    for (const std::string &host : hosts) {
        auto server = makeServer(state, options);
        if (!server) {
            std::fprintf(stderr, "veltro-devservice: cannot load the TLS certificate %s and key %s\n",
                         options.certificatePath.c_str(), options.keyPath.c_str());
            return 1;
        }
        bool bound = false;
        if (port == 0) {
            port = server->bind_to_any_port(host);
            bound = port > 0;
        } else {
            bound = server->bind_to_port(host, port);
        }
        if (!bound) {
            if (!servers.empty())  // the second loopback family is optional
                continue;
            std::fprintf(stderr, "veltro-devservice: cannot listen on %s:%d\n", host.c_str(), options.port);
            return 1;
        }
        servers.push_back(std::move(server));
    }
    // Routes go in once the port is known (the origin names it).
    const std::string publicOrigin = "https://" + urlHost(options.host) + ":" + std::to_string(port);
    for (auto &server : servers) {
        installSignInRoutes(*server, state, publicOrigin);
        installEnrollmentRoutes(*server, state);
        installCommandRoutes(*server, state, waker, options.redeliveryMs);
        installReleaseRoutes(*server, state, publicOrigin);
    }

    std::vector<std::thread> listeners;
    for (auto &server : servers)
        listeners.emplace_back([&server] { server->listen_after_bind(); });
    std::printf("listening on %s\n", publicOrigin.c_str());
    std::fflush(stdout);

    int received = 0;
    sigwait(&stopSignals, &received);
    std::fprintf(stderr, "veltro-devservice: stopping (signal %d)\n", received);
    waker.shutdown();
    for (auto &server : servers)
        server->stop();
    for (auto &listener : listeners)
        listener.join();
    return 0;
}

}  // namespace devservice

}  // namespace mornix
