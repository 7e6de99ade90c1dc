// The device's operational endpoints: the next-command long poll, acknowledgements and
// inventory reports. All of them are device-authenticated (bearer token + request signature).
#include "command_waker.h"
#include "device_auth.h"
#include "faults.h"
#include "http_util.h"
#include "routes.h"
#include "util.h"

#include <QJsonDocument>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <regex>
#include <set>

namespace mornix {

namespace devservice {

namespace {

constexpr std::int64_t kMaxTimeoutMs = 60000;
constexpr int kMaxDeliveries = 3;
constexpr int kMaxInventoryInstances = 32;

struct QueuedCommand {
    std::string id;
    std::string body;
};

// Hands out the oldest command that has no outcome acknowledgement yet and was not handed out in
// the last 60 s, at most three times in all.
std::optional<QueuedCommand> takeNextCommand(State &state, const std::string &deviceId, std::int64_t redeliveryMs)
{
    return state.locked([&](Database &db) -> std::optional<QueuedCommand> {
        Transaction transaction(db);
        Statement select(db, "SELECT seq, id, body FROM commands WHERE device_id = ? AND acked = 0 "
                             "AND delivery_count < ? AND (delivered_at IS NULL OR delivered_at < ?) "
                             "ORDER BY seq LIMIT 1");
        select.bind(1, deviceId).bind(2, kMaxDeliveries).bind(3, nowMs() - redeliveryMs);
        if (!select.step())
            return std::nullopt;
        QueuedCommand command{select.text(1), select.text(2)};
        Statement update(db, "UPDATE commands SET delivered_at = ?, delivery_count = delivery_count + 1 WHERE seq = ?");
        update.bind(1, nowMs()).bind(2, select.integer(0)).run();
        transaction.commit();
        return command;
    });
}

// The address of a socket, for comparing with a request's remote address.
std::optional<std::pair<std::string, int>> peerOf(int fd)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return std::nullopt;
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(&address);
        ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        return std::make_pair(std::string(text), int(ntohs(in->sin_port)));
    }
    if (address.ss_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&address);
        ::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
        return std::make_pair(std::string(text), int(ntohs(in6->sin6_port)));
    }
    return std::nullopt;
}

// Whether the client of a waiting request has gone: no open connection from its address and
// port remains, or the peer has closed or reset it. (The HTTP library does not hand handlers
// their socket; the process's own descriptors are searched for it.) A poll whose client has
// gone must not take a command: nobody would receive it.
bool clientGone(const httplib::Request &req)
{
    DIR *fds = ::opendir("/proc/self/fd");
    if (!fds)
        return false;  // cannot tell: assume the client is there
    bool found = false;
    bool closed = false;
    while (const dirent *entry = ::readdir(fds)) {
        char *end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0')
            continue;
        const auto peer = peerOf(int(fd));
        if (!peer || peer->second != req.remote_port || peer->first != req.remote_addr)
            continue;
        found = true;
        pollfd probe{int(fd), POLLIN | POLLRDHUP, 0};
        if (::poll(&probe, 1, 0) > 0 && (probe.revents & (POLLRDHUP | POLLHUP | POLLERR)))
            closed = true;
        break;
    }
    ::closedir(fds);
    return !found || closed;
}

// When the next command that was handed out without an outcome may be handed out again; a
// waiting poll wakes then (nothing in the database changes at that moment).
std::optional<std::int64_t> nextRedeliveryMs(State &state, const std::string &deviceId, std::int64_t redeliveryMs)
{
    return state.locked([&](Database &db) -> std::optional<std::int64_t> {
        Statement select(db, "SELECT MIN(delivered_at) FROM commands WHERE device_id = ? AND acked = 0 "
                             "AND delivery_count > 0 AND delivery_count < ?");
        select.bind(1, deviceId).bind(2, kMaxDeliveries);
        if (!select.step() || select.isNull(0))
            return std::nullopt;
        return select.integer(0) + redeliveryMs;
    });
}

std::int64_t queryInteger(const httplib::Request &req, const char *name, std::optional<std::int64_t> fallback)
{
    if (!req.has_param(name)) {
        if (!fallback)
            refuse(400, "invalid_request", std::string("missing query parameter: ") + name);
        return *fallback;
    }
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

// The command id of an acknowledgement path exactly as sent: one segment between
// "/api/desktop/commands/" and "/ack", percent-decoded once. (The library's own path is
// decoded already, so an encoded "/" inside an id would look like a segment boundary there.)
std::string ackCommandId(const httplib::Request &req)
{
    static const std::string prefix = "/api/desktop/commands/";
    static const std::string suffix = "/ack";
    const std::string path = req.target.substr(0, req.target.find('?'));
    if (path.size() <= prefix.size() + suffix.size() || path.rfind(prefix, 0) != 0
        || path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0)
        refuse(404, "not_found", "no such endpoint");
    const std::string segment = path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
    if (segment.find('/') != std::string::npos)
        refuse(404, "not_found", "no such endpoint");
    const auto id = percentDecode(segment);
    if (!id || id->empty() || *id == "." || *id == "..")
        refuse(400, "invalid_request", "malformed command id in the path");
    return *id;
}

void handleAck(State &state, const httplib::Request &req, httplib::Response &res)
{
    const std::string commandId = ackCommandId(req);
    const AuthenticatedDevice device = authenticateDevice(state, req);
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
    // The HTTP library hands header values over percent-decoded; the body's key (which holds the
    // raw command id, '%' included) is compared in the same form.
    if (*headerKey != httplib::detail::decode_url(key, false))
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
        const bool seen = existing.step();
        if (seen && existing.text(0) != bodyHash)
            refuse(409, "idempotency_conflict", "idempotency key reused with a different body");
        // Only an outcome ends the command; after a mere "received" it is handed out again.
        if (status != "received") {
            Statement acked(db, "UPDATE commands SET acked = 1 WHERE id = ? AND device_id = ?");
            acked.bind(1, commandId).bind(2, device.id).run();
        }
        if (seen) {
            transaction.commit();
            return true;
        }
        Statement insert(db, "INSERT INTO acks (command_id, device_id, status, message, payload, idempotency_key, "
                             "body_hash, received_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
        insert.bind(1, commandId)
            .bind(2, device.id)
            .bind(3, status)
            .bind(4, message)
            .bind(5, QJsonDocument(payload).toJson(QJsonDocument::Compact).toStdString())
            .bind(6, key)
            .bind(7, bodyHash)
            .bind(8, nowMs())
            .run();
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
    static const std::set<std::pair<std::string, std::string>> products{{"claude-desktop", "application"},
                                                                        {"chatgpt", "application"},
                                                                        {"codex", "application"},
                                                                        {"claude-code", "process"},
                                                                        {"codex", "process"}};
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
    const QJsonArray list = requireArray(body, "instances");
    if (list.size() > kMaxInventoryInstances)
        refuse(400, "invalid_request", "at most 32 instances per report");
    for (const QJsonValue &instance : list)
        validateInstance(instance);
    state.locked([&](Database &db) {
        Transaction transaction(db);
        Statement insert(db, "INSERT INTO inventory_reports (device_id, reported_at, instances) VALUES (?, ?, ?)");
        insert.bind(1, device.id)
            .bind(2, nowMs())
            .bind(3, QJsonDocument(list).toJson(QJsonDocument::Compact).toStdString())
            .run();
        Statement prune(db, "DELETE FROM inventory_reports WHERE device_id = ? AND seq NOT IN "
                            "(SELECT seq FROM inventory_reports WHERE device_id = ? ORDER BY seq DESC LIMIT 50)");
        prune.bind(1, device.id).bind(2, device.id).run();
        transaction.commit();
    });
    sendJson(res, 200, QJsonObject{{"ok", true}, {"count", static_cast<int>(list.size())}});
}

}  // namespace

void installCommandRoutes(httplib::Server &server, State &state, CommandWaker &waker, int redeliveryMs)
{
    static std::atomic<int> waiting{0};
    server.Get("/api/desktop/commands/next",
               guarded([&state, &waker, redeliveryMs](const httplib::Request &req, httplib::Response &res) {
                   const AuthenticatedDevice device = authenticateDevice(state, req);
                   const std::int64_t timeoutMs =
                       std::min(queryInteger(req, "timeout_ms", std::nullopt), kMaxTimeoutMs);
                   if (queryInteger(req, "command_protocol_version", std::nullopt) != 2)
                       refuse(400, "invalid_request", "command_protocol_version must be 2");
                   LongPollSlot slot(waiting, kMaxWaitingPolls);
                   const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
                   for (;;) {
                       const std::uint64_t seen = waker.generation();
                       if (clientGone(req)) {
                           res.status = 204;  // nobody reads it
                           return;
                       }
                       if (const auto command = takeNextCommand(state, device.id, redeliveryMs)) {
                           res.status = 200;
                           res.set_header("Cache-Control", "no-store");
                           res.set_content("{\"command\":" + command->body + "}", "application/json");
                           return;
                       }
                       auto wakeAt = deadline;
                       if (const auto due = nextRedeliveryMs(state, device.id, redeliveryMs))
                           wakeAt = std::min(
                               wakeAt, std::chrono::steady_clock::now()
                                           + std::chrono::milliseconds(std::max<std::int64_t>(*due - nowMs(), 1)));
                       if (std::chrono::steady_clock::now() >= deadline || !waker.waitForChange(seen, wakeAt)) {
                           res.status = 204;
                           return;
                       }
                   }
               }));
    // Any decoded path ending in /ack: the id is taken from the path as sent (ackCommandId).
    server.Post(R"(/api/desktop/commands/(.+)/ack)",
                withFaults(state, guarded([&state](const httplib::Request &req, httplib::Response &res) {
                               handleAck(state, req, res);
                           })));
    server.Post("/api/desktop/agent-instances/report",
                withFaults(state, guarded([&state](const httplib::Request &req, httplib::Response &res) {
                               handleInventory(state, req, res);
                           })));
}

}  // namespace devservice

}  // namespace mornix
