#pragma once

#include <QList>
#include <QString>

#include <cstdint>
#include <memory>

namespace mornix {

// The file a process runs, as the file system names it (device and inode); both zero: unknown.
// An exec in place changes it even where the path and the start stay the same.
struct ProcessImage {
    quint64 device = 0;
    quint64 inode = 0;
    friend bool operator==(const ProcessImage &, const ProcessImage &) = default;
};

// One process of the local process table.
struct ProcessRecord {
    qint32 pid = 0;
    QString executablePath;  // the running image's path; processes whose path is unreadable are not listed
    ProcessImage image;      // when the listing knows it
};

// When a given process started, in the process form of a launch identity: the five start-time
// fields "Sat Dec 5 17:27:28 2026" (C locale, local time, blanks collapsed to one).
struct ProcessStartObservation {
    enum class State { observed, notRunning, unavailable };
    State state = State::unavailable;
    QString startText;       // set when Observed
    quint64 startTicks = 0;  // set when Observed: the precise start (clock ticks after boot)

    static ProcessStartObservation observed(QString text, quint64 ticks = 0)
    {
        return {State::observed, std::move(text), ticks};
    }
    static ProcessStartObservation notRunning() { return {State::notRunning, {}}; }
    static ProcessStartObservation unavailable() { return {State::unavailable, {}}; }
};

// A descriptor that becomes readable once the process it was opened on has exited, and stays
// readable. It holds that process, never a later one on the same pid. Owns the descriptor.
class ProcessExitWatch {
public:
    virtual ~ProcessExitWatch() = default;
    virtual int descriptor() const = 0;
};

// The process table: listing, start identities and signals that never reach a process that
// merely inherited a pid. Thread: any (implementations are stateless or lock internally).
class ProcessTable {
public:
    virtual ~ProcessTable() = default;

    // Every process whose executable can be read, in ascending pid order. Cheap: no start times.
    virtual QList<ProcessRecord> processes() const = 0;

    // The start identity of one pid. A terminated process (zombie included) is NotRunning.
    virtual ProcessStartObservation startIdentity(qint32 pid) const = 0;

    // Sends the signal only when the process at pid is still the observed one: the same start
    // text and the same precise start in clock ticks (a pid reused within the same second is a
    // different process). Returns true when the signal was sent; false when nothing was
    // signalled (gone, pid reused, expected not Observed, or the check could not be made safely).
    virtual bool sendSignal(qint32 pid, const ProcessStartObservation &expectedStart, int signal) = 0;

    // A watch on the process now at pid, or null when none can be had (gone, not permitted, or
    // no support: callers then look again after a delay). The caller confirms afterwards that
    // pid still holds the process it means.
    virtual std::unique_ptr<ProcessExitWatch> watchExit(qint32 pid) const
    {
        static_cast<void>(pid);
        return nullptr;
    }
};

}  // namespace mornix
