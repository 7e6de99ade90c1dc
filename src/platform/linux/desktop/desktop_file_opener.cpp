#include "platform/linux/desktop/desktop_file_opener.h"

#include "platform/linux/process/pidfd.h"
#include "platform/posix_files.h"

#include <QFile>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

extern char **environ;

namespace mornix {

namespace {

constexpr int kPollMs = 200;  // only without pidfds (kernels before 5.3)

// Reaps one child and reports its status; deletes itself once the child is reaped.
class ChildWatch final : public QObject {
public:
    ChildWatch(pid_t pid, QString program, QObject *context, std::function<void(const QString &)> done)
        : m_pid(pid)
        , m_program(std::move(program))
        , m_context(context)
        , m_done(std::move(done))
        , m_pidfd(openPidfd(pid))
    {
        // The pid cannot be reused before this process reaps it, so the pidfd is this child's.
        if (m_pidfd.isValid()) {
            auto *notifier = new QSocketNotifier(m_pidfd.get(), QSocketNotifier::Read, this);
            connect(notifier, &QSocketNotifier::activated, this, &ChildWatch::reap);
        } else {
            auto *timer = new QTimer(this);
            connect(timer, &QTimer::timeout, this, &ChildWatch::reap);
            timer->start(kPollMs);
        }
    }

private:
    void reap()
    {
        int status = 0;
        pid_t reaped;
        do {
            reaped = ::waitpid(m_pid, &status, WNOHANG);
        } while (reaped < 0 && errno == EINTR);
        if (reaped == 0)
            return;  // still running
        QString failure;
        if (reaped < 0)
            failure = QStringLiteral("the exit of %1 could not be read: %2").arg(m_program, posix::errorText(errno));
        else if (WIFSIGNALED(status))
            failure = QStringLiteral("%1 was ended by signal %2.").arg(m_program).arg(WTERMSIG(status));
        else if (WEXITSTATUS(status) != 0)
            failure = openerExitDescription(m_program, WEXITSTATUS(status));
        if (m_context)
            m_done(failure);
        deleteLater();
    }

    pid_t m_pid;
    QString m_program;
    QPointer<QObject> m_context;
    std::function<void(const QString &)> m_done;
    posix::UniqueFd m_pidfd;
};

}  // namespace

QString openerExitDescription(const QString &program, int exitCode)
{
    QString reason;
    switch (exitCode) {
    case 1: reason = QStringLiteral("it refused its command line"); break;
    case 2: reason = QStringLiteral("the file does not exist"); break;
    case 3: reason = QStringLiteral("no application is set up to open files of this type"); break;
    case 4: reason = QStringLiteral("the application that opens it failed"); break;
    default: reason = QStringLiteral("it failed"); break;
    }
    return QStringLiteral("%1 could not open the file: %2 (exit status %3).").arg(program, reason).arg(exitCode);
}

void openWithDesktopOpener(const QStringList &command, QObject *context, std::function<void(const QString &)> done)
{
    if (command.isEmpty()) {
        done(QStringLiteral("no program to open the file with"));
        return;
    }
    QList<QByteArray> words;
    for (const QString &word : command)
        words.append(QFile::encodeName(word));
    QList<char *> argv;
    for (QByteArray &word : words)
        argv.append(word.data());
    argv.append(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    ::posix_spawnattr_init(&attributes);
    // A session of its own: a viewer it starts outlives this process and its terminal.
    sigset_t none;
    sigemptyset(&none);
    ::posix_spawnattr_setsigmask(&attributes, &none);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = 0;
    // The opener inherits this process's environment as a whole: it finds the user's desktop,
    // display and handlers through it, and PATH names where the program is looked up.
    const int error = ::posix_spawnp(&pid, argv.first(), &actions, &attributes, argv.data(), environ);
    ::posix_spawnattr_destroy(&attributes);
    ::posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        done(QStringLiteral("%1 cannot be started: %2.").arg(command.first(), posix::errorText(error)));
        return;
    }
    new ChildWatch(pid, command.first(), context, std::move(done));
}

}  // namespace mornix
