#include "app/notification_launch.h"

#include "platform/system_log.h"
#include "platform/user_notifications.h"
#include "support/blocking_call.h"
#include "platform/posix_files.h"
#include "updates/update_notifications.h"

#include <QCoroFuture>
#include <QCoroTask>
#include <QFile>
#include <QPointer>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace mornix {

namespace {

constexpr qsizetype kMaxVersionBytes = 1024;
constexpr qsizetype kMaxResultBytes = 4096;

QByteArray readStandardInput()
{
    QByteArray bytes;
    char buffer[256];
    while (bytes.size() <= kMaxVersionBytes) {
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        bytes.append(buffer, n);
    }
    return bytes.size() > kMaxVersionBytes ? QByteArray() : bytes;
}

// The result line, then standard output goes to the null device: nobody reads it any more.
void reportResult(const QByteArray &line)
{
    posix::writeAll(STDOUT_FILENO, line + '\n');
    const posix::UniqueFd null(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    if (null.isValid())
        ::dup2(null.get(), STDOUT_FILENO);
}

NotificationWaiterResult failure(const QString &message)
{
    return {false, 0, message};
}

}  // namespace

NotificationWaiterResult startNotificationWaiter(const QString &version, std::chrono::milliseconds timeout)
{
    int inputEnds[2];
    int outputEnds[2];
    if (::pipe2(inputEnds, O_CLOEXEC) != 0)
        return failure(QStringLiteral("cannot create a pipe"));
    posix::UniqueFd inputRead(inputEnds[0]);
    posix::UniqueFd inputWrite(inputEnds[1]);
    if (::pipe2(outputEnds, O_CLOEXEC) != 0)
        return failure(QStringLiteral("cannot create a pipe"));
    posix::UniqueFd outputRead(outputEnds[0]);
    posix::UniqueFd outputWrite(outputEnds[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inputRead.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, outputWrite.get(), STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // A long-lived process keeps no directory of its caller busy.
    posix_spawn_file_actions_addchdir_np(&actions, "/");
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGHUP);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    // A session of its own: the waiter outlives this process and its terminal.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    // The same image as this process, whatever has happened to its path since.
    const QByteArray argument0 = QFile::encodeName(QFile::symLinkTarget(QStringLiteral("/proc/self/exe")));
    // The waiter inherits this process's environment as a whole (the session, the display, the
    // locale), with the launch marker added.
    QList<QByteArray> environment;
    for (char **entry = environ; *entry; ++entry) {
        if (!QByteArray(*entry).startsWith(QByteArray(kNotificationLaunchVariable) + '='))
            environment.append(QByteArray(*entry));
    }
    environment.append(QByteArray(kNotificationLaunchVariable) + "=1");
    std::vector<char *> envp;
    for (QByteArray &entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    QByteArray argumentCopy = argument0;
    char *argv[] = {argumentCopy.data(), nullptr};

    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, "/proc/self/exe", &actions, &attributes, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    inputRead.reset();  // the child's ends: only the child holds them now
    outputWrite.reset();
    if (spawned != 0)
        return failure(QStringLiteral("cannot start the notification waiter"));

    ::signal(SIGPIPE, SIG_IGN);
    posix::writeAll(inputWrite.get(), version.toUtf8());
    inputWrite.reset();  // end of input

    QByteArray result;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!result.contains('\n') && result.size() < kMaxResultBytes) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd descriptor{outputRead.get(), POLLIN, 0};
        const int ready = ::poll(&descriptor, 1, int(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        char buffer[512];
        const ssize_t n = ::read(outputRead.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        result.append(buffer, n);
    }
    outputRead.reset();

    if (!result.contains('\n')) {
        // No answer in time, or the waiter ended without one: it must not show anything later.
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, WNOHANG);
        return failure(QStringLiteral("the notification waiter gave no result"));
    }
    const QByteArray line = result.left(result.indexOf('\n'));
    if (line == "0")
        return {true, 0, {}};
    const qsizetype space = line.indexOf(' ');
    bool ok = false;
    const int code = line.left(space).toInt(&ok);
    return {false, ok ? code : 0, space >= 0 ? QString::fromUtf8(line.mid(space + 1)) : QString()};
}

NotificationLaunch::NotificationLaunch(std::shared_ptr<UpdateNotifications> updates,
                                       std::shared_ptr<UserNotifications> notifications,
                                       std::shared_ptr<SystemLog> systemLog, std::function<void()> terminate,
                                       QObject *parent)
    : QObject(parent)
    , m_updates(std::move(updates))
    , m_notifications(std::move(notifications))
    , m_systemLog(std::move(systemLog))
    , m_terminate(std::move(terminate))
{
    connect(m_updates.get(), &UpdateNotifications::becameIdle, this, &NotificationLaunch::finishIfDone,
            Qt::QueuedConnection);
    m_notifications->observePostedEnded(this, [this] { finishIfDone(); });
    QTimer::singleShot(std::chrono::duration_cast<std::chrono::milliseconds>(kNotificationWaiterLifetime), this,
                       [this] { m_terminate(); });
}

void NotificationLaunch::run()
{
    QPointer<NotificationLaunch> self(this);
    auto updates = m_updates;
    auto work = [updates]() -> QByteArray {
        const QByteArray input = readStandardInput();
        if (input.isEmpty())
            return {};
        const QString version = QString::fromUtf8(input);
        const std::optional<UpdateNotificationError> error = updates->notify(version);
        if (!error)
            return QByteArrayLiteral("0");
        return QByteArray::number(error->code) + ' ' + error->message.toUtf8().replace('\n', ' ');
    };
    QFuture<QByteArray> future = startBlockingCall(std::move(work));
    [](QPointer<NotificationLaunch> self, QFuture<QByteArray> future) -> QCoro::Task<void> {
        const QByteArray result = co_await future;
        if (!self)
            co_return;
        if (!result.isEmpty())
            reportResult(result);
        self->m_posting = false;
        self->finishIfDone();
    }(self, std::move(future));
}

void NotificationLaunch::finishIfDone()
{
    if (m_posting || m_notifications->shownPostedByThisProcess() > 0 || !m_updates->isIdle())
        return;
    m_terminate();
}

}  // namespace mornix
