#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <memory>

namespace mornix {

// Standard output and standard error of the command-line modes. Only the specified texts reach
// them: Qt's own diagnostics are routed to the system log (see routeQtMessagesToSystemLog).
// Thread: main thread.
namespace cli {

void writeStdoutRaw(const QByteArray &bytes);
void writeStdoutLine(const QByteArray &bytes);  // bytes + "\n"
void writeStderr(const QString &text);          // written as UTF-8, unchanged

}  // namespace cli

class SystemLog;

// While it lives, every qDebug/qWarning/... goes to the system log, from any thread. The route
// keeps the log alive and, when destroyed, puts back the handler that was installed before it,
// so no Qt message is ever handed to a log that is gone (late messages during process teardown
// reach Qt's previous handler instead). One route at a time; it outlives the application object
// in every mode (see runEntry).
class QtMessageRoute {
public:
    explicit QtMessageRoute(std::shared_ptr<SystemLog> log);
    ~QtMessageRoute();
    QtMessageRoute(const QtMessageRoute &) = delete;
    QtMessageRoute &operator=(const QtMessageRoute &) = delete;

private:
    QtMessageHandler m_previous = nullptr;
};

}  // namespace mornix
