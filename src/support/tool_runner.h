#pragma once

#include <QString>
#include <QStringList>

// Runs a status tool and returns its output: standard output followed by standard error, decoded
// as UTF-8 ("UNKNOWN" when not valid UTF-8), trimmed. A tool that cannot start yields
// "UNKNOWN: " and the launch error. Both pipes are drained while the tool runs, so a chatty tool
// cannot block on a full pipe; a tool still running after timeoutMs is killed and yields
// "UNKNOWN: " followed by "timed out". The exit status is not looked at.
// Thread: any; blocks the calling thread (no event loop needed).
QString shell(const QString &executablePath, const QStringList &arguments, int timeoutMs = 10000);
