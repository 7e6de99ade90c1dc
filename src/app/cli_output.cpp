#include "app/cli_output.h"

#include "platform/system_log.h"

#include <QtGlobal>

#include <QMutex>

#include <memory>
#include <mutex>
#include <cstdio>
#include <unistd.h>

namespace mornix {

namespace cli {
namespace {

void writeAll(int fd, const QByteArray &bytes)
{
    const char *data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        data += written;
        left -= written;
    }
}

}  // namespace

void writeStdoutRaw(const QByteArray &bytes)
{
    std::fflush(stdout);
    writeAll(STDOUT_FILENO, bytes);
}

void writeStdoutLine(const QByteArray &bytes)
{
    writeStdoutRaw(bytes + '\n');
}

void writeStderr(const QString &text)
{
    std::fflush(stderr);
    writeAll(STDERR_FILENO, text.toUtf8());
}

}  // namespace cli

namespace {
// The log Qt messages go to. A message handler may run on any thread at any time, so it takes
// its own reference under the lock: a route that ends concurrently can never destroy the log
// while a message is being written to it. Never destroyed, since Qt may still emit messages
// during static destruction.
struct QtMessageLogSlot {
    QBasicMutex mutex;
    std::shared_ptr<SystemLog> log;
};

QtMessageLogSlot &qtMessageLogSlot()
{
    static auto *const slot = new QtMessageLogSlot;
    return *slot;
}

std::shared_ptr<SystemLog> qtMessageLog()
{
    QtMessageLogSlot &slot = qtMessageLogSlot();
    const std::lock_guard<QBasicMutex> lock(slot.mutex);
    return slot.log;
}

void forwardQtMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const std::shared_ptr<SystemLog> log = qtMessageLog();
    if (!log)
        return;
    const QString category = context.category ? QString::fromUtf8(context.category) : QString();
    const QString text = category.isEmpty() || category == QLatin1String("default")
                             ? message
                             : category + QStringLiteral(": ") + message;
    switch (type) {
    case QtDebugMsg: log->write(SystemLog::Level::debug, text); break;
    case QtInfoMsg: log->write(SystemLog::Level::info, text); break;
    case QtWarningMsg:
    case QtCriticalMsg:
    case QtFatalMsg: log->write(SystemLog::Level::error, text); break;
    }
}
}  // namespace

QtMessageRoute::QtMessageRoute(std::shared_ptr<SystemLog> log)
{
    {
        QtMessageLogSlot &slot = qtMessageLogSlot();
        const std::lock_guard<QBasicMutex> lock(slot.mutex);
        slot.log = std::move(log);
    }
    m_previous = qInstallMessageHandler(forwardQtMessage);
}

QtMessageRoute::~QtMessageRoute()
{
    qInstallMessageHandler(m_previous);
    // Released outside the lock: a log's destructor may itself write a Qt message.
    std::shared_ptr<SystemLog> released;
    QtMessageLogSlot &slot = qtMessageLogSlot();
    const std::lock_guard<QBasicMutex> lock(slot.mutex);
    released.swap(slot.log);
}

}  // namespace mornix
