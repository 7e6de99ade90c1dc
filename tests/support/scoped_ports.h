#pragma once

#include "platform/process_table.h"
#include "platform/workspace.h"

#include <QString>

#include <atomic>
#include <csignal>
#include <memory>

namespace mornix {

// Real ports narrowed to the programs under one directory, so tests on a shared machine see
// only their own fixtures. Every operation still reaches the real system.
class ScopedWorkspace final : public Workspace {
public:
    ScopedWorkspace(std::shared_ptr<Workspace> inner, QString directory)
        : m_inner(std::move(inner))
        , m_directory(std::move(directory) + QLatin1Char('/'))
    {
    }

    QList<RunningApplication> runningApplications() const override { return scoped(m_inner->runningApplications()); }
    std::optional<RunningApplication> runningApplication(qint32 pid) const override
    {
        std::optional<RunningApplication> app = m_inner->runningApplication(pid);
        return app && inScope(*app) ? app : std::nullopt;
    }
    QList<RunningApplication> runningApplications(const QString &bundleIdentifier) const override
    {
        return scoped(m_inner->runningApplications(bundleIdentifier));
    }
    bool terminate(const RunningApplication &application) override { return m_inner->terminate(application); }
    bool forceTerminate(const RunningApplication &application) override
    {
        // ignoreForcedStops: the forced stop is reported as delivered but never sent.
        return ignoreForcedStops ? true : m_inner->forceTerminate(application);
    }
    bool isTerminated(const RunningApplication &application) const override
    {
        return m_inner->isTerminated(application);
    }
    bool openURL(const QUrl &url) override { return m_inner->openURL(url); }

    std::atomic<bool> ignoreForcedStops{false};

private:
    bool inScope(const RunningApplication &app) const { return app.bundlePath.startsWith(m_directory); }
    QList<RunningApplication> scoped(QList<RunningApplication> apps) const
    {
        apps.removeIf([this](const RunningApplication &app) { return !inScope(app); });
        return apps;
    }

    std::shared_ptr<Workspace> m_inner;
    QString m_directory;
};

class ScopedProcessTable final : public ProcessTable {
public:
    ScopedProcessTable(std::shared_ptr<ProcessTable> inner, QString directory)
        : m_inner(std::move(inner))
        , m_directory(std::move(directory) + QLatin1Char('/'))
    {
    }

    QList<ProcessRecord> processes() const override
    {
        QList<ProcessRecord> all = m_inner->processes();
        all.removeIf([this](const ProcessRecord &record) { return !record.executablePath.startsWith(m_directory); });
        return all;
    }
    ProcessStartObservation startIdentity(qint32 pid) const override
    {
        if (unavailableAfterSignal && m_signalled)
            return ProcessStartObservation::unavailable();
        return m_inner->startIdentity(pid);
    }
    bool sendSignal(qint32 pid, const ProcessStartObservation &expectedStart, int signal) override
    {
        if (signal == SIGKILL && ignoreKill)
            return true;
        const bool sent = m_inner->sendSignal(pid, expectedStart, signal);
        m_signalled = m_signalled || sent;
        ++signalsRequested;
        return sent;
    }
    std::unique_ptr<ProcessExitWatch> watchExit(qint32 pid) const override
    {
        ++exitWatchesOpened;
        return m_inner->watchExit(pid);
    }

    // Scripted faults for outcomes no real process can produce.
    std::atomic<bool> ignoreKill{false};              // SIGKILL reported as sent, never sent
    std::atomic<bool> unavailableAfterSignal{false};  // start identity unreadable once signalled
    std::atomic<int> signalsRequested{0};
    mutable std::atomic<int> exitWatchesOpened{0};

private:
    std::shared_ptr<ProcessTable> m_inner;
    QString m_directory;
    std::atomic<bool> m_signalled{false};
};

}  // namespace mornix
