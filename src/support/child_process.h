#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <chrono>

// Runs a child process to completion, reading its standard output while it runs so that a child
// whose output fills the pipe can never block (standard error goes to the null device).
// Blocking: call only off the main thread. Thread: any (no event loop needed).
struct ChildProcessResult {
    bool started = false;
    bool finishedNormally = false;   // exited (not crashed, not killed for time or size)
    int exitCode = -1;
    QByteArray standardOutput;
};

ChildProcessResult runChildProcess(const QString &program, const QStringList &arguments,
                                   std::chrono::milliseconds timeout = std::chrono::seconds(30),
                                   qsizetype maxOutputBytes = 64 * 1024 * 1024);
