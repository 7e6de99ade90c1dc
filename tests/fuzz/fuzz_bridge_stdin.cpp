// Fuzz harness: the standard input of every bridge mode that reads one, run as the mode runs:
// the input served on descriptor 0, the real chunked reader, the file keychain in a private
// directory, standard output and error captured. The first byte picks the mode:
//   0 --desktop-enroll-stdin, 1 --broker-grant-create-stdin, 2 --broker-grant-update-stdin;
// the rest is standard input. For enrollment the service answers one fixed registration (the
// seeds ask for its organisation and project, so mutations reach both the match and the
// mismatch).
// Invariants: the status is 0 or 1; success prints exactly the mode's text and changes the
// keychain exactly as the input asked; a failure prints nothing on standard output, at most
// the mode's failure text on standard error, and leaves the keychain as it was; an input that
// follows the rules (checked here independently) and fits the 32768-byte limit succeeds.
#include "app/arguments.h"
#include "app/bridge_service.h"
#include "app/broker_grant_modes.h"
#include "app/desktop_enrollment.h"
#include "app/standard_input.h"
#include "fuzz_support.h"
#include "identity/identity_error.h"
#include "identity/keychain_store.h"
#include "platform/distributed_notifications.h"
#include "platform/linux/keychain/file_keychain.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <QCoroTask>

#include <cstdint>
#include <memory>

namespace mornix {

using fuzz_support::check;

namespace {

constexpr qsizetype kInputLimit = 32768;
const QString kOrgID = QStringLiteral("6f1c2a47-0b7e-4d55-9a3c-2e8d4b1f7a90");
const QString kProjectID = QStringLiteral("c3d9e1f2-5a6b-4c7d-8e9f-0a1b2c3d4e5f");
const QByteArray kEnrolledText = QByteArrayLiteral("{\"protocol_version\":1,\"enrolled\":true}\n");
const QByteArray kEnrollFailureText = QByteArrayLiteral("Desktop enrollment failed.\n");

// The service side of the bridge: answers every registration with the same device.
class AnsweringService final : public BridgeService {
public:
    int calls = 0;
    QString token;

    QCoro::Task<BridgeRegistration> registerDevice(QString, QString bearerToken, QString, QString) override
    {
        ++calls;
        token = bearerToken;
        co_return BridgeRegistration{QStringLiteral("device-7"), kOrgID, kProjectID, QStringLiteral("bearer-7"),
                                     QStringLiteral("secret-7")};
    }
    QCoro::Task<void> logoutDevice(DeviceCredentials, DeviceLogoutRequestPayload) override { co_return; }
};

class RecordingNotifications final : public DistributedNotifications {
public:
    QStringList posted;
    bool post(const QString &name) override
    {
        posted.append(name);
        return true;
    }
    bool observe(const QString &, QObject *, std::function<void()>) override { return false; }
};

struct Fixture {
    QString directory = fuzz_support::privateDirectory();
    std::shared_ptr<FileKeychain> keychain = std::make_shared<FileKeychain>(directory + QStringLiteral("/keychain"));
    KeychainStore store{keychain};
};

Fixture &fixture()
{
    static Fixture instance;
    return instance;
}

// The enrollment rules, checked here without the mode's own code. The token the service may
// receive, or nullopt when the input must be refused before any service call.
std::optional<QString> acceptableToken(const QByteArray &input)
{
    static const QRegularExpression uuidText(
        QStringLiteral("^[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}$"));
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(input, &error);
    if (input.size() > kInputLimit || error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();
    if (object.keys()
        != QStringList{QStringLiteral("access_token"), QStringLiteral("org_id"), QStringLiteral("project_id")})
        return std::nullopt;
    for (const QJsonValue &value : object) {
        if (!value.isString())
            return std::nullopt;
    }
    if (!uuidText.match(object.value(QStringLiteral("org_id")).toString()).hasMatch()
        || !uuidText.match(object.value(QStringLiteral("project_id")).toString()).hasMatch())
        return std::nullopt;
    const QString token = object.value(QStringLiteral("access_token")).toString();
    if (token.isEmpty() || token.toUtf8().size() > 16384)
        return std::nullopt;
    for (const char32_t c : token.toUcs4()) {
        const QChar::Category category = QChar::category(c);
        if (category == QChar::Other_Control || category == QChar::Other_Format)
            return std::nullopt;
    }
    return token;
}

// The input asks for the organisation and project the service answers with.
bool asksForTheAnsweredDevice(const QByteArray &input)
{
    const QJsonObject object = QJsonDocument::fromJson(input).object();
    return object.value(QStringLiteral("org_id")).toString().compare(kOrgID, Qt::CaseInsensitive) == 0
           && object.value(QStringLiteral("project_id")).toString().compare(kProjectID, Qt::CaseInsensitive) == 0;
}

void enroll(const QByteArray &input)
{
    Fixture &f = fixture();
    auto service = std::make_shared<AnsweringService>();
    auto notifications = std::make_shared<RecordingNotifications>();
    DesktopEnrollment::Dependencies deps;
    deps.keychain = std::make_shared<KeychainStore>(f.keychain);
    deps.service = service;
    deps.notifications = notifications;
    deps.defaultAPIBaseURL = QStringLiteral("https://localhost:8443");
    deps.hardwareSerialNumber = [] { return QStringLiteral("UNKNOWN_SERIAL"); };
    deps.hardwareUUID = [] { return QStringLiteral("UNKNOWN_UUID"); };
    deps.readInput = [](bool *readError) { return readStandardInput(kInputLimit, 0, readError); };
    deps.lockDirectory = f.directory;

    int status = -1;
    fuzz_support::CapturedOutput output;
    {
        const fuzz_support::StandardInput stdinBytes(input);
        DesktopEnrollment enrollment(std::move(deps));
        status = QCoro::waitFor(enrollment.run());
    }
    output.finish();

    const std::optional<DeviceCredentials> stored = f.store.loadCredentials();
    check(status == 0 || status == 1, "enrollment exits 0 or 1");
    check(service->calls <= 1, "at most one registration");
    if (status == 0) {
        check(output.standardOutput() == kEnrolledText && output.standardError().isEmpty(), "success prints its text");
        check(notifications->posted == QStringList{notification_names::credentialsUpdated}, "success notifies once");
        check(input.size() <= kInputLimit, "an oversized input is refused");
        const std::optional<QString> token = acceptableToken(input);
        check(token && *token == service->token, "the service receives the input's token unchanged");
        check(stored && stored->deviceID == QLatin1String("device-7")
                  && stored->deviceSecret == QLatin1String("secret-7") && stored->orgID == kOrgID
                  && stored->authKind == QLatin1String("desktop-shared-grant"),
              "success stores the service's device");
        check(asksForTheAnsweredDevice(input), "only the asked organisation and project are enrolled");
        f.store.clearCredentials();
    } else {
        check(output.standardOutput().isEmpty(), "a failure prints nothing on standard output");
        check(output.standardError().isEmpty() || output.standardError() == kEnrollFailureText,
              "a failure prints at most the failure text");
        check(notifications->posted.isEmpty(), "a failure notifies nobody");
        check(!stored, "a failure stores nothing");
        const std::optional<QString> token = acceptableToken(input);
        if (service->calls == 1)
            check(token.has_value(), "only a valid input reaches the service");
        // Nothing else can fail here: the keychain is private and the service answers.
        check(!token || !asksForTheAnsweredDevice(input), "a valid enrollment succeeds");
    }
}

const BrokerGrant &standingGrant()
{
    static const BrokerGrant grant{QStringLiteral("bg1.standing"), QStringLiteral("sg1.") + QString(43, u'S'), 42};
    return grant;
}

void writeGrant(const QByteArray &input, bool create)
{
    Fixture &f = fixture();
    // Create starts from no grant, update from a standing one.
    f.store.clearItem(KeychainStore::brokerGrantAccount);
    if (!create)
        f.store.createBrokerGrant(standingGrant());
    const Arguments arguments({QStringLiteral("VeltroMornix"), create ? QStringLiteral("--broker-grant-create-stdin")
                                                                      : QStringLiteral("--broker-grant-update-stdin")});

    int status = -1;
    fuzz_support::CapturedOutput output;
    {
        const fuzz_support::StandardInput stdinBytes(input);
        status = runBrokerGrantWrite(arguments, f.keychain);
    }
    output.finish();

    check(status == 0 || status == 1, "grant modes exit 0 or 1");
    check(output.standardOutput().isEmpty() && output.standardError().isEmpty(), "grant writes print nothing");
    const std::optional<BrokerGrant> stored = f.store.loadBrokerGrant();
    if (status == 0) {
        check(input.size() <= kInputLimit, "an oversized grant is refused");
        std::optional<BrokerGrant> decoded;
        try {
            decoded = BrokerGrant::decode(input);
        } catch (const DecodingError &) {
        }
        check(decoded && decoded->isValid(), "only a valid grant is stored");
        check(stored && *stored == *decoded, "the stored grant is the input's");
        // What --broker-grant-read prints is what was stored.
        fuzz_support::CapturedOutput readOutput;
        const int readStatus = runBrokerGrantRead(f.keychain);
        readOutput.finish();
        check(readStatus == 0 && BrokerGrant::decode(readOutput.standardOutput()) == *stored,
              "the stored grant reads back");
    } else if (input.size() <= kInputLimit) {
        // Nothing else can fail here: the keychain is private and starts as the mode expects.
        bool valid = false;
        try {
            valid = BrokerGrant::decode(input).isValid();
        } catch (const DecodingError &) {
        }
        check(!valid, "a valid grant within the limit is stored");
    }
    if (status == 1 && create) {
        check(!stored, "a refused create stores nothing");
    } else if (status == 1) {
        check(stored && *stored == standingGrant(), "a refused update keeps the standing grant");
    }
}

}  // namespace

}  // namespace mornix

using namespace mornix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    fuzz_support::ensureApplication();
    const QByteArray input(reinterpret_cast<const char *>(data) + 1, static_cast<qsizetype>(size - 1));
    switch (data[0] % 3) {
    case 0: enroll(input); break;
    case 1: writeGrant(input, true); break;
    default: writeGrant(input, false); break;
    }
    return 0;
}
