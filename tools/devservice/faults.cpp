#include "faults.h"

#include "http_util.h"
#include "routes.h"
#include "util.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>
#include <regex>
#include <thread>

namespace mornix {

namespace devservice {

const std::vector<Endpoint> &endpoints()
{
    static const std::vector<Endpoint> list{
        {"public-config", "GET", "/api/public-config"},
        {"authorize", "GET", "/authorize/external"},
        {"token", "POST", "/token"},
        {"auth-token", "POST", "/auth/v1/token"},
        {"register", "POST", "/api/desktop/devices/register"},
        {"logout", "POST", "/api/desktop/devices/logout"},
        {"claims", "POST", "/api/v1/device-claims"},
        {"claim-status", "POST", "/api/v1/device-claims/status"},
        {"commands-next", "GET", "/api/desktop/commands/next"},
        {"ack", "POST", "/api/desktop/commands/{id}/ack"},
        {"inventory", "POST", "/api/desktop/agent-instances/report"},
    };
    return list;
}

namespace {

bool pathMatches(const std::string &pattern, const std::string &path)
{
    const size_t hole = pattern.find("{id}");
    if (hole == std::string::npos)
        return pattern == path;
    const std::string prefix = pattern.substr(0, hole);
    const std::string suffix = pattern.substr(hole + 4);
    if (path.size() <= prefix.size() + suffix.size() || path.rfind(prefix, 0) != 0
        || path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    const std::string id = path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
    return id.find('/') == std::string::npos;
}

}  // namespace

std::optional<std::string> endpointNamed(const std::string &nameOrPath)
{
    for (const Endpoint &endpoint : endpoints()) {
        if (nameOrPath == endpoint.name || pathMatches(endpoint.path, nameOrPath))
            return std::string(endpoint.name);
    }
    return std::nullopt;
}

void upgradeFaultsTable(Database &db)
{
    bool hasMessage = false;
    {
        Statement columns(db, "SELECT name FROM pragma_table_info('faults')");
        while (columns.step())
            hasMessage = hasMessage || columns.text(0) == "message";
    }
    if (!hasMessage) {
        db.exec("ALTER TABLE faults ADD COLUMN message TEXT NOT NULL DEFAULT ''");
        db.exec("ALTER TABLE faults ADD COLUMN oauth_error TEXT NOT NULL DEFAULT ''");
        db.exec("ALTER TABLE faults ADD COLUMN claim_status TEXT NOT NULL DEFAULT ''");
    }
    bool hasAckStatus = false;
    {
        Statement columns(db, "SELECT name FROM pragma_table_info('faults')");
        while (columns.step())
            hasAckStatus = hasAckStatus || columns.text(0) == "ack_status";
    }
    if (!hasAckStatus)
        db.exec("ALTER TABLE faults ADD COLUMN ack_status TEXT NOT NULL DEFAULT ''");
}

void setFault(Database &db, const std::string &endpoint, const FaultSetting &fault)
{
    Statement upsert(db, "INSERT OR REPLACE INTO faults (endpoint, status, remaining, delay_ms, malformed, message, "
                         "oauth_error, claim_status, ack_status) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
    upsert.bind(1, endpoint)
        .bind(2, fault.status)
        .bind(3, fault.count == 0 ? -1 : fault.count)
        .bind(4, fault.delayMs)
        .bind(5, fault.malformed ? 1 : 0)
        .bind(6, fault.message)
        .bind(7, fault.oauthError)
        .bind(8, fault.claimStatus)
        .bind(9, fault.ackStatus)
        .run();
}

namespace {

// Consumes one use of the fault row of an endpoint (the row is read by the caller).
void consumeOne(Database &db, const std::string &endpoint, std::int64_t remaining)
{
    if (remaining == 1) {
        Statement remove(db, "DELETE FROM faults WHERE endpoint = ?");
        remove.bind(1, endpoint).run();
    } else if (remaining > 1) {
        Statement update(db, "UPDATE faults SET remaining = remaining - 1 WHERE endpoint = ?");
        update.bind(1, endpoint).run();
    }
}

}  // namespace

std::optional<std::string> takeClaimStatusFault(Database &db)
{
    Statement select(db, "SELECT claim_status, remaining FROM faults WHERE endpoint = 'claim-status' "
                         "AND claim_status != ''");
    if (!select.step())
        return std::nullopt;
    const std::string status = select.text(0);
    consumeOne(db, "claim-status", select.integer(1));
    return status;
}

void clearFaults(Database &db)
{
    db.exec("DELETE FROM faults");
}

httplib::Server::HandlerResponse applyFault(State &state, const httplib::Request &req, httplib::Response &res)
{
    // The path as sent: a command id's encoded "/" must not split it into segments.
    const std::string rawPath = req.target.substr(0, req.target.find('?'));
    const Endpoint *matched = nullptr;
    for (const Endpoint &endpoint : endpoints()) {
        if (req.method == endpoint.method && pathMatches(endpoint.path, rawPath))
            matched = &endpoint;
    }
    if (!matched)
        return httplib::Server::HandlerResponse::Unhandled;

    const auto fault = state.locked([&](Database &db) -> std::optional<FaultSetting> {
        Transaction transaction(db);
        // A claim-status override is the route's to apply, after it has verified the request.
        Statement select(db, "SELECT status, remaining, delay_ms, malformed, message, oauth_error, ack_status "
                             "FROM faults WHERE endpoint = ? AND claim_status = ''");
        select.bind(1, std::string(matched->name));
        if (!select.step())
            return std::nullopt;
        // A fault for one acknowledgement status leaves the others alone (and is not used up).
        const std::string ackStatus = select.text(6);
        if (!ackStatus.empty()) {
            const QJsonObject body = QJsonDocument::fromJson(QByteArray::fromStdString(req.body)).object();
            if (body.value("status").toString().toStdString() != ackStatus)
                return std::nullopt;
        }
        FaultSetting setting{static_cast<int>(select.integer(0)),
                             0,
                             static_cast<int>(select.integer(2)),
                             select.integer(3) != 0,
                             select.text(4),
                             select.text(5),
                             {},
                             ackStatus};
        consumeOne(db, matched->name, select.integer(1));
        transaction.commit();
        return setting;
    });
    if (!fault)
        return httplib::Server::HandlerResponse::Unhandled;
    if (fault->delayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(fault->delayMs));
    if (!fault->oauthError.empty() && std::string(matched->name) == "authorize") {
        // The provider refused: back to the callback with the error and the request's state.
        res.status = 302;
        res.set_header("Location",
                       std::string(kLoopbackCallback) + "?error=" + percentEncode(fault->oauthError)
                           + "&error_description=" + percentEncode("fault injected by veltro-devservice admin")
                           + "&state=" + percentEncode(req.get_param_value("state")));
        res.set_header("Cache-Control", "no-store");
        return httplib::Server::HandlerResponse::Handled;
    }
    if (fault->malformed) {
        res.status = fault->status ? fault->status : 200;
        res.set_content("{\"command\": {\"id\": \"truncated", "application/json");
        return httplib::Server::HandlerResponse::Handled;
    }
    if (fault->status) {
        if (fault->status == 204 || fault->status == 304)
            res.status = fault->status;
        else
            sendError(res,
                      HttpError{fault->status, "injected_fault",
                                fault->message.empty() ? "fault injected by veltro-devservice admin" : fault->message});
        return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
}

httplib::Server::Handler withFaults(State &state, httplib::Server::Handler handler)
{
    return [&state, handler = std::move(handler)](const httplib::Request &req, httplib::Response &res) {
        if (applyFault(state, req, res) == httplib::Server::HandlerResponse::Handled)
            return;
        handler(req, res);
    };
}

}  // namespace devservice

}  // namespace mornix
