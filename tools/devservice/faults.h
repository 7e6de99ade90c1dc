#pragma once

#include "state.h"

#include <httplib.h>

#include <optional>
#include <string>
#include <vector>

namespace mornix {

namespace devservice {

// The endpoints faults can be set on, by short name (also accepted: the path).
struct Endpoint {
    const char *name;
    const char *method;
    const char *path;  // "{id}" stands for a command id
};
const std::vector<Endpoint> &endpoints();
// The endpoint name for an admin argument (a name or a path); nullopt when unknown.
std::optional<std::string> endpointNamed(const std::string &nameOrPath);

struct FaultSetting {
    int status = 0;  // 0: answer normally (after the delay)
    int count = 1;   // requests affected; 0: every request until cleared
    int delayMs = 0;
    bool malformed = false;
    std::string message;      // the refusal's message with --status (empty: the default text)
    std::string oauthError;   // authorize: redirect to the callback with this error and the state
    std::string claimStatus;  // claim-status: the verified claim answered with this status, no credentials
    std::string ackStatus;    // ack: only acknowledgements whose body has this "status" (empty: every one)
};

void setFault(Database &db, const std::string &endpoint, const FaultSetting &fault);
void clearFaults(Database &db);

// Consumes one use of a fault set on the request's endpoint, waits its delay, and answers with
// its status or a malformed body. Handled when it answered. Requests without a body get it as
// the server's pre-routing step; POST routes get it through withFaults, once their body was read
// (a fault answered before that would leave the body to be parsed as the next request).
httplib::Server::HandlerResponse applyFault(State &state, const httplib::Request &req, httplib::Response &res);
httplib::Server::Handler withFaults(State &state, httplib::Server::Handler handler);

// The claim status a fault on "claim-status" puts in the answer, consuming one use; nullopt
// when none is set. Called by the route once the request has been verified.
std::optional<std::string> takeClaimStatusFault(Database &db);

// Adds the columns of newer fault kinds to a database created before them.
void upgradeFaultsTable(Database &db);

}  // namespace devservice

}  // namespace mornix
