#include "app/desktop_enrollment.h"

#include "app/bridge_service.h"
#include "app/api_adapters.h"
#include "api/service_error_text.h"
#include "app/async_mode.h"
#include "app/cli_output.h"
#include "identity/keychain_store.h"
#include "platform/distributed_notifications.h"
#include "platform/posix_files.h"
#include "platform/system_log.h"
#include "support/json_reader.h"
#include "support/text_cleaning.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QRegularExpression>
#include <QUuid>

#include <exception>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mornix {

namespace {

const QString kFailureText = QStringLiteral("Desktop enrollment failed.\n");
constexpr qsizetype kMaxTokenBytes = 16384;

int fail()
{
    cli::writeStderr(kFailureText);
    return 1;
}

}  // namespace

DesktopEnrollment::DesktopEnrollment(Dependencies dependencies)
    : m_deps(std::move(dependencies))
{
}

DesktopEnrollment::~DesktopEnrollment() = default;

QString DesktopEnrollment::lockFilePath(const QString &directory)
{
    // A fixed place, never derived from TMPDIR: every enrollment of this user meets the same lock
    // whatever its environment (and a missing TMPDIR never puts it in the working directory).
    const QString dir = directory.isEmpty() ? QStringLiteral("/tmp") : directory;
    return dir + QStringLiteral("/ai.veltro.mornix.enroll.%1.lock").arg(::getuid());
}

posix::LockAttempt DesktopEnrollment::acquireLock(const QString &path)
{
    return posix::LockFile::acquire(path, posix::LockKind::OpenFile, posix::LockWait::Try);
}

namespace {

// "nobody", or "uid 4242" when the user database has no name for it.
QString userName(uid_t uid)
{
    struct passwd entry {};
    struct passwd *found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_name && *found->pw_name)
        return QString::fromLocal8Bit(found->pw_name);
    return QStringLiteral("uid %1").arg(uid);
}

}  // namespace

QString DesktopEnrollment::lockRefusal(const QString &path, const posix::LockAttempt &attempt)
{
    if (attempt.heldElsewhere)
        return QStringLiteral("another enrollment is in progress (it holds %1)").arg(path);
    // The refusal itself was decided on the opened descriptor; this look at the path only names
    // the owner for the message (an open of another user's file may fail before any fstat).
    struct stat entry {};
    if (::lstat(QFile::encodeName(path).constData(), &entry) == 0 && entry.st_uid != ::getuid())
        return QStringLiteral("%1 is owned by another user (%2) and is not used; only that user or an administrator "
                              "can remove it")
            .arg(path, userName(entry.st_uid));
    return attempt.description.isEmpty() ? path + QStringLiteral(" cannot be used") : attempt.description;
}

bool DesktopEnrollment::isUUIDText(const QString &text)
{
    // The 8-4-4-4-12 form of hexadecimal digits only (no braces, no URN prefix, nothing after it:
    // "$" alone would also match before a final newline); the nil UUID is a UUID like any other.
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(
        QStringLiteral("[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}")));
    return pattern.match(text).hasMatch();
}

std::optional<DesktopEnrollment::Request> DesktopEnrollment::parseRequest(const QJsonObject &object)
{
    Request request;
    try {
        const JsonReader reader(object);
        reader.allowOnly(
            {QLatin1StringView("access_token"), QLatin1StringView("org_id"), QLatin1StringView("project_id")});
        request = Request{reader.required<QString>("access_token"), reader.required<QString>("org_id"),
                          reader.required<QString>("project_id")};
    } catch (const JsonFieldError &) {
        return std::nullopt;
    }
    const qsizetype bytes = request.accessToken.toUtf8().size();
    if (bytes < 1 || bytes > kMaxTokenBytes)
        return std::nullopt;
    for (const char32_t c : request.accessToken.toUcs4()) {
        const QChar::Category category = QChar::category(c);
        if (category == QChar::Other_Control || category == QChar::Other_Format)
            return std::nullopt;
    }
    if (!isUUIDText(request.orgID) || !isUUIDText(request.projectID))
        return std::nullopt;
    return request;
}

void DesktopEnrollment::logFailure(const QString &step, const QString &reason) const
{
    if (m_deps.systemLog)
        m_deps.systemLog->error(
            sanitizeLog(QStringLiteral("desktop enrollment failed: ") + step + QStringLiteral(": ") + reason, 400));
}

QCoro::Task<int> DesktopEnrollment::run()
{
    const QString lockPath = lockFilePath(m_deps.lockDirectory);
    posix::LockAttempt attempt = acquireLock(lockPath);
    m_lock = std::move(attempt.lock);
    if (!m_lock) {
        // Standard error stays silent here (the companion reads the exit status); the system log
        // says why.
        logFailure(QStringLiteral("enrollment lock"), lockRefusal(lockPath, attempt));
        co_return 1;
    }

    try {
        if (m_deps.keychain->loadCredentials())
            co_return 1;  // an enrolled computer is not enrolled again
    } catch (const std::exception &error) {
        logFailure(QStringLiteral("stored credentials unreadable"), QString::fromUtf8(error.what()));
        co_return fail();
    }

    bool readError = false;
    const std::optional<QByteArray> input = m_deps.readInput(&readError);
    if (!input)
        co_return readError ? fail() : 1;
    // Not JSON at all is a failure worth saying; any other JSON that is not the request is
    // refused silently (exit status 1).
    std::optional<QJsonObject> object;
    bool notJSON = false;
    try {
        object = JsonReader::parse(*input).json();
    } catch (const JsonFieldError &error) {
        notJSON = error.problem() == JsonProblem::NotJson;
    }
    if (!object)
        co_return notJSON ? fail() : 1;
    const std::optional<Request> request = parseRequest(*object);
    if (!request)
        co_return 1;

    BridgeRegistration registration;
    bool registered = false;
    try {
        registration = co_await m_deps.service->registerDevice(m_deps.defaultAPIBaseURL, request->accessToken,
                                                               m_deps.hardwareSerialNumber(), m_deps.hardwareUUID());
        registered = true;
    } catch (const std::exception &error) {
        logFailure(QStringLiteral("registration"), describeServiceError(error));
    }
    if (!registered)
        co_return fail();

    // The service must have enrolled the device where it was asked to.
    if (!isUUIDText(registration.orgID) || !isUUIDText(registration.projectID)
        || QUuid::fromString(registration.orgID) != QUuid::fromString(request->orgID)
        || QUuid::fromString(registration.projectID) != QUuid::fromString(request->projectID)) {
        logFailure(QStringLiteral("registration"),
                   QStringLiteral("the service enrolled the device in another organization or project"));
        co_return 1;
    }

    DeviceCredentials credentials;
    credentials.apiBaseURL = m_deps.defaultAPIBaseURL;
    credentials.authBaseURL = m_deps.defaultAPIBaseURL;
    credentials.authKind = QStringLiteral("desktop-shared-grant");
    credentials.bearerToken = registration.deviceBearerToken;
    credentials.orgID = registration.orgID;
    credentials.projectID = registration.projectID;
    credentials.deviceID = registration.deviceID;
    credentials.deviceSecret = registration.deviceSecret;
    try {
        m_deps.keychain->createCredentials(credentials);
    } catch (const std::exception &error) {
        logFailure(QStringLiteral("credentials not stored"), QString::fromUtf8(error.what()));
        co_return fail();
    }

    m_deps.notifications->post(notification_names::credentialsUpdated);
    cli::writeStdoutLine(QByteArrayLiteral("{\"protocol_version\":1,\"enrolled\":true}"));
    co_return 0;
}

int runDesktopEnrollStdin(int &argc, char **argv, DesktopEnrollment::Dependencies dependencies)
{
    auto enrollment = std::make_shared<DesktopEnrollment>(std::move(dependencies));
    // The lock is held until the process ends (the object lives until exit).
    return runAsyncMode(argc, argv, [enrollment]() -> QCoro::Task<int> { co_return co_await enrollment->run(); });
}

}  // namespace mornix
