#pragma once

#include <QList>
#include <QString>

#include <cstdint>

// One process of the local process table.
struct ProcessRecord {
    qint32 pid = 0;
    QString executablePath;   // the running image's path; processes whose path is unreadable are not listed
};

// When a given process started, in the process form of a launch identity: the five start-time
// fields "Sat Dec 5 17:27:28 2026" (C locale, local time, blanks collapsed to one).
struct ProcessStartObservation {
    enum class State { observed, notRunning, unavailable };
    State state = State::unavailable;
    QString startText;        // set when Observed
    quint64 startTicks = 0;   // set when Observed: the precise start (clock ticks after boot)

    static ProcessStartObservation observed(QString text, quint64 ticks = 0)
    {
        return {State::observed, std::move(text), ticks};
    }
    static ProcessStartObservation notRunning() { return {State::notRunning, {}}; }
    static ProcessStartObservation unavailable() { return {State::unavailable, {}}; }
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
};
