#include "admin.h"

#include "devices.h"
#include "faults.h"
#include "releases.h"
#include "state.h"
#include "tokens.h"
#include "util.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <cstdio>
#include <map>
#include <set>
#include <stdexcept>

namespace mornix {

namespace devservice {

namespace {

constexpr std::int64_t kInviteSeconds = 7 * 24 * 3600;

// A usage or state problem reported on standard error with exit status 1.
struct AdminError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

QString q(const std::string &text)
{
    return QString::fromStdString(text);
}

QJsonValue jsonOrText(const std::string &text)
{
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(text));
    if (document.isObject())
        return document.object();
    if (document.isArray())
        return document.array();
    return q(text);
}

const std::map<std::string, std::vector<std::string>> &families()
{
    static const std::map<std::string, std::vector<std::string>> map{
        {"claude", {"com.anthropic.claude", "com.anthropic.claudefordesktop", "com.anthropic.claudedesktop"}},
        {"chatgpt", {"com.openai.chatgpt", "com.openai.chat", "com.openai.codex"}},
        {"codex", {"com.openai.codex"}},
    };
    return map;
}

// The arguments after the subcommand words: options with values, repeatable ones, flags.
class Options {
public:
    Options(const std::vector<std::string> &args, size_t first, const std::vector<std::string> &withValue,
            const std::vector<std::string> &flags)
    {
        for (size_t i = first; i < args.size(); ++i) {
            const std::string &arg = args[i];
            if (std::find(flags.begin(), flags.end(), arg) != flags.end()) {
                m_values[arg].push_back("");
            } else if (std::find(withValue.begin(), withValue.end(), arg) != withValue.end()) {
                if (i + 1 >= args.size())
                    throw AdminError(arg + " needs a value");
                m_values[arg].push_back(args[++i]);
            } else if (arg.rfind("--", 0) == 0) {
                throw AdminError("unknown option " + arg);
            } else {
                m_positional.push_back(arg);
            }
        }
    }
    bool has(const std::string &name) const { return m_values.count(name) > 0; }
    std::string value(const std::string &name) const
    {
        const auto it = m_values.find(name);
        if (it == m_values.end())
            throw AdminError("missing option " + name);
        if (it->second.size() > 1)
            throw AdminError("option given twice: " + name);
        return it->second.front();
    }
    std::vector<std::string> values(const std::string &name) const
    {
        const auto it = m_values.find(name);
        return it == m_values.end() ? std::vector<std::string>{} : it->second;
    }
    const std::vector<std::string> &positional() const { return m_positional; }

private:
    std::map<std::string, std::vector<std::string>> m_values;
    std::vector<std::string> m_positional;
};

int parseNumber(const std::string &text, const char *option, int min, int max)
{
    const auto value = parseInteger(text);
    if (!value || *value < min || *value > max)
        throw AdminError(std::string(option) + " must be a number from " + std::to_string(min) + " to "
                         + std::to_string(max));
    return static_cast<int>(*value);
}

struct Output {
    bool json = false;
    void print(const QJsonObject &document, const std::string &text) const
    {
        const std::string out = json ? QJsonDocument(document).toJson(QJsonDocument::Compact).toStdString() : text;
        std::fwrite(out.data(), 1, out.size(), stdout);
        if (!out.empty() && out.back() != '\n')
            std::fputc('\n', stdout);
    }
};

void expectNoPositional(const Options &options)
{
    if (!options.positional().empty())
        throw AdminError("unexpected argument " + options.positional().front());
}

// --- subcommands ----------------------------------------------------------------------------

void tokenIssue(State &state, const Output &out)
{
    const DevIdentity &identity = state.identity();
    const std::string token =
        state.locked([&](Database &db) { return issueAccessToken(db, identity.userId, "admin", kAdminTokenSeconds); });
    out.print(
        QJsonObject{{"access_token", q(token)}, {"org_id", q(identity.orgId)}, {"project_id", q(identity.projectId)}},
        token);
}

void inviteCreate(State &state, const Output &out)
{
    const DevIdentity &identity = state.identity();
    const std::string code = randomInviteCode();
    const std::int64_t expires = nowSeconds() + kInviteSeconds;
    state.locked([&](Database &db) {
        Statement insert(
            db, "INSERT INTO invites (code, org_id, project_id, created_at, expires_at) VALUES (?, ?, ?, ?, ?)");
        insert.bind(1, code)
            .bind(2, identity.orgId)
            .bind(3, identity.projectId)
            .bind(4, nowSeconds())
            .bind(5, expires)
            .run();
    });
    out.print(QJsonObject{{"invite_code", q(code)}, {"expires_at", q(isoUtc(expires * 1000))}}, code);
}

void claimsList(State &state, const Output &out)
{
    QJsonArray claims;
    std::string text;
    state.locked([&](Database &db) {
        Statement select(db, "SELECT id, device_id FROM claims ORDER BY created_at, id");
        while (select.step()) {
            QJsonObject record = *claimRecord(db, select.text(0));
            if (const auto device = select.optionalText(1))
                record.insert("device_id", q(*device));
            claims.append(record);
            text += select.text(0) + "  " + record.value("status").toString().toStdString() + "  "
                    + record.value("created_at").toString().toStdString()
                    + "  serial=" + record.value("hardware_serial_number").toString().toStdString() + "  name="
                    + record.value("human_claim_name")
                          .toString(record.value("requested_device_name").toString())
                          .toStdString()
                    + (select.isNull(1) ? "" : "  device=" + select.text(1)) + "\n";
        }
    });
    out.print(QJsonObject{{"claims", claims}}, text.empty() ? "no claims\n" : text);
}

void claimsDecide(State &state, const Output &out, const std::string &claimId, bool approve)
{
    QJsonObject result = state.locked([&](Database &db) {
        Transaction transaction(db);
        Statement select(db, "SELECT status, org_id, project_id, requested_device_name, human_claim_name, "
                             "hardware_serial_number, hardware_uuid, public_key_pem FROM claims WHERE id = ?");
        select.bind(1, claimId);
        if (!select.step())
            throw AdminError("claim not found: " + claimId);
        if (select.text(0) != "PENDING_ADMIN_REVIEW")
            throw AdminError("claim " + claimId + " is not pending (status " + select.text(0) + ")");
        QJsonObject document;
        std::optional<std::string> deviceId;
        if (approve) {
            const std::string name = select.optionalText(3).value_or(select.optionalText(4).value_or("Veltro device"));
            deviceId = createDevice(db, NewDevice{select.text(1), select.text(2), name, select.text(5), select.text(6),
                                                  select.text(7), "device-claim", claimId})
                           .deviceId;
            document.insert("device", *registeredDevice(db, *deviceId));
        }
        Statement update(db, "UPDATE claims SET status = ?, decided_at = ?, device_id = ? WHERE id = ?");
        update.bind(1, std::string(approve ? "APPROVED" : "REJECTED"))
            .bind(2, nowMs())
            .bind(3, deviceId)
            .bind(4, claimId)
            .run();
        transaction.commit();
        document.insert("claim", *claimRecord(db, claimId));
        return document;
    });
    const std::string text = approve ? "approved claim " + claimId + ", device "
                                           + result.value("device").toObject().value("id").toString().toStdString()
                                     : "rejected claim " + claimId;
    out.print(result, text);
}

void devicesList(State &state, const Output &out)
{
    QJsonArray devices;
    std::string text;
    state.locked([&](Database &db) {
        Statement select(db, "SELECT id, org_id, project_id, device_name, hardware_serial_number, hardware_uuid, "
                             "auth_kind, created_at, last_seen_at FROM devices ORDER BY created_at, id");
        while (select.step()) {
            QJsonObject device{{"id", q(select.text(0))},
                               {"org_id", q(select.text(1))},
                               {"project_id", q(select.text(2))},
                               {"device_name", q(select.text(3))},
                               {"hardware_serial_number", q(select.text(4))},
                               {"hardware_uuid", q(select.text(5))},
                               {"auth_kind", q(select.text(6))},
                               {"created_at", q(isoUtc(select.integer(7)))}};
            if (!select.isNull(8))
                device.insert("last_seen_at", q(isoUtc(select.integer(8))));
            devices.append(device);
            text += select.text(0) + "  " + select.text(3) + "  serial=" + select.text(4) + "  " + select.text(6)
                    + "  last_seen=" + (select.isNull(8) ? std::string("never") : isoUtc(select.integer(8))) + "\n";
        }
    });
    out.print(QJsonObject{{"devices", devices}}, text.empty() ? "no devices\n" : text);
}

void commandSend(State &state, const Output &out, const Options &options)
{
    expectNoPositional(options);
    const std::string deviceId = options.value("--device");
    const int modes = (options.has("--raw") ? 1 : 0) + (options.has("--instance") ? 1 : 0)
                      + (options.has("--app") && !options.has("--instance") ? 1 : 0);
    if (modes != 1)
        throw AdminError("give exactly one of --app KEY, --instance LOCAL_ID …, --raw JSON");

    std::string commandId;
    std::string body;
    if (options.has("--raw")) {
        const std::string raw = options.value("--raw");
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(raw), &error);
        if (error.error != QJsonParseError::NoError)
            throw AdminError("--raw is not valid JSON: " + error.errorString().toStdString());
        commandId = document.isObject() && document.object().value("id").isString()
                        ? document.object().value("id").toString().toStdString()
                        : randomUUID();
        body = raw;  // sent exactly as given
    } else {
        commandId = randomUUID();
        QJsonObject command{{"id", q(commandId)},
                            {"app_key", q(options.value("--app"))},
                            {"reason", "sent by veltro-devservice admin"},
                            {"target_surface", "desktop"}};
        QJsonArray bundleIds;
        if (options.has("--instance")) {
            command.insert("protocol_version", 2);
            command.insert("action", "terminate_agent_instance");
            command.insert("target_instance_id", q(options.value("--instance")));
            command.insert("product", q(options.value("--product")));
            command.insert("instance_kind", q(options.value("--kind")));
            for (const std::string &bundleId : options.values("--bundle-id"))
                bundleIds.append(q(bundleId));
        } else {
            const auto family = families().find(options.value("--app"));
            if (family == families().end())
                throw AdminError("unknown app key " + options.value("--app") + " (claude, chatgpt, codex)");
            command.insert("protocol_version", 1);
            command.insert("action", "terminate_application");
            for (const std::string &bundleId : family->second)
                bundleIds.append(q(bundleId));
        }
        command.insert("target_bundle_ids", bundleIds);
        body = QJsonDocument(command).toJson(QJsonDocument::Compact).toStdString();
    }

    state.locked([&](Database &db) {
        Transaction transaction(db);
        Statement device(db, "SELECT 1 FROM devices WHERE id = ?");
        device.bind(1, deviceId);
        if (!device.step())
            throw AdminError("device not found: " + deviceId);
        Statement existing(db, "SELECT 1 FROM commands WHERE id = ?");
        existing.bind(1, commandId);
        if (existing.step())
            throw AdminError("a command with id " + commandId + " already exists");
        Statement insert(db, "INSERT INTO commands (id, device_id, body, created_at) VALUES (?, ?, ?, ?)");
        insert.bind(1, commandId).bind(2, deviceId).bind(3, body).bind(4, nowMs()).run();
        transaction.commit();
    });
    out.print(QJsonObject{{"command_id", q(commandId)}, {"device_id", q(deviceId)}, {"command", jsonOrText(body)}},
              commandId);
}

void acksList(State &state, const Output &out, const Options &options)
{
    expectNoPositional(options);
    const std::optional<std::string> commandId =
        options.has("--command") ? std::optional<std::string>(options.value("--command")) : std::nullopt;
    QJsonArray acks;
    std::string text;
    state.locked([&](Database &db) {
        Statement select(db, "SELECT command_id, device_id, status, message, payload, idempotency_key, received_at "
                             "FROM acks WHERE (?1 IS NULL OR command_id = ?1) ORDER BY seq");
        select.bind(1, commandId);
        while (select.step()) {
            acks.append(QJsonObject{{"command_id", q(select.text(0))},
                                    {"device_id", q(select.text(1))},
                                    {"status", q(select.text(2))},
                                    {"message", q(select.text(3))},
                                    {"payload", jsonOrText(select.text(4))},
                                    {"idempotency_key", q(select.text(5))},
                                    {"received_at", q(isoUtc(select.integer(6)))}});
            text += isoUtc(select.integer(6)) + "  " + select.text(0) + "  " + select.text(2) + "  \"" + select.text(3)
                    + "\"  key=" + select.text(5) + "  payload=" + select.text(4) + "\n";
        }
    });
    out.print(QJsonObject{{"acks", acks}}, text.empty() ? "no acknowledgements\n" : text);
}

void inventoryShow(State &state, const Output &out, const Options &options)
{
    expectNoPositional(options);
    const std::optional<std::string> deviceId =
        options.has("--device") ? std::optional<std::string>(options.value("--device")) : std::nullopt;
    QJsonArray reports;
    std::string text;
    state.locked([&](Database &db) {
        Statement select(db, "SELECT device_id, reported_at, instances FROM inventory_reports r WHERE "
                             "seq = (SELECT MAX(seq) FROM inventory_reports WHERE device_id = r.device_id) "
                             "AND (?1 IS NULL OR device_id = ?1) ORDER BY device_id");
        select.bind(1, deviceId);
        while (select.step()) {
            const QJsonValue instances = jsonOrText(select.text(2));
            reports.append(QJsonObject{{"device_id", q(select.text(0))},
                                       {"reported_at", q(isoUtc(select.integer(1)))},
                                       {"instances", instances}});
            text += "device " + select.text(0) + " reported " + isoUtc(select.integer(1)) + ": "
                    + std::to_string(instances.toArray().size()) + " instance(s)\n";
            for (const QJsonValue &value : instances.toArray()) {
                const QJsonObject instance = value.toObject();
                text += "  " + instance.value("local_instance_id").toString().toStdString() + "  "
                        + instance.value("product").toString().toStdString() + "  "
                        + instance.value("kind").toString().toStdString()
                        + (instance.contains("bundle_id") ? "  " + instance.value("bundle_id").toString().toStdString()
                                                          : "")
                        + "\n";
            }
        }
    });
    if (deviceId && reports.isEmpty())
        throw AdminError("no inventory report from device " + *deviceId);
    out.print(QJsonObject{{"reports", reports}}, text.empty() ? "no inventory reports\n" : text);
}

void faultSet(State &state, const Output &out, const Options &options)
{
    if (options.positional().size() != 1)
        throw AdminError("fault set needs one ENDPOINT");
    const auto endpoint = endpointNamed(options.positional().front());
    if (!endpoint) {
        std::string names;
        for (const Endpoint &known : endpoints())
            names += std::string(names.empty() ? "" : ", ") + known.name;
        throw AdminError("unknown endpoint " + options.positional().front() + " (one of " + names + ")");
    }
    FaultSetting fault;
    if (options.has("--status"))
        fault.status = parseNumber(options.value("--status"), "--status", 100, 599);
    if (options.has("--count"))
        fault.count = parseNumber(options.value("--count"), "--count", 0, 1000000);
    if (options.has("--delay-ms"))
        fault.delayMs = parseNumber(options.value("--delay-ms"), "--delay-ms", 0, 600000);
    fault.malformed = options.has("--malformed");
    if (options.has("--message")) {
        if (!fault.status)
            throw AdminError("--message needs --status");
        fault.message = options.value("--message");
    }
    if (options.has("--oauth-error")) {
        if (*endpoint != "authorize" || options.value("--oauth-error").empty())
            throw AdminError("--oauth-error applies to the authorize endpoint and needs an error code");
        fault.oauthError = options.value("--oauth-error");
    }
    if (options.has("--claim-status")) {
        if (*endpoint != "claim-status" || options.value("--claim-status").empty())
            throw AdminError("--claim-status applies to the claim-status endpoint and needs a status");
        fault.claimStatus = options.value("--claim-status");
    }
    if (options.has("--ack-status")) {
        static const std::set<std::string> statuses{"received", "executed", "failed", "ignored"};
        if (*endpoint != "ack" || !statuses.count(options.value("--ack-status")))
            throw AdminError(
                "--ack-status applies to the ack endpoint and needs received, executed, failed or ignored");
        fault.ackStatus = options.value("--ack-status");
    }
    if (!fault.status && !fault.delayMs && !fault.malformed && fault.oauthError.empty() && fault.claimStatus.empty())
        throw AdminError("fault set needs --status, --delay-ms, --malformed, --oauth-error or --claim-status");
    state.locked([&](Database &db) { setFault(db, *endpoint, fault); });
    out.print(QJsonObject{{"endpoint", q(*endpoint)},
                          {"status", fault.status},
                          {"count", fault.count},
                          {"delay_ms", fault.delayMs},
                          {"malformed", fault.malformed},
                          {"message", q(fault.message)},
                          {"oauth_error", q(fault.oauthError)},
                          {"claim_status", q(fault.claimStatus)},
                          {"ack_status", q(fault.ackStatus)}},
              "fault set on " + *endpoint);
}

const char *const kUsage =
    "usage: veltro-devservice admin [--state DIR] [--json] COMMAND\n"
    "  token issue\n"
    "  invite create\n"
    "  claims list | claims approve ID | claims reject ID\n"
    "  devices list\n"
    "  command send --device ID (--app KEY | --instance LOCAL_ID --product P --kind K --app KEY [--bundle-id B]... "
    "| --raw JSON)\n"
    "  acks list [--command ID]\n"
    "  inventory show [--device ID]\n"
    "  fault set ENDPOINT [--status N [--message TEXT]] [--count N] [--delay-ms N] [--malformed]\n"
    "            [--oauth-error CODE] (authorize)  [--claim-status STATUS] (claim-status)\n"
    "            [--ack-status received|executed|failed|ignored] (ack)\n"
    "  fault clear\n"
    "  release key | release list | release clear | release redirect-http on|off\n"
    "  release fault feed|archive none|endless-404|trickle\n"
    "  release publish --version V [--short-version S] --archive FILE [--bad-signature] [--truncate BYTES]\n"
    "                  [--bytes-per-second N] [--no-signature] [--advertise-length TEXT]\n"
    "                  [--enclosure-extension tar|tar.gz|tar.xz|zip]  (FILE ends in one of them)\n";

}  // namespace

int runAdmin(std::vector<std::string> args, const std::string &defaultStateDirectory)
{
    try {
        // Global options may stand anywhere.
        Output out;
        std::string stateDirectory = defaultStateDirectory;
        std::vector<std::string> rest;
        for (size_t i = 0; i < args.size(); ++i) {
            if (args[i] == "--json") {
                out.json = true;
            } else if (args[i] == "--state") {
                if (i + 1 >= args.size())
                    throw AdminError("--state needs a directory");
                stateDirectory = args[++i];
            } else {
                rest.push_back(args[i]);
            }
        }
        if (rest.size() == 1 && (rest[0] == "help" || rest[0] == "--help")) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (rest.size() < 2)
            throw AdminError(kUsage);
        const std::string command = rest[0] + " " + rest[1];
        State state(stateDirectory);
        if (rest[0] == "release") {
            runReleaseAdmin(state, std::vector<std::string>(rest.begin() + 1, rest.end()), out.json);
            return 0;
        }
        if (command == "token issue" && rest.size() == 2) {
            tokenIssue(state, out);
        } else if (command == "invite create" && rest.size() == 2) {
            inviteCreate(state, out);
        } else if (command == "claims list" && rest.size() == 2) {
            claimsList(state, out);
        } else if ((command == "claims approve" || command == "claims reject") && rest.size() == 3) {
            claimsDecide(state, out, rest[2], rest[1] == "approve");
        } else if (command == "devices list" && rest.size() == 2) {
            devicesList(state, out);
        } else if (command == "command send") {
            commandSend(state, out,
                        Options(rest, 2,
                                {"--device", "--app", "--instance", "--product", "--kind", "--bundle-id", "--raw"},
                                {}));
        } else if (command == "acks list") {
            acksList(state, out, Options(rest, 2, {"--command"}, {}));
        } else if (command == "inventory show") {
            inventoryShow(state, out, Options(rest, 2, {"--device"}, {}));
        } else if (command == "fault set") {
            faultSet(state, out,
                     Options(rest, 2,
                             {"--status", "--count", "--delay-ms", "--message", "--oauth-error", "--claim-status",
                              "--ack-status"},
                             {"--malformed"}));
        } else if (command == "fault clear" && rest.size() == 2) {
            state.locked([](Database &db) { clearFaults(db); });
            out.print(QJsonObject{{"cleared", true}}, "faults cleared");
        } else {
            throw AdminError(kUsage);
        }
        return 0;
    } catch (const std::exception &error) {
        std::string message = error.what();
        if (message.empty() || message.back() != '\n')
            message += '\n';
        std::fprintf(stderr, "veltro-devservice admin: %s", message.c_str());
        return 1;
    }
}

}  // namespace devservice

}  // namespace mornix
