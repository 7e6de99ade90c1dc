#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <chrono>

namespace mornix {

// Runs a child process to completion, reading its output while it runs so that a child whose
// output fills a pipe can never block. Blocking: call only off the main thread. Thread: any (no
// event loop needed).
struct ChildProcessResult {
    bool started = false;
    QString startError;             // why it did not start (the system's text)
    bool finishedNormally = false;  // exited (not crashed, not killed for time or size)
    bool timedOut = false;          // killed because it was still running at the time-out
    int exitCode = -1;
    QByteArray standardOutput;
    QByteArray standardError;  // only with ChildStandardError::Capture
};

enum class ChildStandardError {
    Discard,  // to the null device
    Capture,  // read like standard output, counted in the same size limit
};

ChildProcessResult runChildProcess(const QString &program, const QStringList &arguments,
                                   std::chrono::milliseconds timeout = std::chrono::seconds(30),
                                   qsizetype maxOutputBytes = 64 * 1024 * 1024,
                                   ChildStandardError standardError = ChildStandardError::Discard);

// Runs a status tool through runChildProcess and returns its output as one text: standard
// output followed by standard error, decoded as UTF-8 ("UNKNOWN" when not valid UTF-8), trimmed.
// A tool that cannot start yields "UNKNOWN: " and the launch error; a tool still running after
// timeoutMs is killed and yields "UNKNOWN: " followed by "<tool> timed out". The exit status is
// not looked at. Blocking, as runChildProcess.
QString shell(const QString &executablePath, const QStringList &arguments, int timeoutMs = 10000);

}  // namespace mornix
