#pragma once

#include "state.h"

#include <httplib.h>

namespace mornix {

namespace devservice {

class CommandWaker;

// Registration, claims, claim status, logout.
void installEnrollmentRoutes(httplib::Server &server, State &state);
// Next command (long poll), acknowledgements, inventory reports.
// At most kMaxWaitingPolls requests wait at once (503 beyond), so waiting polls can never
// occupy every worker thread.
inline constexpr int kMaxWaitingPolls = 96;
// A command handed out without an outcome is handed out again after redeliveryMs, three times
// at most.
void installCommandRoutes(httplib::Server &server, State &state, CommandWaker &waker, int redeliveryMs);
// Public configuration, OAuth authorize and token, the hosted provider's token endpoint.
// publicOrigin names this server when a request's Host header is unusable.
void installSignInRoutes(httplib::Server &server, State &state, const std::string &publicOrigin);

inline constexpr const char *kRedirectURI = "veltro-mornix://oauth/callback";
inline constexpr const char *kLoopbackCallback = "http://127.0.0.1:53682/oauth/callback";

}  // namespace devservice

}  // namespace mornix
