#pragma once

#include "platform/linux/process/executable_listing.h"

#include <memory>

#include "platform/process_table.h"

namespace mornix {

// ProcessTable over /proc; signals through a pidfd checked against the start identity, exit
// watches on a pidfd.
// Stateless and cheap to construct. Thread: any.
class ProcfsProcessTable final : public ProcessTable {
public:
    // listing: shared with the workspace by the production factory; null reads /proc each time.
    explicit ProcfsProcessTable(std::shared_ptr<const ExecutableListing> listing = nullptr)
        : m_listing(std::move(listing))
    {
    }

    QList<ProcessRecord> processes() const override;
    ProcessStartObservation startIdentity(qint32 pid) const override;
    bool sendSignal(qint32 pid, const ProcessStartObservation &expectedStart, int signal) override;
    // A pidfd: readable once the process exits.
    std::unique_ptr<ProcessExitWatch> watchExit(qint32 pid) const override;

private:
    std::shared_ptr<const ExecutableListing> m_listing;
};

}  // namespace mornix
