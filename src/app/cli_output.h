#pragma once

#include <QByteArray>
#include <QString>

// Standard output and standard error of the command-line modes. Only the specified texts reach
// them: Qt's own diagnostics are routed to the system log (see routeQtMessagesToSystemLog).
// Thread: main thread.
namespace cli {

void writeStdoutRaw(const QByteArray &bytes);
void writeStdoutLine(const QByteArray &bytes);   // bytes + "\n"
void writeStderr(const QString &text);           // written as UTF-8, unchanged

}  // namespace cli

class SystemLog;
// Installs a Qt message handler that forwards every qDebug/qWarning/... to the system log.
// The log must outlive every later Qt message (the composition root keeps it for the process).
void routeQtMessagesToSystemLog(SystemLog *log);
