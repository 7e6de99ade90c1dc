#pragma once

#include "platform/process_table.h"

#include <QElapsedTimer>
#include <QList>
#include <QMutex>

#include <chrono>

// The (pid, executable path) listing of /proc, shared by the process table and the workspace so
// that one rescan reads every /proc/PID/exe link once instead of once per port. A listing is
// reused while it is younger than maxAge (long enough for the two reads of one rescan, short
// enough that a command never acts on an old listing). Callers re-check each listed pid before
// using it; a stale path can only name an image the process has since replaced by exec, which
// the signature checks (they read the running image) refuse.
// Thread: any.
class ExecutableListing {
public:
    explicit ExecutableListing(std::chrono::milliseconds maxAge = std::chrono::milliseconds(100));

    QList<ProcessRecord> processes() const;

    // A fresh listing, bypassing any shared one.
    static QList<ProcessRecord> read();

private:
    const std::chrono::milliseconds m_maxAge;
    mutable QMutex m_mutex;  // guards the two members below
    mutable QElapsedTimer m_age;
    mutable QList<ProcessRecord> m_processes;
};
