#pragma once

#include "platform/process_table.h"

// ProcessTable over /proc; signals through a pidfd checked against the start identity.
// Stateless and cheap to construct. Thread: any.
class LinuxProcessTable final : public ProcessTable {
public:
    QList<ProcessRecord> processes() const override;
    ProcessStartObservation startIdentity(qint32 pid) const override;
    bool sendSignal(qint32 pid, const QString &expectedStartIdentity, int signal) override;
};
