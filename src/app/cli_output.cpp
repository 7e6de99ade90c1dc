#include "app/cli_output.h"

#include "platform/system_log.h"

#include <QtGlobal>

#include <atomic>
#include <cstdio>
#include <unistd.h>

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
std::atomic<SystemLog *> g_qtMessageLog{nullptr};

void forwardQtMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    SystemLog *log = g_qtMessageLog.load();
    if (!log)
        return;
    const QString category = context.category ? QString::fromUtf8(context.category) : QString();
    const QString text = category.isEmpty() || category == QLatin1String("default")
        ? message
        : category + QStringLiteral(": ") + message;
    switch (type) {
    case QtDebugMsg:
        log->write(SystemLog::Level::debug, text);
        break;
    case QtInfoMsg:
        log->write(SystemLog::Level::info, text);
        break;
    case QtWarningMsg:
    case QtCriticalMsg:
    case QtFatalMsg:
        log->write(SystemLog::Level::error, text);
        break;
    }
}
}  // namespace

QtMessageRoute::QtMessageRoute(std::shared_ptr<SystemLog> log)
    : m_log(std::move(log))
{
    g_qtMessageLog.store(m_log.get());
    m_previous = qInstallMessageHandler(forwardQtMessage);
}

QtMessageRoute::~QtMessageRoute()
{
    qInstallMessageHandler(m_previous);
    g_qtMessageLog.store(nullptr);
}
