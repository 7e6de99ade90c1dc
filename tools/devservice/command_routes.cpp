// The device's operational endpoints: the next-command long poll, acknowledgements and
// inventory reports. All of them are device-authenticated (bearer token + request signature).
#include "command_waker.h"
#include "device_auth.h"
#include "http_util.h"
#include "routes.h"
#include "util.h"

#include <QJsonDocument>

#include <atomic>
#include <regex>
#include <set>

namespace devservice {

namespace {

constexpr std::int64_t kMaxTimeoutMs = 60000;
constexpr std::int64_t kRedeliveryMs = 60000;  // a delivered, unacknowledged command comes back
constexpr int kMaxDeliveries = 3;
constexpr int kMaxInventoryInstances = 32;

struct QueuedCommand {
    std::string id;
    std::string body;
};

// Hands out the oldest command that is neither acknowledged nor delivered recently.
std::optional<QueuedCommand> takeNextCommand(State &state, const std::string &deviceId)
{
    return state.locked([&](Database &db) -> std::optional<QueuedCommand> {
        Transaction transaction(db);
        Statement select(db, "SELECT seq, id, body FROM commands WHERE device_id = ? AND acked = 0 "
                             "AND delivery_count < ? AND (delivered_at IS NULL OR delivered_at < ?) "
                             "ORDER BY seq LIMIT 1");
        select.bind(1, deviceId).bind(2, kMaxDeliveries).bind(3, nowMs() - kRedeliveryMs);
        if (!select.step())
            return std::nullopt;
        QueuedCommand command{select.text(1), select.text(2)};
        Statement update(db, "UPDATE commands SET delivered_at = ?, delivery_count = delivery_count + 1 WHERE seq = ?");
        update.bind(1, nowMs()).bind(2, select.integer(0)).run();
        transaction.commit();
        return command;
    });
}

std::int64_t queryInteger(const httplib::Request &req, const char *name, std::int64_t fallback)
{
    if (!req.has_param(name))
        return fallback;
    if (req.get_param_value_count(name) > 1)
        refuse(400, "invalid_request", std::string("query parameter repeated: ") + name);
    const auto value = parseInteger(req.get_param_value(name));
    if (!value || *value < 0)
        refuse(400, "invalid_request", std::string("query parameter must be a non-negative integer: ") + name);
    return *value;
}

class LongPollSlot {
public:
    LongPollSlot(std::atomic<int> &counter, int limit)
        : m_counter(counter)
    {
        if (m_counter.fetch_add(1) >= limit) {
            m_counter.fetch_sub(1);
            refuse(503, "busy", "too many waiting requests; retry later");
        }
    }
    ~LongPollSlot() { m_counter.fetch_sub(1); }

private:
    std::atomic<int> &m_counter;
};

bool isLowerHex(const std::string &text)
{
    return !text.empty() && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

void handleAck(State &state, const httplib::Request &req, httplib::Response &res)
{
    const AuthenticatedDevice device = authenticateDevice(state, req);
    const std::string commandId = req.matches[1];
    const QJsonObject body = requireJsonObject(req);
    const std::string status = requireString(body, "status");
    static const std::set<std::string> statuses{"received", "executed", "failed", "ignored"};
    if (!statuses.count(status))
        refuse(400, "invalid_request", "status must be one of received, executed, failed, ignored");
    const std::string message = requireString(body, "message");
    if (userPerceivedLength(message) > 4000)
        refuse(400, "invalid_request", "message longer than 4000 characters");
    const QJsonObject payload = requireObject(body, "payload");
    const std::string key = requireString(body, "idempotency_key");
    const auto headerKey = singleHeader(req, "X-Idempotency-Key");
    if (!headerKey)
        refuse(400, "invalid_request", "missing X-Idempotency-Key header");
    if (*headerKey != key)
        refuse(400, "idempotency_key_mismatch", "X-Idempotency-Key header and body idempotency_key differ");
    const std::string prefix = "ack-" + commandId + "-" + device.id + "-" + status + "-";
    if (key.rfind(prefix, 0) != 0 || key.size() != prefix.size() + 16 || !isLowerHex(key.substr(prefix.size())))
        refuse(400, "invalid_idempotency_key",
               "idempotency_key must be ack-<command id>-<device id>-<status>-<16 hex digits>");

    const std::string bodyHash = sha256Hex(req.body);
    const bool duplicate = state.locked([&](Database &db) {
        Transaction transaction(db);
        Statement command(db, "SELECT 1 FROM commands WHERE id = ? AND device_id = ?");
        command.bind(1, commandId).bind(2, device.id);
        if (!command.step())
            refuse(404, "not_found", "command not found");
        Statement existing(db, "SELECT body_hash FROM acks WHERE command_id = ? AND idempotency_key = ?");
        existing.bind(1, commandId).bind(2, key);
        if (existing.step()) {
            if (existing.text(0) != bodyHash)
                refuse(409, "idempotency_conflict", "idempotency key reused with a different body");
            return true;
        }
        Statement insert(db, "INSERT INTO acks (command_id, device_id, status, message, payload, idempotency_key, "
                             "body_hash, received_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
        insert.bind(1, commandId).bind(2, device.id).bind(3, status).bind(4, message)
            .bind(5, QJsonDocument(payload).toJson(QJsonDocument::Compact).toStdString()).bind(6, key)
            .bind(7, bodyHash).bind(8, nowMs()).run();
        Statement acked(db, "UPDATE commands SET acked = 1 WHERE id = ?");
        acked.bind(1, commandId).run();
        transaction.commit();
        return false;
    });
    sendJson(res, 200, QJsonObject{{"ok", true}, {"duplicate", duplicate}});
}

void validateInstance(const QJsonValue &value)
{
    if (!value.isObject())
        refuse(400, "invalid_request", "each instance must be an object");
    const QJsonObject instance = value.toObject();
    static const std::regex idPattern("^local_[0-9a-f]{64}$");
    if (!std::regex_match(requireString(instance, "local_instance_id"), idPattern))
        refuse(400, "invalid_request", "local_instance_id must be local_ followed by 64 lower-case hex digits");
    const std::string product = requireString(instance, "product");
    const std::string kind = requireString(instance, "kind");
    static const std::set<std::pair<std::string, std::string>> products{
        {"claude-desktop", "application"}, {"chatgpt", "application"}, {"codex", "application"},
        {"claude-code", "process"}, {"codex", "process"}};
    if (!products.count({product, kind}))
        refuse(400, "invalid_request", "unknown product and kind: " + product + "/" + kind);
    const auto bundleId = optionalString(instance, "bundle_id");
    if ((kind == "application") != bundleId.has_value())
        refuse(400, "invalid_request", "bundle_id is required for applications and absent for processes");
}

void handleInventory(State &state, const httplib::Request &req, httplib::Response &res)
{
    const AuthenticatedDevice device = authenticateDevice(state, req);
    const QJsonObject body = requireJsonObject(req);
    const QJsonValue instances = body.value("instances");
    if (!instances.isArray())
        refuse(400, "invalid_request", "missing or invalid field: instances");
    const QJsonArray list = instances.toArray();
    if (list.size() > kMaxInventoryInstances)
        refuse(400, "invalid_request", "at most 32 instances per report");
    for (const QJsonValue &instance : list)
        validateInstance(instance);
    state.locked([&](Database &db) {
        Transaction transaction(db);
        Statement insert(db, "INSERT INTO inventory_reports (device_id, reported_at, instances) VALUES (?, ?, ?)");
        insert.bind(1, device.id).bind(2, nowMs())
            .bind(3, QJsonDocument(list).toJson(QJsonDocument::Compact).toStdString()).run();
        Statement prune(db, "DELETE FROM inventory_reports WHERE device_id = ? AND seq NOT IN "
                            "(SELECT seq FROM inventory_reports WHERE device_id = ? ORDER BY seq DESC LIMIT 50)");
        prune.bind(1, device.id).bind(2, device.id).run();
        transaction.commit();
    });
    sendJson(res, 200, QJsonObject{{"ok", true}, {"count", static_cast<int>(list.size())}});
}

}  // namespace

void installCommandRoutes(httplib::Server &server, State &state, CommandWaker &waker)
{
    static std::atomic<int> waiting{0};
    server.Get("/api/desktop/commands/next", guarded([&state, &waker](const httplib::Request &req, httplib::Response &res) {
        const AuthenticatedDevice device = authenticateDevice(state, req);
        const std::int64_t timeoutMs = std::min(queryInteger(req, "timeout_ms", 20000), kMaxTimeoutMs);
        queryInteger(req, "command_protocol_version", 1);
        LongPollSlot slot(waiting, kMaxWaitingPolls);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const std::uint64_t seen = waker.generation();
            if (const auto command = takeNextCommand(state, device.id)) {
                res.status = 200;
                res.set_header("Cache-Control", "no-store");
                res.set_content("{\"command\":" + command->body + "}", "application/json");
                return;
            }
            if (std::chrono::steady_clock::now() >= deadline || !waker.waitForChange(seen, deadline)) {
                res.status = 204;
                return;
            }
        }
    }));
    server.Post(R"(/api/desktop/commands/([^/]+)/ack)",
                guarded([&state](const httplib::Request &req, httplib::Response &res) { handleAck(state, req, res); }));
    server.Post("/api/desktop/agent-instances/report",
                guarded([&state](const httplib::Request &req, httplib::Response &res) { handleInventory(state, req, res); }));
}

}  // namespace devservice
